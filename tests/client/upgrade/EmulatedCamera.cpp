#include "EmulatedCamera.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "support/Umockdev.h"

namespace {

using CalorviewTest::resolveArgument;
using Clock = std::chrono::steady_clock;

constexpr size_t kPacket = 512;  // wMaxPacketSize of every bulk endpoint (high speed)
constexpr int kReturnMs = 200;   // from the boot programmer to the camera's enumeration
// libusb polls a pending URB without pause here (the node is a plain file, always ready), so
// an idle reap sleeps a little to keep the test's CPU time small.
constexpr unsigned kIdleReapUs = 2000;

// Device descriptor and whole configuration, as "descriptors" in sysfs holds them: hex pairs,
// upper case (umockdev 0.17 takes no lower-case hex in a node's contents).
constexpr const char* kCameraDescriptors =
    "12 01 00 02 00 00 00 40 6B 1D 02 01 00 01 00 02 00 01 "  // 1d6b:0102, iProduct 2
    "09 02 45 00 02 01 00 80 32 "                             // 69 bytes, 2 interfaces
    "09 04 00 00 02 0E 02 00 00 07 05 83 02 00 02 00 07 05 03 02 00 02 00 "  // video
    "09 04 01 00 04 FF 00 00 00 07 05 01 02 00 02 00 07 05 81 02 00 02 00 "  // upgrade
    "07 05 02 02 00 02 00 07 05 82 02 00 02 00";
constexpr const char* kBootLoaderDescriptors =
    "12 01 00 02 00 00 00 40 6B 1D 03 01 00 01 00 02 00 01 "
    "09 02 20 00 01 01 00 80 32 "
    "09 04 00 00 02 FF 00 00 00 07 05 01 02 00 02 00 07 05 81 02 00 02 00";

// The device as umockdev's record format describes it: the "N:" line creates the node.
std::string Description(const char* devnum, const char* product, std::string descriptors) {
    std::erase(descriptors, ' ');
    const std::string node = std::string("bus/usb/001/") + devnum;
    return "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\nN: " + node + "=" + descriptors +
           "\nE: DEVNAME=/dev/" + node +
           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nE: BUSNUM=001\nE: DEVNUM=" + devnum +
           "\nA: idVendor=1d6b\\n\nA: idProduct=" + product +
           "\\n\nA: busnum=1\\n\nA: devnum=" + std::to_string(std::stoi(devnum)) +
           "\\n\nA: speed=480\\n\nA: bConfigurationValue=1\\n\nH: descriptors=" + descriptors +
           "\n";
}

// A string descriptor: its length, type 3, then UTF-16LE (here ASCII) characters.
std::vector<uint8_t> StringDescriptor(const std::string& text) {
    std::vector<uint8_t> bytes{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (const char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The argument's own value (DISCARDURB passes the URB's address itself).
unsigned long ArgValue(UMockdevIoctlClient* client) {
    unsigned long value = 0;
    std::memcpy(&value, umockdev_ioctl_client_get_arg(client)->data, sizeof value);
    return value;
}

}  // namespace

// One URB a client submitted: its structure and buffer, resolved into this process.
struct EmulatedCamera::Urb {
    UMockdevIoctlClient* client = nullptr;  // referenced while the URB lives
    UMockdevIoctlData* data = nullptr;      // the usbdevfs_urb, referenced
    unsigned long address = 0;              // where it lies in the client
    EmulatedCamera::Device* device = nullptr;
    bool done = false;

    usbdevfs_urb& urb() const { return *reinterpret_cast<usbdevfs_urb*>(data->data); }
    void finish(int status, int length) {
        urb().status = status;
        urb().actual_length = length;
        done = true;
    }
};

struct EmulatedCamera::Device {
    std::string node;     // "/dev/bus/usb/001/007"
    std::string syspath;  // "/sys/devices/..."
    std::string description;
    std::string product;  // iProduct's text
    bool bootLoader = false;
    bool present = false;
    UMockdevIoctlBase* handler = nullptr;
    EmulatedCamera* camera = nullptr;
    std::array<std::vector<uint8_t>, 3> partial;  // per channel: a message not yet ended
    struct Pending {
        std::vector<uint8_t> bytes;
        Clock::time_point readyAt;
        size_t firstReadLimit = 0;
    };
    std::array<std::deque<Pending>, 3> replies;  // per channel
    std::optional<uint32_t> programmerSize;      // boot loader: declared by "filesize"
    size_t programmerBytes = 0;
};

std::string EmulatedCamera::Unavailable() {
    return CalorviewTest::umockdevUnavailable("the upgrade through libusb");
}

EmulatedCamera::EmulatedCamera(Setup setup) : m_setup(std::move(setup)), m_model(m_setup.camera) {
    for (const CameraModel::Fault& fault : m_setup.faults) {
        m_model.misbehave(fault);
    }
    m_testbed = umockdev_testbed_new();
    const struct {
        const char* devnum;
        const char* product;
        const char* descriptors;
        const char* name;
        bool bootLoader;
    } kinds[] = {{"007", "0102", kCameraDescriptors, "Thermal Camera", false},
                 {"006", "0103", kBootLoaderDescriptors, "Thermal Camera Boot Loader", true}};
    for (const auto& kind : kinds) {
        auto device = std::make_unique<Device>();
        device->node = std::string("/dev/bus/usb/001/") + kind.devnum;
        device->syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
        device->description = Description(kind.devnum, kind.product, kind.descriptors);
        device->product = kind.name;
        device->bootLoader = kind.bootLoader;
        device->camera = this;
        device->handler = umockdev_ioctl_base_new();
        g_signal_connect(device->handler, "handle-ioctl", G_CALLBACK(&EmulatedCamera::OnIoctl),
                         device.get());
        umockdev_testbed_attach_ioctl(m_testbed, device->node.c_str(), device->handler, nullptr);
        if (kind.bootLoader == m_model.inBootMode()) {
            plug(*device);
        }
        m_devices.push_back(std::move(device));
    }
}

EmulatedCamera::~EmulatedCamera() {
    // No handler and no timer may run past this point: both live on the worker thread.
    GSource* pending = nullptr;
    {
        std::lock_guard lock(m_mutex);
        pending = std::exchange(m_return, nullptr);
    }
    if (pending != nullptr) {
        g_source_destroy(pending);
        g_source_unref(pending);
    }
    for (const auto& device : m_devices) {
        umockdev_testbed_detach_ioctl(m_testbed, device->node.c_str(), nullptr);
    }
    g_object_unref(m_testbed);
    for (const auto& device : m_devices) {
        g_object_unref(device->handler);
    }
    for (Urb& urb : m_urbs) {
        g_object_unref(urb.data);
        g_object_unref(urb.client);
    }
}

CameraModel EmulatedCamera::model() const {
    std::lock_guard lock(m_mutex);
    return m_model;
}

size_t EmulatedCamera::strayBytes() const {
    std::lock_guard lock(m_mutex);
    return m_strayBytes;
}

// Worker thread, m_mutex not held (adding a device sends a uevent).
void EmulatedCamera::plug(Device& device) {
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, device.description.c_str(), &error)) {
        std::fprintf(stderr, "the emulated %s cannot be added: %s\n", device.product.c_str(),
                     error->message);
        g_error_free(error);
        return;
    }
    umockdev_testbed_uevent(m_testbed, device.syspath.c_str(), "add");
    std::lock_guard lock(m_mutex);
    device.present = true;
}

