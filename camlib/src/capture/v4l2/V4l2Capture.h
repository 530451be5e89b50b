// A V4L2 capture device streamed through mmap buffers on a thread of the stream's own.
//
// open, start, stop and the destructor run on one controlling thread (never inside the sink);
// the sink is called on the streaming thread only.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "capture/CaptureStream.h"
#include "capture/v4l2/V4l2Api.h"
#include "infra/CThread.h"

namespace Framegate {

class V4l2Capture : public CaptureStream, private Velmora::Infra::CThread {
public:
    // Few buffers keep the picture close to live; four still let the sink take a frame's time.
    static constexpr unsigned kBufferCount = 4;
    // Upper bound of one wait on the device; the wake-up descriptor ends a wait at once.
    static constexpr int kPollTimeoutMs = 100;
    // A frame the driver fails with EIO is dropped; this many in a row end the stream.
    static constexpr int kIoErrorsInARow = 10;
    // Frames lost to sequence gaps are logged at most once in this many seconds.
    static constexpr int kGapLogSeconds = 10;

    // `node` is the device node ("/dev/video0"); `api` must outlive the stream.
    explicit V4l2Capture(std::string node, V4l2Api& api = V4l2Api::system());
    ~V4l2Capture() override;
    V4l2Capture(const V4l2Capture&) = delete;
    V4l2Capture& operator=(const V4l2Capture&) = delete;

    // Opening again first releases whatever the previous open set up.
    OpenResult open(int width, int height) override;
    int width() const override { return m_width; }
    int height() const override { return m_height; }
    int lastError() const override { return m_lastError; }
    // Delivers exactly width x height x 2 contiguous bytes per good sample (padded lines are
    // packed first). False, with lastError() set, when streaming cannot start.
    bool start(FrameSink& sink) override;
    void stop() override;

private:
    struct Buffer {
        void* address;
        std::size_t length;
    };

    void threadProc() override;
    OpenResult negotiateFormat(int width, int height);
    OpenResult setUpBuffers();
    // Dequeues one buffer, hands it on and queues it again; false when streaming must end.
    bool takeSample(short deviceEvents);
    // Counts the frames the driver's sequence numbers skipped before `sequence` as dropped.
    void countSequenceGap(unsigned sequence);
    // Bytes of a whole frame in a device buffer, line padding included.
    std::size_t bufferBytes() const;
    // The frame in a device buffer as packed lines (the buffer itself when it has no padding).
    const unsigned char* packedFrame(const void* address);
    // Logs why streaming ends (once per stream: the thread ends with it); returns false.
    bool endStreaming(int error, const char* what) const;
    // Logs a failed open step and releases what the open set up so far.
    OpenResult fail(OpenResult result, int error, const char* what);
    void release();

    V4l2Api& m_api;
    const std::string m_node;
    int m_fd = -1;
    int m_wakeFd = -1;
    bool m_streaming = false;
    int m_width = 0;
    int m_height = 0;
    std::size_t m_frameBytes = 0;
    std::size_t m_lineBytes = 0;  // the device's line length, padding included
    // Streaming thread only, between start and stop: the packed copy of a padded frame.
    std::vector<unsigned char> m_packed;
    int m_lastError = 0;
    std::vector<Buffer> m_buffers;
    // Set before the thread starts and cleared only after it ended.
    FrameSink* m_sink = nullptr;
    // Streaming thread only, reset by start.
    int m_ioErrors = 0;              // VIDIOC_DQBUF failing with EIO in a row
    bool m_sequenceKnown = false;    // a buffer was dequeued since start
    unsigned m_nextSequence = 0;     // the sequence number the next buffer should carry
    unsigned long m_lostToGaps = 0;  // frames lost to gaps, not yet logged
    long long m_gapLoggedAt = 0;     // monotonic seconds of the last gap line
};

}  // namespace Framegate
