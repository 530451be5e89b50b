// One opened capture device: format negotiation, then a streaming thread of its own that hands
// every sample to a FrameSink. Implemented by the V4L2 and the virtual back-ends.
#pragma once

namespace Framegate {

class FrameSink;

// How an open ended; each failure has its own line in the camera's log.
enum class OpenResult {
    kOk,
    kNoStreamConfig,    // the device cannot be opened or is no video capture device
    kFormatUnreadable,  // its current format cannot be read
    kFormatRejected,    // it refuses YUYV at any size, or at the size asked for
    kNotConnected,      // buffers cannot be set up
};

class CaptureStream {
public:
    virtual ~CaptureStream() = default;

    // Caller's thread. Asks for YUYV `width` x `height` at 25 frames per second; on kOk,
    // width() and height() give the size the device actually delivers.
    virtual OpenResult open(int width, int height) = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
    // The system error number behind a failed open or start (0 when there is none).
    virtual int lastError() const = 0;

    // Starts streaming on the stream's own thread. Called once, after a successful open. False
    // when the device refuses (busy, no USB bandwidth), with lastError() telling why.
    virtual bool start(FrameSink& sink) = 0;
    // Stops streaming. When it returns no sink call is running and none will start. Safe to call
    // repeatedly and without start; returns within a second even when the device has vanished.
    virtual void stop() = 0;
};

}  // namespace Framegate
