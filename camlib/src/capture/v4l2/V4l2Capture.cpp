#include "capture/v4l2/V4l2Capture.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "capture/CaptureErrorText.h"
#include "capture/FrameSink.h"
#include "capture/v4l2/V4l2Enumerator.h"
#include "infra/Logger.h"
#include "infra/OutputDeferral.h"

namespace Framegate {

namespace {

constexpr __u32 kFramesPerSecond = 25;
constexpr std::size_t kBytesPerPixel = 2;  // YUYV
// Larger than any sensor; keeps a nonsensical driver answer from overflowing the size sums.
constexpr __u32 kMaxSide = 1u << 14;

}  // namespace

V4l2Capture::V4l2Capture(std::string node, V4l2Api& api)
    : CThread("V4l2Capture"), m_api(api), m_node(std::move(node)) {}

V4l2Capture::~V4l2Capture() {
    stop();
}

OpenResult V4l2Capture::open(int width, int height) {
    stop();
    m_lastError = 0;

    do {
        m_fd = m_api.open(m_node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
    if (m_fd < 0) {
        return fail(OpenResult::kNoStreamConfig, errno, "open");
    }
    v4l2_capability capability{};
    if (m_api.ioctl(m_fd, VIDIOC_QUERYCAP, &capability) < 0) {
        return fail(OpenResult::kNoStreamConfig, errno, "VIDIOC_QUERYCAP");
    }
    if (!V4l2Enumerator::isVideoCapture(capability)) {
        return fail(OpenResult::kNoStreamConfig, 0, "not a video capture device");
    }
    const OpenResult format = negotiateFormat(width, height);
    return format == OpenResult::kOk ? setUpBuffers() : format;
}

OpenResult V4l2Capture::negotiateFormat(int width, int height) {
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_api.ioctl(m_fd, VIDIOC_G_FMT, &format) < 0) {
        return fail(OpenResult::kFormatUnreadable, errno, "VIDIOC_G_FMT");
    }
    // The current format is edited, not built afresh, so that what we do not ask for (colour
    // space, quantisation) stays as the driver had it. Line and image sizes are the driver's to
    // compute for the new size.
    v4l2_pix_format& pix = format.fmt.pix;
    pix.width = static_cast<__u32>(width);
    pix.height = static_cast<__u32>(height);
    pix.pixelformat = V4L2_PIX_FMT_YUYV;
    // Two fields woven into one picture would comb every moving edge.
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = 0;
    pix.sizeimage = 0;
    if (m_api.ioctl(m_fd, VIDIOC_S_FMT, &format) < 0) {
        return fail(OpenResult::kFormatRejected, errno, "VIDIOC_S_FMT");
    }
    if (pix.pixelformat != V4L2_PIX_FMT_YUYV) {
        return fail(OpenResult::kFormatRejected, 0, "YUYV not granted");
    }
    if (pix.field != V4L2_FIELD_NONE && pix.field != V4L2_FIELD_ANY) {
        char what[96];
        std::snprintf(what, sizeof what,
                      "interlaced frames only (field order %u), progressive frames needed",
                      pix.field);
        return fail(OpenResult::kFormatRejected, 0, what);
    }
    const std::size_t packedLine = std::size_t{pix.width} * kBytesPerPixel;
    if (pix.width == 0 || pix.height == 0 || pix.width > kMaxSide || pix.height > kMaxSide ||
        (pix.bytesperline != 0 &&
         (pix.bytesperline < packedLine || pix.bytesperline > packedLine * 2))) {
        return fail(OpenResult::kFormatRejected, 0, "unusable size or line length granted");
    }
    m_width = static_cast<int>(pix.width);
    m_height = static_cast<int>(pix.height);
    m_frameBytes = packedLine * pix.height;
    m_lineBytes = pix.bytesperline != 0 ? pix.bytesperline : packedLine;
    // Padded lines are packed into a frame of our own before delivery; the sink always gets
    // width x height x 2 contiguous bytes.
    m_packed.assign(m_lineBytes != packedLine ? m_frameBytes : 0, 0);

    v4l2_streamparm rate{};
    rate.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    rate.parm.capture.timeperframe = {1, kFramesPerSecond};
    if (m_api.ioctl(m_fd, VIDIOC_S_PARM, &rate) < 0) {
        // Many cameras have one fixed rate; their frames are just as good.
        INFRA_DEBUG("V4l2Capture: %s keeps its frame rate, VIDIOC_S_PARM: %s\n", m_node.c_str(),
                    std::strerror(errno));
    }
    return OpenResult::kOk;
}

OpenResult V4l2Capture::setUpBuffers() {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (m_api.ioctl(m_fd, VIDIOC_REQBUFS, &request) < 0) {
        return fail(OpenResult::kNotConnected, errno, "VIDIOC_REQBUFS");
    }
    if (request.count == 0) {
        return fail(OpenResult::kNotConnected, 0, "no buffers granted");
    }
    for (__u32 index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (m_api.ioctl(m_fd, VIDIOC_QUERYBUF, &buffer) < 0) {
            return fail(OpenResult::kNotConnected, errno, "VIDIOC_QUERYBUF");
        }
        if (buffer.length < bufferBytes()) {
            return fail(OpenResult::kNotConnected, 0, "buffer smaller than a frame");
        }
        void* address = m_api.mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, m_fd,
                                   static_cast<off_t>(buffer.m.offset));
        if (address == MAP_FAILED) {
            return fail(OpenResult::kNotConnected, errno, "mmap");
        }
        m_buffers.push_back({address, buffer.length});
        if (m_api.ioctl(m_fd, VIDIOC_QBUF, &buffer) < 0) {
            return fail(OpenResult::kNotConnected, errno, "VIDIOC_QBUF");
        }
    }
    return OpenResult::kOk;
}

bool V4l2Capture::start(FrameSink& sink) {
    if (m_fd < 0 || m_streaming) {
        return false;
    }
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        m_lastError = errno;
        INFRA_ERROR("V4l2Capture: no wake-up descriptor for %s: %s\n", m_node.c_str(),
                    std::strerror(errno));
        release();
        return false;
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (m_api.ioctl(m_fd, VIDIOC_STREAMON, &type) < 0) {
        m_lastError = errno;
        INFRA_ERROR("V4l2Capture: VIDIOC_STREAMON refused, %s\n",
                    captureErrorText(m_lastError, m_node).c_str());
        release();
        return false;
    }
    m_streaming = true;
    m_sink = &sink;
    m_ioErrors = 0;
    m_sequenceKnown = false;
    m_lostToGaps = 0;
    m_gapLoggedAt = 0;
    if (!createThread()) {
        m_lastError = EAGAIN;
        m_sink = nullptr;
        release();
        return false;
    }
    return true;
}

void V4l2Capture::stop() {
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        if (::write(m_wakeFd, &one, sizeof one) != sizeof one) {
            // The thread still sees the cleared loop flag within one poll timeout.
            INFRA_DEBUG("V4l2Capture: wake-up of %s failed: %s\n", m_node.c_str(),
                        std::strerror(errno));
        }
        // A thread that ended on its own (device gone) needs no stop request.
        if (!isThreadOver()) {
            destroyThread();
        }
    }
    m_sink = nullptr;
    release();
}

