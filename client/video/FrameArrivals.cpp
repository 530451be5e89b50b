#include "video/FrameArrivals.h"

#include <cmath>

namespace {

// A gap up to this many usual gaps is an ordinary one (jitter), and teaches the usual gap.
constexpr double kJitter = 1.5;
// Gaps that only teach the usual gap when a stream begins.
constexpr int kWarmUpGaps = 10;
// How much one ordinary gap moves the learnt one.
constexpr double kLearn = 0.05;

}  // namespace

void FrameArrivals::OnFrame(int64_t nowUs) {
    m_Frames.fetch_add(1, std::memory_order_relaxed);
    const int64_t gap = m_LastUs < 0 ? -1 : nowUs - m_LastUs;
    m_LastUs = nowUs;
    if (gap <= 0 || gap >= kStallUs) {
        return;
    }
    if (m_nLearnt < kWarmUpGaps) {
        // The first gaps only teach: their mean is the usual gap to begin with.
        ++m_nLearnt;
        m_GapUs += (static_cast<double>(gap) - m_GapUs) / m_nLearnt;
        return;
    }
    if (gap < m_GapUs * kJitter) {
        // Short gaps too: a frame that came early follows one that came late.
        m_GapUs += (static_cast<double>(gap) - m_GapUs) * kLearn;
        return;
    }
    const auto lost = static_cast<uint64_t>(std::llround(gap / m_GapUs)) - 1;
    m_Missing.fetch_add(lost, std::memory_order_relaxed);
}
