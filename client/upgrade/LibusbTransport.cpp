#include "upgrade/LibusbTransport.h"

#include <libusb-1.0/libusb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

constexpr int kBootChunk = 32000;
constexpr int kBootWriteTimeoutMs = 20000;
constexpr int kReenumerationPollMs = 250;

std::string idText(LibusbTransport::UsbId id) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
    return text;
}

std::string whereText(libusb_device* device) {
    char text[48];
    std::snprintf(text, sizeof text, "bus %03u device %03u", libusb_get_bus_number(device),
                  libusb_get_device_address(device));
    return text;
}

bool hasIds(libusb_device* device, LibusbTransport::UsbId id) {
    libusb_device_descriptor descriptor{};
    return libusb_get_device_descriptor(device, &descriptor) == 0 &&
           descriptor.idVendor == id.vendor && descriptor.idProduct == id.product;
}

// libusb takes 0 as "no time-out"; the upgrade never means that.
unsigned int timeoutOf(int timeoutMs) {
    return static_cast<unsigned int>(timeoutMs > 0 ? timeoutMs : 1);
}

}  // namespace

LibusbTransport::LibusbTransport(uint16_t vendorId, uint16_t productId,
                                 std::optional<UsbId> bootLoader)
    : m_camera{vendorId, productId}, m_bootLoader(bootLoader) {}

LibusbTransport::~LibusbTransport() {
    close();
    if (m_context != nullptr) {
        libusb_exit(m_context);
    }
}

bool LibusbTransport::open() {
    close();
    m_reason.clear();
    const std::string notFound =
        "no camera " + idText(m_camera) +
        (m_bootLoader ? " (nor its boot loader " + idText(*m_bootLoader) + ")" : "") + " found";
    if (m_context == nullptr) {
        const int rc = libusb_init(&m_context);
        if (rc != 0) {
            m_context = nullptr;
            m_reason = notFound + ": USB is not accessible (" + libusb_error_name(rc) + ")";
            return false;
        }
    }
    if (openDevice(m_camera)) {
        m_bootMode = false;
    } else if (m_reason.empty() && m_bootLoader && openDevice(*m_bootLoader)) {
        m_bootMode = true;
    } else {
        if (m_reason.empty()) {
            m_reason = notFound;
        }
        return false;
    }
    if (!claimUpgradeInterface()) {
        close();
        return false;
    }
    return true;
}

// True when a device with the ids was opened; false with m_reason empty when there is none.
bool LibusbTransport::openDevice(UsbId id) {
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(m_context, &list);
    for (ssize_t i = 0; i < count && m_handle == nullptr && m_reason.empty(); ++i) {
        if (!hasIds(list[i], id)) {
            continue;
        }
        const int rc = libusb_open(list[i], &m_handle);
        const std::string which = idText(id) + " at " + whereText(list[i]);
        if (rc == LIBUSB_ERROR_ACCESS) {
            m_reason = "no permission to open the camera " + which +
                       " (a udev rule must give this user access)";
        } else if (rc != 0) {
            m_reason = "cannot open the camera " + which + ": " + libusb_error_name(rc);
        }
        if (rc != 0) {
            m_handle = nullptr;
        }
    }
    libusb_free_device_list(list, 1);  // an empty list is allocated too; null (failure) is ignored
    return m_handle != nullptr;
}

