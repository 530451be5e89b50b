// A scripted V4L2 device set behind the seam: device nodes with their capabilities and format
// answers, mmap buffers in memory, frames queued by the test, errors and unplugging on demand.
//
// Every open handle is backed by a real eventfd that is readable exactly while the handle's
// poll would report something, so poll() can wait on it together with ordinary descriptors.
// Thread-safe: the test scripts from its thread while the stream's thread polls and dequeues.
#pragma once

#include <linux/videodev2.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/v4l2/V4l2Api.h"

namespace CalorviewTest {

class FakeV4l2Api : public Framegate::V4l2Api {
public:
    // The format a device starts with: 1280 x 720 MJPEG.
    static v4l2_pix_format mjpeg720p();

    struct Device {
        std::string card = "Thermal Camera";
        std::string driver = "uvcvideo";
        std::string busInfo = "usb-0000:00:14.0-1";
        __u32 capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
        __u32 deviceCaps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        // What VIDIOC_G_FMT reports before any VIDIOC_S_FMT.
        v4l2_pix_format current = mjpeg720p();
        // What VIDIOC_S_FMT grants instead of the request; 0 grants what was asked for.
        __u32 grantedWidth = 0;
        __u32 grantedHeight = 0;
        __u32 grantedPixelFormat = 0;
        __u32 grantedBytesPerLine = 0;  // 0: width x 2
        __u32 grantedField = 0;         // 0: the field order asked for
        int openInterrupts = 0;         // the first this many opens fail with EINTR
        int grantedBuffers = -1;        // -1: as many as asked for
        int openError = 0;              // errno of open(); 0 opens
        // errno per request (VIDIOC_G_FMT, ...); requests not listed succeed.
        std::map<unsigned long, int> ioctlErrors;
    };

    struct Frame {
        // Each line's pixels hold the line number (mod 256) and its padding kPaddingByte.
        static constexpr int kLineNumbers = -2;
        static constexpr unsigned char kPaddingByte = 0xEE;
        // `fill` is written over the first bytesUsed bytes of the buffer; -1 leaves the buffer
        // as it is.
        explicit Frame(__u32 used, __u32 bufferFlags = 0, int fillByte = -1)
            : bytesUsed(used), flags(bufferFlags), fill(fillByte) {}

        // VIDIOC_DQBUF fails once with `error` for this frame and dequeues nothing.
        static Frame failing(int error) {
            Frame frame(0);
            frame.dequeueError = error;
            return frame;
        }

        __u32 bytesUsed;
        __u32 flags;
        int fill;
        int dequeueError = 0;
        // Sequence numbers the driver skips before this frame (frames it lost).
        __u32 skippedSequences = 0;
    };

    FakeV4l2Api() = default;
    ~FakeV4l2Api() override;
    FakeV4l2Api(const FakeV4l2Api&) = delete;
    FakeV4l2Api& operator=(const FakeV4l2Api&) = delete;

    // Scripting, from the test. Adds a node answering like Device's defaults as edited by `script`.
    void addDevice(const std::string& node, const std::function<void(Device&)>& script = {});
    // Queues a frame that the next VIDIOC_DQBUF of a streaming handle of `node` returns.
    void pushFrame(const std::string& node, Frame frame);
    // From now on every call on the node fails with ENODEV and poll reports POLLERR | POLLHUP.
    void unplug(const std::string& node);
    // The stream enters an error state: poll reports POLLERR, VIDIOC_DQBUF fails with `error`.
    void failStream(const std::string& node, int error);
    // The next `count` calls of poll fail with EINTR.
    void interruptPolls(int count);

    // Observations.
    int openHandles() const;
    int mappedBuffers() const;
    bool streaming(const std::string& node) const;
    int pollCalls() const;
    // The format and frame interval of the node's last VIDIOC_S_FMT and VIDIOC_S_PARM.
    v4l2_pix_format requestedFormat(const std::string& node) const;
    v4l2_fract requestedFrameInterval(const std::string& node) const;
    // When the last VIDIOC_DQBUF that returned a buffer was entered.
    std::chrono::steady_clock::time_point lastDequeue() const;

    // The seam.
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override;

private:
    struct Slot {
        std::vector<unsigned char> memory;
        bool mapped = false;
    };
    struct Handle {
        std::string node;
        int fd = -1;  // the eventfd standing for the device
        bool signalled = false;
        bool streaming = false;
        std::vector<Slot> slots;
        std::deque<__u32> queued;  // buffer indexes owned by the driver, in queue order
    };
    struct NodeState {
        Device device;
        std::deque<Frame> frames;
        bool unplugged = false;
        int streamError = 0;
        __u32 sequence = 0;  // of the next frame
        v4l2_pix_format requested{};
        v4l2_fract interval{};
    };

    int answer(Handle& handle, NodeState& node, unsigned long request, void* argument);
    int dequeue(Handle& handle, NodeState& node, v4l2_buffer& buffer);
    short events(const Handle& handle) const;
    // Makes the handle's eventfd readable exactly while events() is not empty.
    void updateSignal(Handle& handle);
    void updateSignals(const std::string& node);
    Slot* slotAt(int fd, off_t offset, std::size_t length);

    mutable std::mutex m_mutex;
    std::map<std::string, NodeState> m_nodes;
    std::map<int, std::unique_ptr<Handle>> m_handles;
    // Closed handles keep their memory: a mapping may outlive the descriptor.
    std::vector<std::unique_ptr<Handle>> m_closed;
    int m_pollInterrupts = 0;
    int m_pollCalls = 0;
    std::chrono::steady_clock::time_point m_lastDequeue;
};

}  // namespace CalorviewTest
