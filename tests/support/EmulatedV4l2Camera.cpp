#include "support/EmulatedV4l2Camera.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <utility>

#include "capture/virtual/VirtualScenario.h"
#include "capture/virtual/VirtualScene.h"
#include "framegate/FrameMetadata.h"
#include "support/Umockdev.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxBuffers = 8;
constexpr size_t kPage = 4096;
constexpr const char* kThermalDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
constexpr const char* kWebcamDevice = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";

// One video4linux node of a USB device's first interface, in umockdev's record format: the node
// first, then its parents (the interface, the device). The "N:" line creates /dev/<name>.
std::string NodeRecord(const std::string& device, const std::string& name, int minor, int index,
                       const std::string& label) {
    const std::string folder = device.substr(std::strlen("/sys"));
    const std::string port = folder.substr(folder.rfind('/') + 1);
    return "P: " + folder + "/" + port + ":1.0/video4linux/" + name + "\nN: " + name +
           "=00\nE: DEVNAME=/dev/" + name +
           "\nE: SUBSYSTEM=video4linux\nE: MAJOR=81\nE: MINOR=" + std::to_string(minor) +
           "\nA: dev=81:" + std::to_string(minor) + "\\n\nA: index=" + std::to_string(index) +
           "\\n\nA: name=" + label + "\\n\nL: device=../../../" + port + ":1.0\n\n";
}

std::string DeviceRecord(const std::string& device, const char* vendor, const char* product,
                         const std::string& label) {
    const std::string folder = device.substr(std::strlen("/sys"));
    const std::string port = folder.substr(folder.rfind('/') + 1);
    return "P: " + folder + "/" + port +
           ":1.0\nE: DEVTYPE=usb_interface\nE: SUBSYSTEM=usb\nA: bInterfaceClass=0e\\n\n"
           "A: bInterfaceNumber=00\\n\n\nP: " +
           folder + "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: idVendor=" + vendor +
           "\\n\nA: idProduct=" + product + "\\n\nA: product=" + label + "\\n\n";
}

void CopyText(__u8* field, size_t size, const std::string& text) {
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), std::min(size - 1, text.size()));
}

}  // namespace

struct EmulatedV4l2Camera::Node {
    EmulatedV4l2Camera* camera = nullptr;
    std::string name;  // "video0"
    std::string device;
    std::string card;
    std::string busInfo;
    bool metadata = false;
    bool thermal = false;
    bool present = false;
    UMockdevIoctlBase* handler = nullptr;

    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
    uint32_t bufferCount = 0;
    size_t bufferBytes = 0;
    size_t bufferStride = 0;  // from one buffer's start to the next's
    int file = -1;            // the node's file, written by the worker
    std::deque<uint32_t> queued;
    bool streaming = false;
    Clock::time_point start;
    uint64_t frame = 0;     // the next frame's number from STREAMON on
    uint32_t sequence = 0;  // the driver's count: frames sent or lost, not those never made
    std::unique_ptr<Framegate::VirtualScene> scene;
    std::vector<uint8_t> picture;

    UMockdevIoctlClient* owner = nullptr;    // the client whose buffers are set up (referenced)
    UMockdevIoctlClient* waiting = nullptr;  // a DQBUF held until its frame is due (referenced)
    Clock::time_point waitingSince;
    GSource* timer = nullptr;
};

std::string EmulatedV4l2Camera::Unavailable() {
    return CalorviewTest::umockdevUnavailable("the camera path through V4L2 and udev");
}