// Worker thread, m_mutex held: every URB of the device fails as the kernel fails them, and the
// device leaves sysfs with a "remove" event.
void EmulatedCamera::unplug(Device& device) {
    device.present = false;
    for (Urb& urb : m_urbs) {
        if (urb.device == &device && !urb.done) {
            urb.finish(-ENODEV, 0);
        }
    }
    umockdev_testbed_uevent(m_testbed, device.syspath.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, device.syspath.c_str());
}

gboolean EmulatedCamera::OnCameraReturns(gpointer self) {
    auto* camera = static_cast<EmulatedCamera*>(self);
    camera->plug(*camera->m_devices[0]);
    return G_SOURCE_REMOVE;
}

// Worker thread.
gboolean EmulatedCamera::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer device) {
    auto* d = static_cast<Device*>(device);
    d->camera->handle(*d, client);
    return TRUE;
}

void EmulatedCamera::handle(Device& device, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_REAPURBNDELAY) {
        reap(device, client);
        return;
    }
    std::lock_guard lock(m_mutex);
    if (!device.present) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    if (request == USBDEVFS_GET_CAPABILITIES) {
        UMockdevIoctlData* caps = resolveArgument(client, sizeof(uint32_t));
        uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION;
        if (!m_setup.splitHost) {
            value |= USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        }
        std::memcpy(caps->data, &value, sizeof value);
        g_object_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_GETDRIVER) {
        umockdev_ioctl_client_complete(client, -1, ENODATA);  // no kernel driver on any
    } else if (request == USBDEVFS_CLAIMINTERFACE) {
        UMockdevIoctlData* number = resolveArgument(client, sizeof(unsigned int));
        const bool upgrade = !device.bootLoader && *reinterpret_cast<unsigned*>(number->data) == 1;
        g_object_unref(number);
        const int error = upgrade ? m_setup.claimErrno : 0;
        umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
    } else if (request == USBDEVFS_RELEASEINTERFACE) {
        umockdev_ioctl_client_complete(client, 0, 0);
    } else if (request == USBDEVFS_SUBMITURB) {
        submit(device, client);
    } else if (request == USBDEVFS_DISCARDURB) {
        discard(client);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
    }
}