void V4l2Capture::threadProc() {
    // Frames must not wait for a console or log file that blocks.
    const Velmora::Infra::OutputDeferral::Scope deferOutput;
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    while (looping()) {
        const int ready = m_api.poll(fds, 2, kPollTimeoutMs);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            endStreaming(errno, "poll");
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents != 0 && !takeSample(fds[0].revents)) {
            return;
        }
    }
}

bool V4l2Capture::takeSample(short deviceEvents) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (m_api.ioctl(m_fd, VIDIOC_DQBUF, &buffer) < 0) {
        const int error = errno;
        // An empty queue after POLLIN is a spurious wake-up; after POLLERR the queue is in an
        // error state and nothing more will arrive.
        if (error == EAGAIN) {
            return (deviceEvents & POLLERR) == 0 || endStreaming(EIO, "poll");
        }
        // A USB camera's driver fails a frame it got garbled with EIO and goes on: that frame
        // is lost, the stream is not, unless nothing but errors comes.
        if (error == EIO) {
            m_sink->OnDroppedSample();
            // A driver that numbers the failed frame shows no gap for it: it is counted here
            // already. One that does not number it gives a step back, which counts nothing.
            ++m_nextSequence;
            if (++m_ioErrors < kIoErrorsInARow) {
                return true;
            }
            return endStreaming(error, "VIDIOC_DQBUF, 10 times in a row");
        }
        return endStreaming(error, "VIDIOC_DQBUF");
    }
    m_ioErrors = 0;
    if (buffer.index >= m_buffers.size()) {
        return endStreaming(EINVAL, "VIDIOC_DQBUF index");
    }
    countSequenceGap(buffer.sequence);
    if ((buffer.flags & V4L2_BUF_FLAG_ERROR) != 0 || buffer.bytesused < bufferBytes()) {
        m_sink->OnDroppedSample();
    } else {
        // Exactly one frame: a driver may count trailing padding in bytesused.
        m_sink->OnData(packedFrame(m_buffers[buffer.index].address),
                       static_cast<long>(m_frameBytes));
    }
    if (m_api.ioctl(m_fd, VIDIOC_QBUF, &buffer) < 0) {
        return endStreaming(errno, "VIDIOC_QBUF");
    }
    return true;
}