EmulatedV4l2Camera::EmulatedV4l2Camera(Setup setup) : m_setup(std::move(setup)) {
    m_testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    m_root = root;
    g_free(root);
    m_scenario = std::make_unique<Framegate::VirtualScenario>(
        Framegate::VirtualScenario::forLocator(m_setup.scenario));
    const Framegate::VirtualScenario& scenario = *m_scenario;
    const struct {
        const char* name;
        const char* device;
        const char* card;
        const char* busInfo;
        bool metadata;
        bool thermal;
    } kinds[] = {{"video0", kThermalDevice, "Thermal Camera", "usb-0000:00:14.0-1", false, true},
                 {"video1", kThermalDevice, "Thermal Camera", "usb-0000:00:14.0-1", true, true},
                 {"video2", kWebcamDevice, "USB Webcam", "usb-0000:00:14.0-2", false, false}};
    for (const auto& kind : kinds) {
        auto node = std::make_unique<Node>();
        node->camera = this;
        node->name = kind.name;
        node->device = kind.device;
        node->card = kind.card;
        node->busInfo = kind.busInfo;
        node->metadata = kind.metadata;
        node->thermal = kind.thermal;
        node->width = static_cast<uint32_t>(scenario.width());
        node->height = static_cast<uint32_t>(scenario.height());
        node->handler = umockdev_ioctl_base_new();
        g_signal_connect(node->handler, "handle-ioctl", G_CALLBACK(&EmulatedV4l2Camera::OnIoctl),
                         node.get());
        umockdev_testbed_attach_ioctl(m_testbed, ("/dev/" + node->name).c_str(), node->handler,
                                      nullptr);
        m_nodes.push_back(std::move(node));
    }
    if (m_setup.webcam) {
        const std::string record = NodeRecord(kWebcamDevice, "video2", 2, 0, "USB Webcam") +
                                   DeviceRecord(kWebcamDevice, "046d", "0825", "USB Webcam");
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(m_testbed, record.c_str(), &error)) {
            std::fprintf(stderr, "the emulated webcam cannot be added: %s\n", error->message);
            g_error_free(error);
        }
        m_nodes[2]->present = true;
    }
    if (m_setup.plugged) {
        plug();
    }
}

EmulatedV4l2Camera::~EmulatedV4l2Camera() {
    // No timer may run past this point; a held DQBUF is answered as an unplugged camera's.
    std::vector<GSource*> timers;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& node : m_nodes) {
            node->present = false;
            if (node->timer != nullptr) {
                timers.push_back(std::exchange(node->timer, nullptr));
            }
            if (node->waiting != nullptr) {
                umockdev_ioctl_client_complete(node->waiting, -1, ENODEV);
                g_object_unref(std::exchange(node->waiting, nullptr));
            }
            if (node->owner != nullptr) {
                g_object_unref(std::exchange(node->owner, nullptr));
            }
        }
    }
    for (GSource* timer : timers) {
        g_source_destroy(timer);
        g_source_unref(timer);
    }
    for (const auto& node : m_nodes) {
        umockdev_testbed_detach_ioctl(m_testbed, ("/dev/" + node->name).c_str(), nullptr);
    }
    g_object_unref(m_testbed);
    for (const auto& node : m_nodes) {
        g_object_unref(node->handler);
        if (node->file >= 0) {
            close(node->file);
        }
    }
}

void EmulatedV4l2Camera::plug() {
    const std::string record = NodeRecord(kThermalDevice, "video0", 0, 0, "Thermal Camera") +
                               NodeRecord(kThermalDevice, "video1", 1, 1, "Thermal Camera") +
                               DeviceRecord(kThermalDevice, "1d6b", "0102", "Thermal Camera");
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, record.c_str(), &error)) {
        std::fprintf(stderr, "the emulated camera cannot be added: %s\n", error->message);
        g_error_free(error);
        return;
    }
    {
        // A device plugged in again is a new device: nothing of its earlier life is left.
        std::lock_guard lock(m_mutex);
        for (int i : {0, 1}) {
            Node& node = *m_nodes[static_cast<size_t>(i)];
            node.present = true;
            if (node.owner != nullptr) {
                g_object_unref(std::exchange(node.owner, nullptr));
            }
            node.bufferCount = 0;
            node.queued.clear();
            node.streaming = false;
            node.width = static_cast<uint32_t>(m_scenario->width());
            node.height = static_cast<uint32_t>(m_scenario->height());
            node.pixelFormat = V4L2_PIX_FMT_YUYV;
        }
    }
    // Parents first, as the kernel announces them.
    const std::string device = kThermalDevice;
    for (const std::string& path :
         {device, device + "/1-1:1.0", device + "/1-1:1.0/video4linux/video0",
          device + "/1-1:1.0/video4linux/video1"}) {
        umockdev_testbed_uevent(m_testbed, path.c_str(), "add");
    }
}

