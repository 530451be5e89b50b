#include "media/EncodedFrameRing.h"

#include <utility>

namespace Media {

bool EncodedFrameRing::Push(const uint8_t* data, size_t size, int64_t arrivalUs, bool keyFrame) {
    ExpireBefore(arrivalUs);
    if (m_frames.empty() && !keyFrame) {
        return false;
    }
    HeldFrame frame;
    if (!m_spare.empty()) {
        frame.bytes = std::move(m_spare.back());
        m_spare.pop_back();
    }
    frame.bytes.assign(data, data + size);
    frame.arrivalUs = arrivalUs;
    frame.keyFrame = keyFrame;
    m_bytes += size;
    m_frames.push_back(std::move(frame));
    DropOldGops();
    return true;
}

bool EncodedFrameRing::ExpireBefore(int64_t arrivalUs) {
    if (!m_frames.empty() && arrivalUs - m_frames.back().arrivalUs > kMaxGapUs) {
        Clear();
    }
    return m_frames.empty();
}

std::deque<HeldFrame> EncodedFrameRing::Take() {
    std::deque<HeldFrame> frames;
    frames.swap(m_frames);
    m_bytes = 0;
    return frames;
}

void EncodedFrameRing::Clear() {
    while (!m_frames.empty()) {
        Recycle(&m_frames.front());
        m_frames.pop_front();
    }
    m_bytes = 0;
}

size_t EncodedFrameRing::CapacityBytes() const {
    size_t bytes = 0;
    for (const HeldFrame& frame : m_frames) {
        bytes += frame.bytes.capacity();
    }
    for (const auto& buffer : m_spare) {
        bytes += buffer.capacity();
    }
    return bytes;
}

int64_t EncodedFrameRing::HeldUs() const {
    return m_frames.empty() ? 0 : m_frames.back().arrivalUs - m_frames.front().arrivalUs;
}

void EncodedFrameRing::DropOldGops() {
    const int64_t reachUs = m_frames.back().arrivalUs - m_spanUs;
    for (;;) {
        size_t next = 1;
        while (next < m_frames.size() && !m_frames[next].keyFrame) {
            ++next;
        }
        if (next == m_frames.size() || m_frames[next].arrivalUs > reachUs) {
            return;
        }
        for (size_t i = 0; i < next; ++i) {
            m_bytes -= m_frames.front().bytes.size();
            Recycle(&m_frames.front());
            m_frames.pop_front();
        }
    }
}

void EncodedFrameRing::Recycle(HeldFrame* frame) {
    // Spares beyond a GOP would only be kept memory: the ring drops a GOP at a time.
    constexpr size_t kMaxSpares = 64;
    if (m_spare.size() < kMaxSpares) {
        m_spare.push_back(std::move(frame->bytes));
    }
}

}  // namespace Media
