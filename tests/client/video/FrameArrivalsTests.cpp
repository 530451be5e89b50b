// Frames seen missing by their arrival times alone: a seeded stream with jitter and losses of
// one, two and three frames in a row counts exactly the frames left out, at any frame rate; a
// stall is no missing frames.
#include <gtest/gtest.h>

#include <random>

#include "video/FrameArrivals.h"

TEST(FrameArrivals, CountsTheFramesLeftOutOfAJitteryStream) {
    for (const int fps : {9, 25, 30, 60}) {
        SCOPED_TRACE(fps);
        std::mt19937 random(static_cast<unsigned>(fps));
        const int64_t period = 1'000'000 / fps;
        std::uniform_int_distribution<int64_t> jitter(-period / 5, period / 5);
        std::uniform_int_distribution<int> run(1, 3);
        FrameArrivals arrivals;
        uint64_t sent = 0;
        uint64_t left = 0;
        for (int slot = 0; slot < 3000; ++slot) {
            if (slot > 100 && slot < 2900 && slot % 37 == 0) {
                const int lost = run(random);
                left += lost;
                slot += lost - 1;
                continue;
            }
            arrivals.OnFrame(slot * period + jitter(random));
            ++sent;
        }
        // A stall, then the stream again: no missing frames for it.
        const int64_t after = 3000 * period + 3 * FrameArrivals::kStallUs;
        for (int i = 0; i < 10; ++i) {
            arrivals.OnFrame(after + i * period);
            ++sent;
        }
        EXPECT_EQ(arrivals.frames(), sent);
        EXPECT_EQ(arrivals.missing(), left);
    }
}
