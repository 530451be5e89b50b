#include "camlib/FakeV4l2Api.h"

#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace CalorviewTest {

namespace {

// The mmap offset cookie of buffer i; any distinct values do.
constexpr off_t kOffsetStep = off_t{1} << 20;

template <std::size_t N>
void copyText(__u8 (&field)[N], const std::string& text) {
    // Like the kernel: a text that fills the field has no terminating NUL.
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

int failWith(int error) {
    errno = error;
    return -1;
}

}  // namespace

v4l2_pix_format FakeV4l2Api::mjpeg720p() {
    v4l2_pix_format format{};
    format.width = 1280;
    format.height = 720;
    format.pixelformat = V4L2_PIX_FMT_MJPEG;
    format.field = V4L2_FIELD_NONE;
    format.sizeimage = 1280 * 720;
    format.colorspace = V4L2_COLORSPACE_SRGB;
    return format;
}

FakeV4l2Api::~FakeV4l2Api() {
    for (const auto& entry : m_handles) {
        ::close(entry.first);
    }
}

void FakeV4l2Api::addDevice(const std::string& node, const std::function<void(Device&)>& script) {
    Device device;
    if (script) {
        script(device);
    }
    std::lock_guard lock(m_mutex);
    m_nodes[node].device = std::move(device);
}

void FakeV4l2Api::pushFrame(const std::string& node, Frame frame) {
    std::lock_guard lock(m_mutex);
    m_nodes[node].frames.push_back(frame);
    updateSignals(node);
}

void FakeV4l2Api::unplug(const std::string& node) {
    std::lock_guard lock(m_mutex);
    m_nodes[node].unplugged = true;
    updateSignals(node);
}

void FakeV4l2Api::failStream(const std::string& node, int error) {
    std::lock_guard lock(m_mutex);
    m_nodes[node].streamError = error;
    updateSignals(node);
}

void FakeV4l2Api::interruptPolls(int count) {
    std::lock_guard lock(m_mutex);
    m_pollInterrupts = count;
}

int FakeV4l2Api::openHandles() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_handles.size());
}

int FakeV4l2Api::mappedBuffers() const {
    std::lock_guard lock(m_mutex);
    int count = 0;
    const auto countMapped = [&count](const Handle& handle) {
        count += static_cast<int>(std::count_if(handle.slots.begin(), handle.slots.end(),
                                                [](const Slot& slot) { return slot.mapped; }));
    };
    for (const auto& entry : m_handles) {
        countMapped(*entry.second);
    }
    for (const auto& handle : m_closed) {
        countMapped(*handle);
    }
    return count;
}

bool FakeV4l2Api::streaming(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return std::any_of(m_handles.begin(), m_handles.end(), [&node](const auto& entry) {
        return entry.second->node == node && entry.second->streaming;
    });
}

int FakeV4l2Api::pollCalls() const {
    std::lock_guard lock(m_mutex);
    return m_pollCalls;
}

v4l2_pix_format FakeV4l2Api::requestedFormat(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return m_nodes.at(node).requested;
}

v4l2_fract FakeV4l2Api::requestedFrameInterval(const std::string& node) const {
    std::lock_guard lock(m_mutex);
    return m_nodes.at(node).interval;
}

std::chrono::steady_clock::time_point FakeV4l2Api::lastDequeue() const {
    std::lock_guard lock(m_mutex);
    return m_lastDequeue;
}

int FakeV4l2Api::open(const char* path, int) {
    std::lock_guard lock(m_mutex);
    const auto found = m_nodes.find(path);
    if (found == m_nodes.end()) {
        return failWith(ENOENT);
    }
    if (found->second.unplugged) {
        return failWith(ENODEV);
    }
    if (found->second.device.openInterrupts > 0) {
        --found->second.device.openInterrupts;
        return failWith(EINTR);
    }
    if (found->second.device.openError != 0) {
        return failWith(found->second.device.openError);
    }
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    auto handle = std::make_unique<Handle>();
    handle->node = path;
    handle->fd = fd;
    updateSignal(*handle);
    m_handles.emplace(fd, std::move(handle));
    return fd;
}

int FakeV4l2Api::close(int fd) {
    std::lock_guard lock(m_mutex);
    const auto found = m_handles.find(fd);
    if (found == m_handles.end()) {
        return failWith(EBADF);
    }
    ::close(fd);
    found->second->fd = -1;
    m_closed.push_back(std::move(found->second));
    m_handles.erase(found);
    return 0;
}

