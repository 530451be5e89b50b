#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>
#include <thread>

#include "video/OSDWindow.h"

namespace {

TEST(OSDWindowTest, PictureRectangleIsTheLetterboxOfTheOverlaysExtent) {
    // The extent is one pixel less than the overlay's size each way.
    EXPECT_EQ(OSDWindow::PictureRectFor(640, 480, QRect(0, 0, 400, 600)), QRect(0, 150, 399, 299));
}

TEST(OSDWindowTest, ClockAndRecordingTexts) {
    const struct {
        int minutes;
        const char* text;
    } clocks[] = {{754, "12:34"}, {0, "00:00"}, {1439, "23:59"}, {31 * 60 + 63, "32:03"}};
    for (const auto& c : clocks) {
        EXPECT_EQ(OSDWindow::ClockText(c.minutes), c.text);
    }
    const struct {
        uint32_t elapsed;
        const char* text;
    } recordings[] = {
        {3725, "Recording:01:02:05"}, {0, "Recording:00:00:00"}, {360000, "Recording:100:00:00"}};
    for (const auto& r : recordings) {
        EXPECT_EQ(OSDWindow::RecordingText(r.elapsed), r.text);
    }
}

class OSDWindowPaintTest : public testing::Test {
protected:
    void SetUp() override {
        parent.resize(400, 600);
        parent.setStyleSheet("background: black;");
        parent.setAutoFillBackground(true);
        osd->FollowParent();
        osd->SetPictureSize(640, 480);
        parent.show();
    }
    QImage shot() { return parent.grab().toImage(); }
    static int countPixels(const QImage& image, const QRect& area, QRgb colour) {
        int count = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                count += image.pixel(x, y) == colour ? 1 : 0;
            }
        }
        return count;
    }

    QWidget parent;
    OSDWindow* osd = new OSDWindow(&parent);
};

TEST_F(OSDWindowPaintTest, ATransparentChildThatShowsOnTheFirstUpdateUnlessSuspended) {
    EXPECT_FALSE(osd->isWindow());
    EXPECT_TRUE(osd->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_EQ(osd->geometry(), QRect(0, 0, 400, 600));
    osd->hide();
    osd->SetSuspended(true);
    osd->updateOSD(true, true, 754);
    EXPECT_FALSE(osd->isVisible());
    EXPECT_EQ(countPixels(shot(), QRect(0, 0, 400, 600), qRgb(0, 0, 255)), 0)
        << "nothing stored while suspended";

    osd->SetSuspended(false);
    parent.hide();
    osd->updateOSD(false, false, 754);
    EXPECT_FALSE(osd->isVisible()) << "not while the video window is hidden";
    parent.show();
    osd->updateOSD(false, false, 754);
    EXPECT_TRUE(osd->isVisible());
}

TEST_F(OSDWindowPaintTest, DrawsTheRectangleAndTheRecordingLabelOnlyWhileFlagged) {
    osd->updateOSD(true, false, 754);
    QImage image = shot();
    // Picture (0, 150, 399, 299): the rectangle's top edge a quarter of its height lower.
    const int top = 150 + 299 / 4;
    EXPECT_EQ(image.pixel(200, top), qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(200, top + 299 / 2), qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(0, top + 50), qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(200, top + 50), qRgb(0, 0, 0)) << "an outline, not a fill";
    EXPECT_GT(countPixels(image, QRect(0, 150, 400, 60), qRgb(255, 255, 255)), 20)
        << "the clock at the picture's top";
    EXPECT_EQ(countPixels(image, QRect(0, 0, 400, 150), qRgb(255, 255, 255)), 0)
        << "nothing above the picture";

    EXPECT_EQ(countPixels(image, QRect(0, 0, 400, 600), qRgb(0, 255, 0)), 0) << "no label";

    osd->SetRecordStartTime(static_cast<unsigned>(QDateTime::currentSecsSinceEpoch()) - 3725);
    osd->updateOSD(false, true, 754);
    image = shot();
    EXPECT_EQ(countPixels(image, QRect(0, 0, 400, 600), qRgb(0, 0, 255)), 0) << "no rectangle";
    // The label's bottom sits a tenth of the picture height plus 20 pixels above its bottom.
    const int labelBottom = 150 + 298 - 299 / 10 - 20;
    EXPECT_GT(countPixels(image, QRect(0, labelBottom - 25, 250, 26), qRgb(0, 255, 0)), 50);
    EXPECT_EQ(
        countPixels(image, QRect(0, labelBottom + 1, 400, 599 - labelBottom), qRgb(0, 255, 0)), 0);
}

// While a recording runs, every frame's update repaints the label's line only, never the
// whole overlay (which would make the video window convert its picture again), and that line
// holds the whole label, so no old second is left on the screen.
TEST_F(OSDWindowPaintTest, ARecordingsFrameRepaintsTheLabelLineOnly) {
    osd->SetRecordStartTime(static_cast<unsigned>(QDateTime::currentSecsSinceEpoch()) - 3725);
    osd->updateOSD(false, true, 754);
    const QImage image = shot();
    QApplication::processEvents();
    struct PaintRegion : QObject {
        QRegion region;
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint) {
                region += static_cast<QPaintEvent*>(event)->region();
            }
            return false;
        }
    } painted;
    osd->installEventFilter(&painted);
    osd->updateOSD(false, true, 754);
    QApplication::processEvents();
    ASSERT_FALSE(painted.region.isEmpty());
    const QRect line = painted.region.boundingRect();
    EXPECT_LT(line.height(), 40) << "not the whole overlay";
    const QRect all(0, 0, 400, 600);
    EXPECT_EQ(countPixels(image, line, qRgb(0, 255, 0)), countPixels(image, all, qRgb(0, 255, 0)));
}

TEST_F(OSDWindowPaintTest, ASizeFromAnotherThreadIsUsedByTheNextPaint) {
    parent.resize(1280, 670);
    osd->FollowParent();
    std::thread capture([this] { osd->SetPictureSize(480, 640); });
    capture.join();
    osd->updateOSD(true, false, 0);
    const QImage image = shot();  // paints before the queued recomputation has run
    EXPECT_EQ(osd->PictureRect(), QRect(389, 0, 501, 669));
    EXPECT_EQ(image.pixel(389, 669 / 4), qRgb(0, 0, 255));
    EXPECT_EQ(image.pixel(300, 669 / 4), qRgb(0, 0, 0));
    QApplication::processEvents();
    EXPECT_EQ(osd->PictureRect(), QRect(389, 0, 501, 669));
}

}  // namespace