void EmulatedV4l2Camera::unplug() {
    {
        std::lock_guard lock(m_mutex);
        m_nodes[0]->present = false;
        m_nodes[1]->present = false;
    }
    const std::string device = kThermalDevice;
    for (const std::string& path :
         {device + "/1-1:1.0/video4linux/video1", device + "/1-1:1.0/video4linux/video0",
          device + "/1-1:1.0", device}) {
        umockdev_testbed_uevent(m_testbed, path.c_str(), "remove");
        // One by one: removing the device alone would leave its nodes' class links behind.
        umockdev_testbed_remove_device(m_testbed, path.c_str());
    }
}

void EmulatedV4l2Camera::pause(bool paused) {
    std::lock_guard lock(m_mutex);
    m_paused = paused;
}

uint64_t EmulatedV4l2Camera::framesDelivered() const {
    std::lock_guard lock(m_mutex);
    return m_delivered;
}

bool EmulatedV4l2Camera::setNodeMode(unsigned mode) {
    // umockdev's preload connects to a node's ioctl socket even when the open is refused, and
    // ends the process when it cannot: the sockets stay open to all, the nodes keep the mode.
    for (const char* socket : {"/ioctl/dev/video0", "/ioctl/dev/video1", "/ioctl/dev/video2"}) {
        if (chmod((m_root + socket).c_str(), 0666) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return chmod(m_root.c_str(), 0755) == 0 &&
           chmod((m_root + "/dev/video0").c_str(), static_cast<mode_t>(mode)) == 0;
}

// Worker thread.
int EmulatedV4l2Camera::OnIoctl(void*, UMockdevIoctlClient* client, void* node) {
    auto* n = static_cast<Node*>(node);
    n->camera->handle(*n, client);
    return TRUE;
}

// Worker thread.
int EmulatedV4l2Camera::OnFrameDue(void* node) {
    auto* n = static_cast<Node*>(node);
    std::lock_guard lock(n->camera->m_mutex);
    if (n->timer != nullptr) {
        g_source_unref(std::exchange(n->timer, nullptr));
        if (n->waiting != nullptr) {
            n->camera->serve(*n);
        }
    }
    return G_SOURCE_REMOVE;
}

void EmulatedV4l2Camera::handle(Node& node, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    std::lock_guard lock(m_mutex);
    if (!node.present) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    // umockdev tells no close: a buffer owner whose connection is gone closed the node, and its
    // buffers go with it, as a driver frees them.
    if (node.owner != nullptr && node.owner != client &&
        !umockdev_ioctl_client_get_connected(node.owner)) {
        g_object_unref(std::exchange(node.owner, nullptr));
        node.bufferCount = 0;
        node.queued.clear();
        node.streaming = false;
    }
    int error = 0;
    if (request == VIDIOC_QUERYCAP) {
        UMockdevIoctlData* data = CalorviewTest::resolveArgument(client, sizeof(v4l2_capability));
        auto& caps = *reinterpret_cast<v4l2_capability*>(data->data);
        caps = {};
        CopyText(caps.driver, sizeof caps.driver, "uvcvideo");
        CopyText(caps.card, sizeof caps.card, node.card);
        CopyText(caps.bus_info, sizeof caps.bus_info, node.busInfo);
        caps.version = 0x060100;
        caps.device_caps = (node.metadata ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) |
                           V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
        caps.capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING |
                            V4L2_CAP_EXT_PIX_FORMAT | V4L2_CAP_DEVICE_CAPS;
        g_object_unref(data);
    } else if (node.metadata) {
        error = EINVAL;  // the metadata node takes no video request
    } else if (request == VIDIOC_G_FMT || request == VIDIOC_S_FMT) {
        UMockdevIoctlData* data = CalorviewTest::resolveArgument(client, sizeof(v4l2_format));
        auto& format = *reinterpret_cast<v4l2_format*>(data->data);
        if (format.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            error = EINVAL;
        } else if (request == VIDIOC_S_FMT && node.owner != nullptr) {
            error = EBUSY;
        } else {
            if (request == VIDIOC_S_FMT) {
                node.width = m_setup.grantedWidth > 0 ? static_cast<uint32_t>(m_setup.grantedWidth)
                                                      : format.fmt.pix.width;
                node.height = m_setup.grantedHeight > 0
                                  ? static_cast<uint32_t>(m_setup.grantedHeight)
                                  : format.fmt.pix.height;
                node.pixelFormat = m_setup.grantedFormat;
            }
            v4l2_pix_format& pix = format.fmt.pix;
            pix = {};
            pix.width = node.width;
            pix.height = node.height;
            pix.pixelformat = node.pixelFormat;
            pix.field = V4L2_FIELD_NONE;
            pix.bytesperline = node.width * 2;
            pix.sizeimage = node.width * node.height * 2;
            pix.colorspace = V4L2_COLORSPACE_SRGB;
        }
        g_object_unref(data);
    } else if (request == VIDIOC_S_PARM) {
        UMockdevIoctlData* data = CalorviewTest::resolveArgument(client, sizeof(v4l2_streamparm));
        auto& parm = *reinterpret_cast<v4l2_streamparm*>(data->data);
        parm.parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        parm.parm.capture.timeperframe = {1, 25};
        g_object_unref(data);
    } else if (request == VIDIOC_REQBUFS) {
        UMockdevIoctlData* data =
            CalorviewTest::resolveArgument(client, sizeof(v4l2_requestbuffers));
        auto& request = *reinterpret_cast<v4l2_requestbuffers*>(data->data);
        if (request.memory != V4L2_MEMORY_MMAP || request.type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
            error = EINVAL;
        } else if (node.streaming || (node.owner != nullptr && node.owner != client)) {
            error = EBUSY;
        } else {
            request.count = std::min(request.count, kMaxBuffers);
            // The buffers belong to the client that asked for them, until it closes the node.
            if (node.owner == nullptr && request.count > 0) {
                node.owner = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
            } else if (node.owner != nullptr && request.count == 0) {
                g_object_unref(std::exchange(node.owner, nullptr));
            }
            node.bufferCount = request.count;
            node.bufferBytes = size_t{node.width} * node.height * 2;
            // Buffers start on page boundaries, as a driver's do: mmap needs that.
            node.bufferStride = (node.bufferBytes + kPage - 1) / kPage * kPage;
            node.queued.clear();
            // The node of this plug-in (a new file after each plug), as long as its buffers.
            if (node.file >= 0) {
                close(node.file);
            }
            node.file = open((m_root + "/dev/" + node.name).c_str(), O_RDWR | O_CLOEXEC);
            if (node.file < 0 ||
                ftruncate(node.file, static_cast<off_t>(node.bufferStride * request.count)) != 0) {
                error = EIO;
            }
        }
        g_object_unref(data);
    } else if (request == VIDIOC_QUERYBUF || request == VIDIOC_QBUF) {
        UMockdevIoctlData* data = CalorviewTest::resolveArgument(client, sizeof(v4l2_buffer));
        auto& buffer = *reinterpret_cast<v4l2_buffer*>(data->data);
        if (buffer.index >= node.bufferCount || buffer.memory != V4L2_MEMORY_MMAP) {
            error = EINVAL;
        } else if (request == VIDIOC_QUERYBUF) {
            buffer.length = static_cast<__u32>(node.bufferBytes);
            buffer.m.offset = static_cast<__u32>(buffer.index * node.bufferStride);
            buffer.flags = V4L2_BUF_FLAG_MAPPED;
        } else {
            node.queued.push_back(buffer.index);
            buffer.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_QUEUED;
        }
        g_object_unref(data);
    } else if (request == VIDIOC_DQBUF) {
        dequeue(node, client);
        return;
    } else if (request == VIDIOC_STREAMON) {
        node.streaming = true;
        node.start = Clock::now();
        node.frame = 0;
        node.sequence = 0;
        node.scene = std::make_unique<Framegate::VirtualScene>(static_cast<int>(node.width),
                                                               static_cast<int>(node.height));
        node.picture.assign(node.bufferBytes, 0);
    } else if (request == VIDIOC_STREAMOFF) {
        node.streaming = false;
        node.queued.clear();
    } else {
        error = ENOTTY;
    }
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
}

// m_mutex held.
void EmulatedV4l2Camera::dequeue(Node& node, UMockdevIoctlClient* client) {
    if (!node.streaming || node.waiting != nullptr) {
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    node.waiting = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    node.waitingSince = Clock::now();
    serve(node);
}

void EmulatedV4l2Camera::serve(Node& node) {
    const auto answer = [&node](int result, int error) {
        umockdev_ioctl_client_complete(node.waiting, result, error);
        g_object_unref(std::exchange(node.waiting, nullptr));
    };
    if (!node.present) {
        answer(-1, ENODEV);
        return;
    }
    if (!node.streaming || node.queued.empty()) {
        answer(-1, EAGAIN);
        return;
    }
    const Framegate::VirtualScenario& scenario = *m_scenario;
    const auto period = std::chrono::duration<double>(1.0 / scenario.fps());
    const Clock::time_point now = Clock::now();
    const Clock::time_point due = node.start + std::chrono::duration_cast<Clock::duration>(
                                                   period * static_cast<double>(node.frame));
    const Clock::time_point holdEnd =
        node.waitingSince + std::chrono::duration_cast<Clock::duration>(period);
    const auto wait = [&node](Clock::time_point until) {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
        node.timer = g_timeout_source_new(static_cast<guint>(std::max<int64_t>(1, ms.count())));
        g_source_set_callback(node.timer, &EmulatedV4l2Camera::OnFrameDue, &node, nullptr);
        g_source_attach(node.timer, g_main_context_get_thread_default());
    };
    if (now < due) {
        // Nothing to send within a period is EAGAIN, as a non-blocking driver answers.
        if (due <= holdEnd) {
            wait(due);
        } else if (now < holdEnd) {
            wait(holdEnd);
        } else {
            answer(-1, EAGAIN);
        }
        return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(due - node.start);
    const Framegate::VirtualScenario::FrameState state =
        scenario.stateAt(elapsed, std::time(nullptr));
    const uint64_t frame = node.frame++;
    if (state.stall || m_paused) {
        serve(node);
        return;
    }
    const FrameFault fault = m_setup.fault ? m_setup.fault(frame) : FrameFault::kNone;
    // A frame failed or lost was numbered by the driver all the same.
    const uint32_t sequence = node.sequence++;
    if (fault == FrameFault::kIoError) {
        answer(-1, EIO);
        return;
    }
    if (fault == FrameFault::kLost) {
        serve(node);
        return;
    }
    const uint32_t index = node.queued.front();
    node.queued.pop_front();
    node.scene->render(elapsed, node.picture.data());
    Framegate::writeBigEndian(node.picture.data(), state.captureTime);
    Framegate::writeLittleEndian(node.picture.data() + node.picture.size() - 4, state.flags);
    const auto offset = static_cast<off_t>(index * node.bufferStride);
    if (pwrite(node.file, node.picture.data(), node.picture.size(), offset) !=
        static_cast<ssize_t>(node.picture.size())) {
        std::fprintf(stderr, "the emulated camera cannot write its frame: %s\n",
                     std::strerror(errno));
    }
    UMockdevIoctlData* data = CalorviewTest::resolveArgument(node.waiting, sizeof(v4l2_buffer));
    auto& buffer = *reinterpret_cast<v4l2_buffer*>(data->data);
    buffer.index = index;
    buffer.bytesused =
        static_cast<__u32>(fault == FrameFault::kShort ? node.bufferBytes / 2 : node.bufferBytes);
    buffer.flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_DONE | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    buffer.field = V4L2_FIELD_NONE;
    buffer.sequence = sequence;
    const auto sinceBoot = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    buffer.timestamp.tv_sec = static_cast<time_t>(sinceBoot.count() / 1000000);
    buffer.timestamp.tv_usec = static_cast<suseconds_t>(sinceBoot.count() % 1000000);
    buffer.length = static_cast<__u32>(node.bufferBytes);
    buffer.m.offset = static_cast<__u32>(offset);
    g_object_unref(data);
    if (node.thermal) {
        ++m_delivered;
    }
    answer(0, 0);
}
