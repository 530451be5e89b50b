#include <gtest/gtest.h>

#include <QApplication>
#include <QPainter>
#include <QWidget>
#include <memory>

#include "client/video/FrameTestSupport.h"
#include "video/D3DVideoRenderer.h"

using CalorviewTest::flatUyvy;

namespace {

TEST(D3DVideoRendererRectTest, LetterboxRectangle) {
    const struct {
        int width, height, clientWidth, clientHeight;
        QRect expected;
    } cases[] = {
        {480, 640, 1280, 670, QRect(389, 0, 502, 670)},  // bars left and right
        {640, 480, 400, 600, QRect(0, 150, 400, 300)},   // bars above and below
        {640, 480, 640, 480, QRect(0, 0, 640, 480)},     // equal aspects: second branch
        {480, 640, 1279, 669, QRect(389, 0, 501, 669)},
        {480, 640, 1280, 0, QRect()},  // minimised: nothing to draw
        {480, 640, 0, 670, QRect()},
        {0, 640, 1280, 670, QRect()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(D3DVideoRenderer::LetterboxRect(c.width, c.height, c.clientWidth, c.clientHeight),
                  c.expected)
            << c.width << "x" << c.height << " in " << c.clientWidth << "x" << c.clientHeight;
    }
}

class D3DVideoRendererTest : public testing::Test {
protected:
    void SetUp() override { renderer->Init(nullptr); }
    void TearDown() override { renderer->Init(nullptr); }

    // A widget that shows whatever the renderer gives it, and counts its paints.
    class Screen : public QWidget {
    public:
        int paints = 0;

    protected:
        void paintEvent(QPaintEvent*) override {
            ++paints;
            QPainter painter(this);
            D3DVideoRenderer::instance()->Paint(this, &painter);
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

}  // namespace
