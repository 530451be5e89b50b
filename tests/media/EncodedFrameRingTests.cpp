// The pre-alarm ring: what it keeps as frames keep coming, and what it will not start with.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "media/EncodedFrameRing.h"

namespace {

using Media::EncodedFrameRing;

constexpr int64_t kFrameUs = 40000;  // 25 fps
constexpr int kGop = 25;             // a key frame a second, as the recorder's encoder makes

// Frame i: a key frame every kGop, its size varying so that byte counts are checked for real.
void PushFrame(EncodedFrameRing* ring, int i, int64_t arrivalUs) {
    const std::vector<uint8_t> bytes(static_cast<size_t>(1000 + (i % 7) * 300), 0xAB);
    ring->Push(bytes.data(), bytes.size(), arrivalUs, i % kGop == 0);
}

TEST(EncodedFrameRing, HoldsTheSpanFromAKeyFrameAndNeverMoreThanOneGopBeyond) {
    for (const int seconds : {1, 3, 10}) {
        EncodedFrameRing ring;
        ring.SetSpanUs(seconds * 1000000LL);
        size_t mostCapacity = 0;
        for (int i = 0; i < 40 * 25; ++i) {
            PushFrame(&ring, i, i * kFrameUs);
            const auto frames = ring.Take();
            ASSERT_FALSE(frames.empty());
            ASSERT_TRUE(frames.front().keyFrame) << seconds << " s, frame " << i;
            size_t bytes = 0;
            for (const auto& frame : frames) {
                bytes += frame.bytes.size();
            }
            const int64_t heldUs = frames.back().arrivalUs - frames.front().arrivalUs;
            if (i * kFrameUs >= (seconds + 1) * 1000000LL) {
                EXPECT_GE(heldUs, seconds * 1000000LL) << seconds << " s, frame " << i;
            }
            ASSERT_LT(heldUs, (seconds + 1) * 1000000LL) << seconds << " s, frame " << i;
            // Put back what was taken: the ring goes on as if nothing happened.
            for (const auto& frame : frames) {
                ring.Push(frame.bytes.data(), frame.bytes.size(), frame.arrivalUs, frame.keyFrame);
            }
            ASSERT_EQ(ring.Bytes(), bytes);
            mostCapacity = std::max(mostCapacity, ring.CapacityBytes());
        }
        // Heap: the held frames plus at most the spare buffers of one dropped GOP.
        EXPECT_LE(mostCapacity, static_cast<size_t>((seconds + 2) * kGop * 2800)) << seconds;
    }
}

TEST(EncodedFrameRing, StartsOnlyAtAKeyFrameAndAfterAGapOrAShorterSpanStartsAfresh) {
    EncodedFrameRing ring;
    ring.SetSpanUs(3000000);
    for (int i = 1; i < kGop; ++i) {
        PushFrame(&ring, i, i * kFrameUs);
    }
    EXPECT_TRUE(ring.Empty()) << "no key frame yet: nothing that could play";
    for (int i = kGop; i < 4 * kGop; ++i) {
        PushFrame(&ring, i, i * kFrameUs);
    }
    EXPECT_EQ(ring.Frames(), 3u * kGop);

    // The span shrinks to 1 s: at the next frame the GOPs before the last second go.
    ring.SetSpanUs(1000000);
    PushFrame(&ring, 4 * kGop, 4 * kGop * kFrameUs);
    EXPECT_EQ(ring.Frames(), 1u * kGop + 1);
    EXPECT_LT(ring.HeldUs(), 2000000);

    // The camera stalled for more than a second: what came before would leave a hole.
    const int64_t late = 4 * kGop * kFrameUs + EncodedFrameRing::kMaxGapUs + 1;
    EXPECT_FALSE(ring.ExpireBefore(late - 2));
    EXPECT_TRUE(ring.ExpireBefore(late));
    EXPECT_EQ(ring.Bytes(), 0u);
    PushFrame(&ring, 1, late);
    EXPECT_TRUE(ring.Empty());
}

}  // namespace