int FakeV4l2Api::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(m_mutex);
    const auto found = m_handles.find(fd);
    if (found == m_handles.end()) {
        return failWith(EBADF);
    }
    Handle& handle = *found->second;
    NodeState& node = m_nodes.at(handle.node);
    if (node.unplugged) {
        return failWith(ENODEV);
    }
    const auto scripted = node.device.ioctlErrors.find(request);
    if (scripted != node.device.ioctlErrors.end()) {
        return failWith(scripted->second);
    }
    const int result = answer(handle, node, request, argument);
    updateSignal(handle);
    return result;
}

int FakeV4l2Api::answer(Handle& handle, NodeState& node, unsigned long request, void* argument) {
    Device& device = node.device;
    switch (request) {
        case VIDIOC_QUERYCAP: {
            auto& capability = *static_cast<v4l2_capability*>(argument);
            capability = {};
            copyText(capability.driver, device.driver);
            copyText(capability.card, device.card);
            copyText(capability.bus_info, device.busInfo);
            capability.capabilities = device.capabilities;
            capability.device_caps = device.deviceCaps;
            return 0;
        }
        case VIDIOC_G_FMT: {
            auto& format = *static_cast<v4l2_format*>(argument);
            if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                return failWith(EINVAL);
            }
            format.fmt.pix = device.current;
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto& format = *static_cast<v4l2_format*>(argument);
            if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
                return failWith(EINVAL);
            }
            if (!handle.slots.empty()) {
                return failWith(EBUSY);
            }
            v4l2_pix_format& pix = format.fmt.pix;
            node.requested = pix;
            pix.width = device.grantedWidth != 0 ? device.grantedWidth : pix.width;
            pix.height = device.grantedHeight != 0 ? device.grantedHeight : pix.height;
            pix.pixelformat =
                device.grantedPixelFormat != 0 ? device.grantedPixelFormat : pix.pixelformat;
            pix.bytesperline =
                device.grantedBytesPerLine != 0 ? device.grantedBytesPerLine : pix.width * 2;
            pix.sizeimage = pix.bytesperline * pix.height;
            pix.field = device.grantedField != 0 ? device.grantedField : pix.field;
            device.current = pix;
            return 0;
        }
        case VIDIOC_S_PARM: {
            auto& parm = *static_cast<v4l2_streamparm*>(argument);
            node.interval = parm.parm.capture.timeperframe;
            return 0;
        }
        case VIDIOC_REQBUFS: {
            auto& buffers = *static_cast<v4l2_requestbuffers*>(argument);
            if (buffers.memory != V4L2_MEMORY_MMAP) {
                return failWith(EINVAL);
            }
            if (handle.streaming) {
                return failWith(EBUSY);
            }
            if (buffers.count != 0 && device.grantedBuffers >= 0) {
                buffers.count = static_cast<__u32>(device.grantedBuffers);
            }
            handle.slots.clear();
            handle.queued.clear();
            handle.slots.resize(buffers.count);
            for (Slot& slot : handle.slots) {
                slot.memory.assign(device.current.sizeimage, 0);
            }
            return 0;
        }
        case VIDIOC_QUERYBUF:
        case VIDIOC_QBUF: {
            auto& buffer = *static_cast<v4l2_buffer*>(argument);
            if (buffer.index >= handle.slots.size()) {
                return failWith(EINVAL);
            }
            if (request == VIDIOC_QUERYBUF) {
                buffer.length = static_cast<__u32>(handle.slots[buffer.index].memory.size());
                buffer.m.offset = static_cast<__u32>(buffer.index * kOffsetStep);
                return 0;
            }
            if (std::find(handle.queued.begin(), handle.queued.end(), buffer.index) !=
                handle.queued.end()) {
                return failWith(EINVAL);
            }
            handle.queued.push_back(buffer.index);
            return 0;
        }
        case VIDIOC_DQBUF:
            return dequeue(handle, node, *static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON:
            if (handle.slots.empty()) {
                return failWith(EINVAL);
            }
            handle.streaming = true;
            return 0;
        case VIDIOC_STREAMOFF:
            // Like the kernel: every buffer returns to the application.
            handle.streaming = false;
            handle.queued.clear();
            return 0;
        default:
            return failWith(ENOTTY);
    }
}