void V4l2Capture::countSequenceGap(unsigned sequence) {
    // Unsigned arithmetic: a wrapped counter still gives the gap.
    const unsigned gap = m_sequenceKnown ? sequence - m_nextSequence : 0;
    m_sequenceKnown = true;
    m_nextSequence = sequence + 1;
    // A driver that restarts its count (or a nonsense jump) is not a loss of billions of frames.
    if (gap == 0 || gap > 1000) {
        return;
    }
    for (unsigned i = 0; i < gap; ++i) {
        m_sink->OnDroppedSample();
    }
    m_lostToGaps += gap;
    const long long now = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
    if (m_gapLoggedAt == 0 || now - m_gapLoggedAt >= kGapLogSeconds) {
        INFRA_WARN("V4l2Capture: %s lost %lu frames (gaps in the driver's sequence numbers)\n",
                   m_node.c_str(), m_lostToGaps);
        m_lostToGaps = 0;
        m_gapLoggedAt = now;
    }
}

std::size_t V4l2Capture::bufferBytes() const {
    // The last line needs no padding after it.
    const std::size_t packedLine = m_frameBytes / static_cast<std::size_t>(m_height);
    return m_lineBytes * static_cast<std::size_t>(m_height - 1) + packedLine;
}

const unsigned char* V4l2Capture::packedFrame(const void* address) {
    const auto* source = static_cast<const unsigned char*>(address);
    if (m_packed.empty()) {
        return source;
    }
    const std::size_t packedLine = m_frameBytes / static_cast<std::size_t>(m_height);
    for (int row = 0; row < m_height; ++row) {
        std::memcpy(m_packed.data() + packedLine * static_cast<std::size_t>(row),
                    source + m_lineBytes * static_cast<std::size_t>(row), packedLine);
    }
    return m_packed.data();
}

bool V4l2Capture::endStreaming(int error, const char* what) const {
    INFRA_ERROR("V4l2Capture: streaming from %s ends, %s: %s\n", m_node.c_str(), what,
                std::strerror(error));
    return false;
}

OpenResult V4l2Capture::fail(OpenResult result, int error, const char* what) {
    if (error != 0) {
        INFRA_ERROR("V4l2Capture: open failed, %s: %s\n", what,
                    captureErrorText(error, m_node).c_str());
    } else {
        INFRA_ERROR("V4l2Capture: open of %s failed, %s\n", m_node.c_str(), what);
    }
    m_lastError = error;
    m_width = 0;
    m_height = 0;
    m_frameBytes = 0;
    m_lineBytes = 0;
    m_packed.clear();
    release();
    return result;
}

void V4l2Capture::release() {
    if (m_streaming) {
        // A vanished device refuses this; closing the node ends streaming all the same.
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        m_api.ioctl(m_fd, VIDIOC_STREAMOFF, &type);
        m_streaming = false;
    }
    if (m_wakeFd >= 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
    for (const Buffer& buffer : m_buffers) {
        m_api.munmap(buffer.address, buffer.length);
    }
    m_buffers.clear();
    if (m_fd >= 0) {
        m_api.close(m_fd);
        m_fd = -1;
    }
}

}  // namespace Framegate
