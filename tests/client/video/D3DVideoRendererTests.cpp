#include <gtest/gtest.h>

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>
#include <memory>
#include <random>

#include "client/video/FrameTestSupport.h"
#include "video/D3DVideoRenderer.h"

using CalorviewTest::flatUyvy;

namespace {

class D3DVideoRendererTest : public testing::Test {
protected:
    void SetUp() override { renderer->Init(nullptr); }
    void TearDown() override { renderer->Init(nullptr); }

    // A widget that shows whatever the renderer gives it, and counts its paints. With
    // `clipped`, its painter clips to the whole widget: same picture, but not painted in place.
    class Screen : public QWidget {
    public:
        int paints = 0;
        bool clipped = false;

    protected:
        void paintEvent(QPaintEvent* event) override {
            ++paints;
            QPainter painter(this);
            if (clipped) {
                painter.setClipRect(rect());
            }
            D3DVideoRenderer::instance()->Paint(this, &painter, event->region());
        }
    };

    D3DVideoRenderer* renderer = D3DVideoRenderer::instance();
};

TEST_F(D3DVideoRendererTest, ReportsFailureWithoutADeviceOrAfterItsWindowWentAway) {
    const auto picture = flatUyvy(4, 4, 10);
    EXPECT_FALSE(renderer->RenderFrame(picture.data(), 4, 4)) << "no device";
    EXPECT_FALSE(renderer->Init(nullptr));

    auto first = std::make_unique<QWidget>();
    auto second = std::make_unique<QWidget>();
    EXPECT_TRUE(renderer->Init(first.get()));
    EXPECT_TRUE(renderer->RenderFrame(picture.data(), 4, 4));
    const uint64_t handedOver = renderer->GetStats().handedOver;
    EXPECT_TRUE(renderer->RenderFrame(picture.data(), 3, 4)) << "an odd width is skipped";
    EXPECT_EQ(renderer->GetStats().handedOver, handedOver);

    EXPECT_TRUE(renderer->Init(second.get()));
    renderer->Release(first.get());
    first.reset();
    EXPECT_TRUE(renderer->RenderFrame(picture.data(), 4, 4)) << "the old window is not the device";
    renderer->Release(second.get());
    EXPECT_FALSE(renderer->RenderFrame(picture.data(), 4, 4)) << "device lost with its window";
    QApplication::processEvents();  // the queued repaint for the released window is harmless
}

TEST_F(D3DVideoRendererTest, TheNewestPictureWinsAndNoBacklogBuildsUp) {
    Screen screen;
    screen.resize(40, 40);
    screen.show();
    QApplication::processEvents();
    ASSERT_TRUE(renderer->Init(&screen));
    const D3DVideoRenderer::Stats before = renderer->GetStats();
    const int paintsBefore = screen.paints;

    // The GUI thread is busy: ten pictures arrive before it gets to run.
    for (int i = 1; i <= 10; ++i) {
        const auto picture = flatUyvy(4, 4, static_cast<unsigned char>(20 * i));
        ASSERT_TRUE(renderer->RenderFrame(picture.data(), 4, 4));
    }
    QApplication::processEvents();
    QApplication::processEvents();

    const D3DVideoRenderer::Stats after = renderer->GetStats();
    EXPECT_EQ(after.handedOver - before.handedOver, 10u);
    EXPECT_EQ(after.shown - before.shown, 1u);
    EXPECT_EQ(after.superseded - before.superseded, 9u);
    EXPECT_EQ(after.shownSerial, after.handedOver) << "the tenth picture is the one shown";
    EXPECT_EQ(screen.paints - paintsBefore, 1) << "one repaint for ten pictures";
    EXPECT_EQ(screen.grab().toImage().pixel(20, 20), qRgb(200, 200, 200));

    // Repaints without a new picture keep showing the last one.
    screen.repaint();
    EXPECT_EQ(renderer->GetStats().shown, after.shown);
    EXPECT_EQ(screen.grab().toImage().pixel(20, 20), qRgb(200, 200, 200));
}

// The picture is converted straight into the pixels being painted where it can be, through an
// image otherwise: both give the same pixels, and a partial repaint writes only what it exposes.
TEST_F(D3DVideoRendererTest, PaintsInPlaceOnlyWhatIsExposedAndAsThroughAnImage) {
    Screen screen;
    screen.resize(300, 200);
    ASSERT_TRUE(renderer->Init(&screen));
    std::vector<unsigned char> picture(480 * 640 * 2);
    std::mt19937 random(3);
    for (unsigned char& byte : picture) {
        byte = static_cast<unsigned char>(random());
    }
    ASSERT_TRUE(renderer->RenderFrame(picture.data(), 480, 640));
    QApplication::processEvents();

    const auto render = [&screen](const QRegion& region) {
        QImage image(screen.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::magenta);
        // At the region's own place in the image, without the window background.
        screen.render(&image, region.boundingRect().topLeft(), region, QWidget::RenderFlags());
        return image;
    };
    const QImage inPlace = render(QRegion(screen.rect()));
    screen.clipped = true;
    const QImage throughImage = render(QRegion(screen.rect()));
    screen.clipped = false;
    EXPECT_EQ(inPlace, throughImage);
    EXPECT_EQ(inPlace.pixel(5, 100), qRgb(0, 0, 0)) << "a bar";

    const QRegion exposed = QRegion(120, 30, 40, 50) + QRegion(140, 150, 70, 20);
    const QImage partial = render(exposed);
    for (int y = 0; y < partial.height(); ++y) {
        for (int x = 0; x < partial.width(); ++x) {
            const QRgb expected =
                exposed.contains(QPoint(x, y)) ? inPlace.pixel(x, y) : QColor(Qt::magenta).rgb();
            ASSERT_EQ(partial.pixel(x, y), expected) << x << "," << y;
        }
    }
}

}  // namespace
