// Where a capture stream delivers its samples: the camera object (CCameraDS).
#pragma once

namespace Framegate {

class FrameSink {
public:
    // A good sample, on the stream's own thread. `data` is valid only during the call.
    virtual void OnData(const unsigned char* data, long length) = 0;
    // A sample the stream dropped before delivery (flagged erroneous by the driver, or shorter
    // than a whole frame), on the stream's own thread; the sink counts them.
    virtual void OnDroppedSample() = 0;

protected:
    ~FrameSink() = default;
};

}  // namespace Framegate