// The first interface (alternate setting 0) that is not video and has bulk OUT and bulk IN
// endpoints. Only it is claimed, and only its kernel driver, if any, is detached (libusb's
// auto-detach acts on the interfaces claimed through this handle, so the video interface keeps
// its driver).
bool LibusbTransport::claimUpgradeInterface() {
    libusb_config_descriptor* config = nullptr;
    int rc = libusb_get_active_config_descriptor(libusb_get_device(m_handle), &config);
    if (rc != 0) {
        m_reason = std::string("cannot read the camera's configuration: ") + libusb_error_name(rc);
        return false;
    }
    for (int i = 0; i < config->bNumInterfaces && m_interface < 0; ++i) {
        const libusb_interface& interface = config->interface[i];
        if (interface.num_altsetting < 1) {
            continue;
        }
        const libusb_interface_descriptor& setting = interface.altsetting[0];
        if (setting.bInterfaceClass == LIBUSB_CLASS_VIDEO) {
            continue;
        }
        std::vector<Channel> outs;
        std::vector<Channel> ins;
        for (int e = 0; e < setting.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
            if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) {
                continue;
            }
            const auto packet = static_cast<uint16_t>(endpoint.wMaxPacketSize & 0x7FF);
            if ((endpoint.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN) {
                ins.push_back(Channel{0, endpoint.bEndpointAddress, 0, packet});
            } else {
                outs.push_back(Channel{endpoint.bEndpointAddress, 0, packet, 0});
            }
        }
        for (size_t p = 0; p < outs.size() && p < ins.size(); ++p) {
            m_channels.push_back(
                Channel{outs[p].out, ins[p].in, outs[p].outPacket, ins[p].inPacket});
        }
        if (!m_channels.empty()) {
            m_interface = setting.bInterfaceNumber;
        }
    }
    libusb_free_config_descriptor(config);
    if (m_interface < 0) {
        m_reason = "the camera has no upgrade interface (no bulk OUT/IN endpoints outside video)";
        return false;
    }

    if (libusb_kernel_driver_active(m_handle, m_interface) == 1) {
        libusb_set_auto_detach_kernel_driver(m_handle, 1);
    }
    rc = libusb_claim_interface(m_handle, m_interface);
    if (rc == 0) {
        return true;
    }
    const std::string which = "the camera's upgrade interface " + std::to_string(m_interface);
    // Permission is checked when the node is opened; libusb reports any other refusal of the
    // claim (EACCES included) as LIBUSB_ERROR_OTHER, so only "busy" has a reason of its own.
    if (rc == LIBUSB_ERROR_BUSY) {
        m_reason = which + " is busy: another program holds it";
    } else {
        m_reason = "cannot claim " + which + ": " + libusb_error_name(rc);
    }
    m_interface = -1;
    return false;
}

void LibusbTransport::close() {
    if (m_handle != nullptr) {
        if (m_interface >= 0) {
            // With auto-detach, releasing also gives the kernel driver its interface back.
            libusb_release_interface(m_handle, m_interface);
        }
        libusb_close(m_handle);
    }
    m_handle = nullptr;
    m_interface = -1;
    m_bootMode = false;
    m_channels.clear();
}

std::vector<std::string> LibusbTransport::ListCandidates(uint16_t vendorId, uint16_t productId) {
    std::vector<std::string> lines;
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        return lines;
    }
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            descriptor.idVendor != vendorId || descriptor.idProduct != productId) {
            continue;
        }
        std::string line = whereText(list[i]) + " " + idText({vendorId, productId});
        libusb_device_handle* handle = nullptr;
        if (descriptor.iProduct != 0 && libusb_open(list[i], &handle) == 0) {
            unsigned char product[128];
            const int length = libusb_get_string_descriptor_ascii(handle, descriptor.iProduct,
                                                                  product, sizeof product);
            if (length > 0) {
                line += " " + std::string(reinterpret_cast<char*>(product), length);
            }
            libusb_close(handle);
        }
        lines.push_back(line);
    }
    libusb_free_device_list(list, 1);  // an empty list is allocated too; null (failure) is ignored
    libusb_exit(context);
    return lines;
}

const LibusbTransport::Channel* LibusbTransport::channel(unsigned char number) const {
    if (m_handle == nullptr || m_channels.empty() || (number != 1 && number != 2)) {
        return nullptr;
    }
    return number == 2 && m_channels.size() > 1 ? &m_channels[1] : &m_channels[0];
}

// Notes an unplugged (or restarting) camera in reason(); every failure still fails the call.
void LibusbTransport::noteFailure(int rc) {
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
        m_reason = "the camera went away (unplugged or restarting)";
    }
}

