// One container file as the writer thread sees it: encoded frames in, a playable file out.
//
// Threads: a writer is created on the thread that opens the recording and from then on used by
// one thread at a time (the container's writer thread, or a tool's main thread).
#pragma once

#include <cstddef>
#include <cstdint>

namespace Media {

// One H.264 access unit in Annex-B form, as the encoder layer returns it.
struct EncodedFrame {
    const uint8_t* data = nullptr;
    size_t size = 0;
    int64_t timestampUs = 0;  // since the recording's first frame (0 for the first)
    bool keyFrame = false;    // starts with SPS/PPS and an IDR picture
};

class ContainerWriter {
public:
    virtual ~ContainerWriter() = default;

    // Appends one frame. False when it could not be written: that frame is lost, what was
    // written before stays readable, and Error() tells why (an errno value).
    virtual bool WriteFrame(const EncodedFrame& frame) = 0;
    // Pushes everything written so far to stable storage.
    virtual bool Sync() = 0;
    // Completes the file after the last frame. False leaves what was written readable.
    virtual bool Finish() = 0;
    // errno of the last failure, 0 when none.
    virtual int Error() const = 0;
};

}  // namespace Media
