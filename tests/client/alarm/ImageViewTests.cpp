// The snapshot viewer: layout from the loaded picture, frameless window, drag strip, closing.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <vector>

#include "alarm/ImageView.h"
#include "support/TempDir.h"

namespace {

// A portrait snapshot, the camera's usual orientation.
QString writeSnapshot(const CalorviewTest::TempDir& dir) {
    QImage image(480, 640, QImage::Format_RGB32);
    image.fill(Qt::darkRed);
    const QString path = QString::fromStdString(dir.file("snapshot.png"));
    EXPECT_TRUE(image.save(path));
    return path;
}

TEST(ImageViewTest, LoadImageSizesDialogAndLaysOutChildren) {
    CalorviewTest::TempDir dir;
    ImageView view;
    ASSERT_TRUE(view.LoadImage(writeSnapshot(dir)));
    // A hidden widget gets its resize event only when shown, as exec() does.
    view.show();
    EXPECT_EQ(view.size(), QSize(480, 680));
    EXPECT_EQ(view.Picture()->geometry(), QRect(2, 42, 476, 636));
    EXPECT_EQ(view.Picture()->pixmap().size(), QSize(480, 640));
    EXPECT_EQ(view.CloseButton()->geometry(), QRect(440, 10, 20, 20));
    EXPECT_EQ(view.CloseButton()->objectName(), "Close");
    EXPECT_TRUE(view.CloseButton()->text().isEmpty());
}

TEST(ImageViewTest, LoadImageFailsOnMissingOrGarbageFile) {
    CalorviewTest::TempDir dir;
    const std::string garbage = dir.file("garbage.png");
    CalorviewTest::writeFile(garbage, "not a picture");
    ImageView view;
    EXPECT_FALSE(view.LoadImage(QString::fromStdString(dir.file("missing.png"))));
    EXPECT_FALSE(view.LoadImage(QString::fromStdString(garbage)));
}

TEST(ImageViewTest, IsFramelessTopLevelWindow) {
    ImageView view;
    // Qt marks a parentless widget a window; nothing else may be added (no title bar hints).
    EXPECT_EQ(view.windowFlags(), Qt::Window | Qt::FramelessWindowHint);
}

TEST(ImageViewTest, DragStripIsTopBandLeftOfCloseButton) {
    ImageView view;
    view.resize(480, 680);
    const struct {
        QPoint pos;
        bool drags;
    } cases[] = {
        {{0, 0}, true},    {{439, 39}, true},   {{200, 20}, true},
        {{440, 0}, false}, {{450, 20}, false},  {{479, 39}, false},
        {{0, 40}, false},  {{200, 300}, false}, {{-1, 10}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(view.IsInDragStrip(c.pos), c.drags) << c.pos.x() << "," << c.pos.y();
    }
}

TEST(ImageViewTest, CloseButtonHidesShownDialog) {
    ImageView view;
    view.resize(480, 680);
    view.show();
    QTest::mouseClick(const_cast<QPushButton*>(view.CloseButton()), Qt::LeftButton);
    EXPECT_FALSE(view.isVisible());
}

TEST(ImageViewTest, CloseButtonEndsExec) {
    ImageView view;
    view.resize(480, 680);
    QTimer::singleShot(0, &view,
                       [&view] { const_cast<QPushButton*>(view.CloseButton())->click(); });
    // Turns a close button that fails to end the loop into a failure instead of a hang.
    QTimer::singleShot(5000, &view, [&view] { view.done(42); });
    EXPECT_EQ(view.exec(), QDialog::Rejected);
}

}  // namespace

// The Keep button: shown with the episode's mark, toggled by a click, out of the drag strip.
TEST(ImageViewTest, KeepButtonTogglesTheMarkAndDoesNotDrag) {
    CalorviewTest::TempDir dir;
    ImageView view;
    ASSERT_TRUE(view.LoadImage(writeSnapshot(dir)));
    EXPECT_EQ(view.KeepButton(), nullptr) << "no marks, no button";
    view.ShowKeep(true);
    view.show();
    QPushButton* keep = view.KeepButton();
    ASSERT_NE(keep, nullptr);
    EXPECT_TRUE(keep->isChecked());
    EXPECT_EQ(keep->text(), "Kept");
    EXPECT_FALSE(view.IsInDragStrip(keep->geometry().center()));
    std::vector<bool> toggled;
    QObject::connect(&view, &ImageView::keepToggled, [&](bool keep) { toggled.push_back(keep); });
    QTest::mouseClick(keep, Qt::LeftButton);
    QTest::mouseClick(keep, Qt::LeftButton);
    EXPECT_EQ(toggled, (std::vector<bool>{false, true}));
    EXPECT_EQ(keep->text(), "Kept");
}