// m_mutex held.
void EmulatedCamera::submit(Device& device, UMockdevIoctlClient* client) {
    Urb& urb = m_urbs.emplace_back();
    urb.address = ArgValue(client);
    urb.data = resolveArgument(client, sizeof(usbdevfs_urb));
    urb.client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    urb.device = &device;
    const int length = urb.urb().buffer_length;
    UMockdevIoctlData* buffer =
        length > 0 ? umockdev_ioctl_data_resolve(urb.data, offsetof(usbdevfs_urb, buffer),
                                                 static_cast<size_t>(length), nullptr)
                   : nullptr;
    if (buffer != nullptr) {
        g_object_unref(buffer);  // the URB's data keeps it
    }
    const auto* bytes = static_cast<const uint8_t*>(urb.urb().buffer);
    const unsigned endpoint = urb.urb().endpoint;
    if (endpoint == 0) {
        // Control: only the string descriptors that libusb reads for the product name.
        const bool string = length >= 8 && bytes[0] == 0x80 && bytes[1] == 6 && bytes[3] == 3;
        std::vector<uint8_t> reply;
        if (string) {
            reply = bytes[2] == 0 ? std::vector<uint8_t>{4, 3, 0x09, 0x04}
                                  : StringDescriptor(device.product);
        }
        const size_t room = length > 8 ? static_cast<size_t>(length) - 8 : 0;
        reply.resize(std::min(reply.size(), room));
        std::memcpy(static_cast<uint8_t*>(urb.urb().buffer) + 8, reply.data(), reply.size());
        urb.finish(string ? 0 : -EPIPE, static_cast<int>(reply.size()));
    } else if ((endpoint & 0x80) == 0) {
        const int channel = endpoint == 1 || endpoint == 2 ? static_cast<int>(endpoint) : 0;
        if (channel == 0 || (device.bootLoader && channel != 1)) {
            m_strayBytes += static_cast<size_t>(length);
            urb.finish(-EPIPE, 0);
        } else {
            std::vector<uint8_t>& message = device.partial[channel];
            message.insert(message.end(), bytes, bytes + length);
            urb.finish(0, length);
            // A packet shorter than a whole one, or a zero-length packet, ends the message.
            if (length == 0 || static_cast<size_t>(length) % kPacket != 0) {
                takeMessage(device, channel, std::exchange(message, {}), urb);
            }
        }
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

// m_mutex held. `last` is the URB that ended the message: a message that does not arrive fails
// it as a stalled endpoint would.
void EmulatedCamera::takeMessage(Device& device, int channel, std::vector<uint8_t> message,
                                 Urb& last) {
    if (message.empty()) {
        return;
    }
    const bool isSize = message.size() == 12 && std::memcmp(message.data(), "filesize", 8) == 0;
    const std::optional<CameraModel::Reply> reply =
        m_model.receive(static_cast<unsigned char>(channel), 0, message);
    if (!reply) {
        last.finish(-EPIPE, 0);
        return;
    }
    if (reply->unplug) {
        unplug(device);
        return;
    }
    if (device.bootLoader) {
        // The boot programmer: the size message, then that many bytes; then the boot loader
        // restarts, into the camera unless the model keeps it in boot mode.
        if (isSize) {
            device.programmerSize = Le32(&message[8]);
            device.programmerBytes = 0;
        } else {
            device.programmerBytes += message.size();
        }
        if (device.programmerSize && device.programmerBytes >= *device.programmerSize &&
            m_model.loadBootProgrammer(std::to_string(device.programmerBytes) + " bytes")) {
            unplug(device);
            if (!m_model.inBootMode()) {
                m_return = g_timeout_source_new(kReturnMs);
                g_source_set_callback(m_return, &EmulatedCamera::OnCameraReturns, this, nullptr);
                g_source_attach(m_return, g_main_context_get_thread_default());
            }
        }
        return;
    }
    if (reply->bytes) {
        device.replies[channel].push_back(
            Device::Pending{*reply->bytes, Clock::now() + std::chrono::milliseconds(reply->delayMs),
                            reply->firstReadLimit});
    }
}

// m_mutex held: pending IN URBs take the replies that are due, in submit order. A reply longer
// than the URB leaves its rest for the next one.
void EmulatedCamera::fillReads(Device& device) {
    for (Urb& urb : m_urbs) {
        const unsigned endpoint = urb.urb().endpoint;
        if (urb.done || urb.device != &device || (endpoint & 0x80) == 0) {
            continue;
        }
        const int channel = (endpoint & 0x7F) == 1 || (endpoint & 0x7F) == 2
                                ? static_cast<int>(endpoint & 0x7F)
                                : 0;
        std::deque<Device::Pending>& queue = device.replies[channel];
        if (channel == 0 || queue.empty() || queue.front().readyAt > Clock::now()) {
            continue;
        }
        Device::Pending& reply = queue.front();
        size_t n = std::min(reply.bytes.size(), static_cast<size_t>(urb.urb().buffer_length));
        if (reply.firstReadLimit > 0) {
            n = std::min(n, reply.firstReadLimit);
            reply.firstReadLimit = 0;
        }
        std::memcpy(urb.urb().buffer, reply.bytes.data(), n);
        reply.bytes.erase(reply.bytes.begin(), reply.bytes.begin() + static_cast<long>(n));
        if (reply.bytes.empty()) {
            queue.pop_front();
        }
        urb.finish(0, static_cast<int>(n));
    }
}

// Hands back the client's first finished URB; EAGAIN when there is none yet.
void EmulatedCamera::reap(Device& device, UMockdevIoctlClient* client) {
    std::unique_lock lock(m_mutex);
    fillReads(device);
    for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
        if (it->client != client || !it->done) {
            continue;
        }
        UMockdevIoctlData* slot = resolveArgument(client, sizeof(void*));
        umockdev_ioctl_data_set_ptr(slot, 0, it->data);
        g_object_unref(slot);
        g_object_unref(it->data);
        g_object_unref(it->client);
        m_urbs.erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    const int error = device.present ? EAGAIN : ENODEV;
    lock.unlock();
    g_usleep(kIdleReapUs);
    umockdev_ioctl_client_complete(client, -1, error);
}

// m_mutex held: a discarded URB is reaped with -ENOENT, as libusb expects of a time-out.
void EmulatedCamera::discard(UMockdevIoctlClient* client) {
    const unsigned long address = ArgValue(client);
    for (Urb& urb : m_urbs) {
        if (urb.client == client && urb.address == address && !urb.done) {
            urb.finish(-ENOENT, 0);
            umockdev_ioctl_client_complete(client, 0, 0);
            return;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}
