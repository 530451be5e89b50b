// Counts the frames as they arrive and the frames the client saw missing between them, judged
// by the arrival times alone (the camera library's own counts are not exported). The usual gap
// is learnt as the frames come (the mean of the first ten gaps, then an average of the gaps near
// it); a gap of about n usual gaps counts n - 1 missing frames. A gap of kStallUs or more is a
// stalled stream, told by the stream watch, not missing frames.
//
// Threads: OnFrame on the capture thread, which alone keeps the learnt gap; the counts are
// atomics any thread reads.
#pragma once

#include <atomic>
#include <cstdint>

class FrameArrivals {
public:
    static constexpr int64_t kStallUs = 2'000'000;

    // A frame arrived at `nowUs` (a monotonic clock). Capture thread.
    void OnFrame(int64_t nowUs);

    uint64_t frames() const { return m_Frames.load(std::memory_order_relaxed); }
    uint64_t missing() const { return m_Missing.load(std::memory_order_relaxed); }

private:
    int64_t m_LastUs = -1;  // capture thread
    double m_GapUs = 0;     // capture thread: the usual gap
    int m_nLearnt = 0;      // capture thread: gaps it was learnt from, up to the warm-up's
    std::atomic<uint64_t> m_Frames{0};
    std::atomic<uint64_t> m_Missing{0};
};