int FakeV4l2Api::dequeue(Handle& handle, NodeState& node, v4l2_buffer& buffer) {
    const auto entered = std::chrono::steady_clock::now();
    if (!handle.streaming) {
        return failWith(EINVAL);
    }
    if (node.streamError != 0) {
        return failWith(node.streamError);
    }
    if (!node.frames.empty() && node.frames.front().dequeueError != 0) {
        const int error = node.frames.front().dequeueError;
        node.frames.pop_front();
        return failWith(error);
    }
    if (node.frames.empty() || handle.queued.empty()) {
        return failWith(EAGAIN);
    }
    const Frame frame = node.frames.front();
    node.frames.pop_front();
    const __u32 index = handle.queued.front();
    handle.queued.pop_front();
    std::vector<unsigned char>& memory = handle.slots[index].memory;
    if (frame.fill >= 0) {
        std::memset(memory.data(), frame.fill,
                    std::min<std::size_t>(frame.bytesUsed, memory.size()));
    } else if (frame.fill == Frame::kLineNumbers) {
        const v4l2_pix_format& pix = node.device.current;
        for (__u32 line = 0; line < pix.height; ++line) {
            unsigned char* start = memory.data() + std::size_t{line} * pix.bytesperline;
            std::memset(start, static_cast<int>(line & 0xFF), pix.width * 2);
            std::memset(start + pix.width * 2, Frame::kPaddingByte,
                        pix.bytesperline - pix.width * 2);
        }
    }
    buffer.index = index;
    buffer.sequence = node.sequence + frame.skippedSequences;
    node.sequence = buffer.sequence + 1;
    buffer.bytesused = frame.bytesUsed;
    buffer.flags = frame.flags;
    buffer.length = static_cast<__u32>(memory.size());
    m_lastDequeue = entered;
    return 0;
}

void* FakeV4l2Api::mmap(std::size_t length, int, int, int fd, off_t offset) {
    std::lock_guard lock(m_mutex);
    Slot* slot = slotAt(fd, offset, length);
    if (slot == nullptr) {
        return MAP_FAILED;
    }
    slot->mapped = true;
    return slot->memory.data();
}

FakeV4l2Api::Slot* FakeV4l2Api::slotAt(int fd, off_t offset, std::size_t length) {
    const auto found = m_handles.find(fd);
    if (found == m_handles.end()) {
        errno = EBADF;
        return nullptr;
    }
    if (m_nodes.at(found->second->node).unplugged) {
        errno = ENODEV;
        return nullptr;
    }
    const auto index = static_cast<std::size_t>(offset / kOffsetStep);
    std::vector<Slot>& slots = found->second->slots;
    if (offset % kOffsetStep != 0 || index >= slots.size() || length > slots[index].memory.size()) {
        errno = EINVAL;
        return nullptr;
    }
    return &slots[index];
}

int FakeV4l2Api::munmap(void* address, std::size_t) {
    std::lock_guard lock(m_mutex);
    const auto unmap = [address](Handle& handle) {
        for (Slot& slot : handle.slots) {
            if (slot.mapped && slot.memory.data() == address) {
                slot.mapped = false;
                return true;
            }
        }
        return false;
    };
    for (auto& entry : m_handles) {
        if (unmap(*entry.second)) {
            return 0;
        }
    }
    for (auto& handle : m_closed) {
        if (unmap(*handle)) {
            return 0;
        }
    }
    return failWith(EINVAL);
}

int FakeV4l2Api::poll(pollfd* fds, nfds_t count, int timeoutMs) {
    {
        std::lock_guard lock(m_mutex);
        ++m_pollCalls;
        if (m_pollInterrupts > 0) {
            --m_pollInterrupts;
            return failWith(EINTR);
        }
    }
    // The handles' eventfds stand for the devices, so the system call does the waiting.
    if (::poll(fds, count, timeoutMs) < 0) {
        return -1;
    }
    std::lock_guard lock(m_mutex);
    int ready = 0;
    for (nfds_t i = 0; i < count; ++i) {
        const auto found = m_handles.find(fds[i].fd);
        if (found != m_handles.end()) {
            // Answer from the state now: it may have changed since the eventfd woke us.
            fds[i].revents =
                static_cast<short>(events(*found->second) & (fds[i].events | POLLERR | POLLHUP));
        }
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

short FakeV4l2Api::events(const Handle& handle) const {
    const NodeState& node = m_nodes.at(handle.node);
    if (node.unplugged) {
        return POLLERR | POLLHUP;
    }
    // Like videobuf2: nothing to wait for while not streaming or in an error state.
    if (!handle.streaming || node.streamError != 0) {
        return POLLERR;
    }
    return !node.frames.empty() && !handle.queued.empty() ? POLLIN | POLLRDNORM : 0;
}

void FakeV4l2Api::updateSignal(Handle& handle) {
    const bool wanted = events(handle) != 0;
    if (wanted == handle.signalled) {
        return;
    }
    std::uint64_t value = 1;
    const ssize_t done =
        wanted ? ::write(handle.fd, &value, sizeof value) : ::read(handle.fd, &value, sizeof value);
    handle.signalled = done == sizeof value ? wanted : handle.signalled;
}

void FakeV4l2Api::updateSignals(const std::string& node) {
    for (auto& entry : m_handles) {
        if (entry.second->node == node) {
            updateSignal(*entry.second);
        }
    }
}

}  // namespace CalorviewTest
