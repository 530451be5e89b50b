// The last seconds of encoded frames, kept while no recording runs, so that an alarm recording
// can begin before its alarm (the pre-alarm seconds). The ring always starts at a key frame, so
// the frames it hands over play from the first; it drops whole GOPs (a key frame and the frames
// that follow it) from the front once the GOP after them starts early enough to cover the span
// alone. Memory is therefore bounded by the span plus one GOP (the encoder makes a key frame
// every second); the buffers of dropped frames are reused for the next ones.
//
// A gap of more than a second between two frames' arrivals (a stalled or reconnected camera)
// empties the ring: frames from before it would put a hole into the recording.
//
// Threads: none of its own; used by one thread at a time (VideoWindow's recording mutex).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace Media {

// One encoded frame kept for later, with the time it reached the program.
struct HeldFrame {
    std::vector<uint8_t> bytes;  // one Annex-B access unit
    int64_t arrivalUs = 0;       // monotonic clock, microseconds
    bool keyFrame = false;
};

class EncodedFrameRing {
public:
    static constexpr int64_t kMaxGapUs = 1000000;

    // How far back the ring reaches; a shorter span drops what lies beyond it at the next Push.
    void SetSpanUs(int64_t spanUs) { m_spanUs = spanUs; }
    // Keeps a copy of one frame that arrived at `arrivalUs`. Frames that cannot start the ring
    // (not a key frame while it is empty) are dropped; false then.
    bool Push(const uint8_t* data, size_t size, int64_t arrivalUs, bool keyFrame);
    // Empties the ring when a frame arriving at `arrivalUs` would follow a gap. True when empty.
    bool ExpireBefore(int64_t arrivalUs);
    // Moves every frame out, oldest first; the ring is empty afterwards.
    std::deque<HeldFrame> Take();
    void Clear();

    bool Empty() const { return m_frames.empty(); }
    size_t Frames() const { return m_frames.size(); }
    // Payload bytes held.
    size_t Bytes() const { return m_bytes; }
    // Bytes of heap the frames and the spare buffers occupy (capacities).
    size_t CapacityBytes() const;
    // Arrival of the newest frame minus that of the oldest; 0 when empty.
    int64_t HeldUs() const;

private:
    // Drops the oldest GOP while the next one alone still reaches back the whole span.
    void DropOldGops();
    void Recycle(HeldFrame* frame);

    std::deque<HeldFrame> m_frames;
    std::vector<std::vector<uint8_t>> m_spare;  // buffers of dropped frames, reused
    size_t m_bytes = 0;
    int64_t m_spanUs = 0;
};

}  // namespace Media
