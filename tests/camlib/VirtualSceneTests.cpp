#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "capture/virtual/VirtualScene.h"

namespace Framegate {
namespace {

using std::chrono::milliseconds;

std::vector<uint8_t> rendered(VirtualScene& scene, int ms) {
    std::vector<uint8_t> frame(scene.frameBytes());
    scene.render(milliseconds(ms), frame.data());
    return frame;
}

int lumaAt(const VirtualScene& scene, const std::vector<uint8_t>& frame, int x, int y) {
    return frame[(static_cast<size_t>(y) * scene.width() + x) * 2];
}

// Mean luma of a square around (x, y), clipped to the picture: averages the noise out.
double meanLuma(const VirtualScene& scene, const std::vector<uint8_t>& frame, int x, int y,
                int half) {
    double sum = 0;
    int count = 0;
    for (int yy = std::max(0, y - half); yy <= std::min(scene.height() - 1, y + half); ++yy) {
        for (int xx = std::max(0, x - half); xx <= std::min(scene.width() - 1, x + half); ++xx) {
            sum += lumaAt(scene, frame, xx, yy);
            ++count;
        }
    }
    return sum / count;
}

// Any size a scenario allows renders a whole, grey, video-range frame without touching memory
// outside it (the sanitizer build checks the bounds).
TEST(VirtualSceneTest, FramesAreGreyVideoRangeYuy2AtEverySize) {
    const std::pair<int, int> sizes[] = {{480, 640}, {640, 480}, {2, 2}, {2, 7}, {6, 2}, {34, 12}};
    for (const auto& [width, height] : sizes) {
        VirtualScene scene(width, height);
        ASSERT_EQ(scene.frameBytes(), static_cast<size_t>(width) * height * 2);
        for (const int ms : {0, 1234, 7777, 20000}) {
            const std::vector<uint8_t> frame = rendered(scene, ms);
            for (size_t i = 0; i < frame.size(); ++i) {
                if (i % 2 == 1) {
                    ASSERT_EQ(frame[i], 128) << width << "x" << height << " byte " << i;
                } else {
                    ASSERT_GE(frame[i], VirtualScene::kMinLuma) << i;
                    ASSERT_LE(frame[i], VirtualScene::kMaxLuma) << i;
                }
            }
        }
    }
}

TEST(VirtualSceneTest, WarmObjectStandsOutOfACoolerGradient) {
    VirtualScene scene(480, 640);
    for (const int ms : {0, 2500, 6000, 11000}) {
        const std::vector<uint8_t> frame = rendered(scene, ms);
        const VirtualScene::Point centre = scene.objectCentre(milliseconds(ms));
        ASSERT_TRUE(centre.x >= 0 && centre.x < 480 && centre.y >= 0 && centre.y < 640);
        const double object = meanLuma(scene, frame, centre.x, centre.y, 3);
        // The corner farthest from the object stays cool.
        const double far =
            meanLuma(scene, frame, centre.x < 240 ? 470 : 10, centre.y < 320 ? 630 : 10, 4);
        EXPECT_GT(object, 200) << ms;
        EXPECT_LT(far, 125) << ms;
    }
    // Away from the object (at 0 ms in the lower middle), the background warms downwards.
    const std::vector<uint8_t> frame = rendered(scene, 0);
    for (int y = 120; y < 640; y += 100) {
        EXPECT_GT(meanLuma(scene, frame, 8, y, 8), meanLuma(scene, frame, 8, y - 100, 8)) << y;
    }
}

// At 25 fps the object glides: a few pixels per frame, but over seconds across the picture.
TEST(VirtualSceneTest, ObjectMovesSmoothly) {
    VirtualScene scene(480, 640);
    int minX = 480, maxX = 0, minY = 640, maxY = 0;
    VirtualScene::Point previous = scene.objectCentre(milliseconds(0));
    for (int ms = 40; ms <= 30000; ms += 40) {
        const VirtualScene::Point now = scene.objectCentre(milliseconds(ms));
        EXPECT_LE(std::abs(now.x - previous.x), 8) << ms;
        EXPECT_LE(std::abs(now.y - previous.y), 8) << ms;
        minX = std::min(minX, now.x);
        maxX = std::max(maxX, now.x);
        minY = std::min(minY, now.y);
        maxY = std::max(maxY, now.y);
        previous = now;
    }
    EXPECT_GT(maxX - minX, 240);
    EXPECT_GT(maxY - minY, 320);
}

TEST(VirtualSceneTest, NoiseChangesEveryFrameAndStaysSmall) {
    VirtualScene scene(480, 640);
    const std::vector<uint8_t> first = rendered(scene, 500);
    const std::vector<uint8_t> second = rendered(scene, 500);
    size_t changed = 0;
    long sum = 0;
    for (size_t i = 0; i < first.size(); i += 2) {
        const int difference = first[i] - second[i];
        ASSERT_LE(std::abs(difference), 8) << i;
        changed += difference != 0 ? 1 : 0;
        sum += difference;
    }
    const size_t pixels = first.size() / 2;
    EXPECT_GT(changed, pixels / 2);
    EXPECT_LT(std::abs(static_cast<double>(sum) / pixels), 0.1);  // unbiased
}

}  // namespace
}  // namespace Framegate