int LibusbTransport::writeData(const unsigned char* buffer, int length, int timeoutMs,
                               unsigned char channelNumber) {
    const Channel* ch = channel(channelNumber);
    if (ch == nullptr || buffer == nullptr || length < 0) {
        return -1;
    }
    int written = 0;
    int rc = libusb_bulk_transfer(m_handle, ch->out, const_cast<unsigned char*>(buffer), length,
                                  &written, timeoutOf(timeoutMs));
    if (rc == 0 && length > 0 && ch->outPacket > 0 && length % ch->outPacket == 0) {
        // A message that fills its last packet is ended by a zero-length packet, so that the
        // camera does not wait for more of it.
        unsigned char none = 0;
        int zero = 0;
        rc = libusb_bulk_transfer(m_handle, ch->out, &none, 0, &zero, timeoutOf(timeoutMs));
    }
    if (rc != 0) {
        noteFailure(rc);
        return -1;
    }
    return written;
}

int LibusbTransport::readData(unsigned char* buffer, int maxLength, int timeoutMs,
                              unsigned char channelNumber) {
    const Channel* ch = channel(channelNumber);
    if (ch == nullptr || buffer == nullptr || maxLength <= 0) {
        return -1;
    }
    int received = 0;
    const int rc =
        libusb_bulk_transfer(m_handle, ch->in, buffer, maxLength, &received, timeoutOf(timeoutMs));
    if (rc != 0) {
        noteFailure(rc);
        return -1;
    }
    return received;
}

uint16_t LibusbTransport::maxPacketSize(int endpoint) {
    if (endpoint != 1 && endpoint != 2) {
        return 0;
    }
    const Channel* ch = channel(static_cast<unsigned char>(endpoint));
    return ch != nullptr ? ch->inPacket : 0;
}

int LibusbTransport::isBootMode() {
    return isOpen() && m_bootMode ? 1 : 0;
}

int LibusbTransport::loadBootProgrammer(const char* pathUtf8) {
    if (!isOpen() || !m_bootMode) {
        m_reason = "the boot programmer goes to the boot loader only, and it is not open";
        return 0;
    }
    const std::string path = pathUtf8 != nullptr ? pathUtf8 : "";
    std::ifstream file(path, std::ios::binary);
    const std::vector<unsigned char> image{std::istreambuf_iterator<char>(file),
                                           std::istreambuf_iterator<char>()};
    if (image.empty()) {
        m_reason = "cannot read the boot programmer \"" + path + "\" (missing or empty)";
        return 0;
    }

    unsigned char sizeMessage[12] = {'f', 'i', 'l', 'e', 's', 'i', 'z', 'e'};
    const auto size = static_cast<uint32_t>(image.size());
    for (int i = 0; i < 4; ++i) {
        sizeMessage[8 + i] = static_cast<unsigned char>(size >> (8 * i));
    }
    bool sent = writeData(sizeMessage, sizeof sizeMessage, kBootWriteTimeoutMs, 1) ==
                static_cast<int>(sizeof sizeMessage);
    for (size_t offset = 0; sent && offset < image.size(); offset += kBootChunk) {
        const int length = static_cast<int>(std::min<size_t>(kBootChunk, image.size() - offset));
        sent = writeData(&image[offset], length, kBootWriteTimeoutMs, 1) == length;
    }
    close();
    if (!sent) {
        m_reason = "sending the boot programmer failed";
        return 0;
    }

    // The boot loader starts the programmer, which comes back with the camera's own ids.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReenumerationMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kReenumerationPollMs));
        m_reason.clear();
        if (openDevice(m_camera)) {
            if (claimUpgradeInterface()) {
                return 1;
            }
            close();
        }
    }
    m_reason = "the camera did not come back within " + std::to_string(kReenumerationMs / 1000) +
               " s after loading the boot programmer" + (m_reason.empty() ? "" : ": " + m_reason);
    return 0;
}
