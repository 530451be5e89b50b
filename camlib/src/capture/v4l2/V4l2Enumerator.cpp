#include "capture/v4l2/V4l2Enumerator.h"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>

#include "infra/Logger.h"

namespace Framegate {

namespace {

namespace fs = std::filesystem;

// "video12" gives 12; any other name in the class folder gives -1.
int nodeNumber(std::string_view name) {
    constexpr std::string_view kPrefix = "video";
    if (name.size() <= kPrefix.size() || !name.starts_with(kPrefix)) {
        return -1;
    }
    const char* const last = name.data() + name.size();
    int number = -1;
    const auto [end, error] = std::from_chars(name.data() + kPrefix.size(), last, number);
    return error == std::errc() && end == last ? number : -1;
}

// A sysfs USB id file holds four hex digits and a newline.
bool readUsbId(const fs::path& file, unsigned& value) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text)) {
        return false;
    }
    const char* const last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data(), last, value, 16);
    return error == std::errc() && end == last && value <= 0xffff;
}

// The fixed-size text fields of v4l2_capability need not end with a NUL.
template <std::size_t N>
std::string capabilityText(const __u8 (&field)[N]) {
    const auto* text = reinterpret_cast<const char*>(field);
    return std::string(text, strnlen(text, N));
}

// 0 with the answer in `capability`, or the errno of the failed open or request.
int queryCapabilities(V4l2Api& api, const std::string& locator, v4l2_capability& capability) {
    int fd = -1;
    do {
        fd = api.open(locator.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        INFRA_DEBUG("V4l2Enumerator: %s cannot be opened: %s\n", locator.c_str(),
                    std::strerror(error));
        return error;
    }
    const int error = api.ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0 ? 0 : errno;
    if (error != 0) {
        INFRA_DEBUG("V4l2Enumerator: VIDIOC_QUERYCAP on %s failed: %s\n", locator.c_str(),
                    std::strerror(error));
    }
    api.close(fd);
    return error;
}

// The first line of a sysfs attribute file, or "" when it cannot be read.
std::string readAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

V4l2Enumerator::V4l2Enumerator(V4l2Api& api, std::string sysfsRoot, std::string devRoot)
    : m_api(api), m_sysfsRoot(std::move(sysfsRoot)), m_devRoot(std::move(devRoot)) {}

std::vector<CaptureDeviceInfo> V4l2Enumerator::devices() const {
    std::vector<std::pair<int, std::string>> nodes;
    std::error_code error;
    fs::directory_iterator entry(fs::path(m_sysfsRoot) / "class/video4linux", error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        std::string name = entry->path().filename().string();
        const int number = nodeNumber(name);
        if (number >= 0) {
            nodes.emplace_back(number, std::move(name));
        }
    }
    // Directory order is arbitrary; the camera index must not change between two listings.
    std::sort(nodes.begin(), nodes.end());

    std::vector<CaptureDeviceInfo> devices;
    for (const auto& node : nodes) {
        const std::string& name = node.second;
        const std::string locator = m_devRoot + "/" + name;
        v4l2_capability capability{};
        CaptureDeviceInfo info;
        info.kind = CaptureDeviceInfo::Kind::kV4l2;
        info.locator = locator;
        const int error = queryCapabilities(m_api, locator, capability);
        const fs::path attributes = fs::path(m_sysfsRoot) / "class/video4linux" / name;
        if (error == EACCES || error == EPERM) {
            // Listed all the same, from sysfs, so that the open can say the user lacks the
            // permission instead of the camera seeming absent. A device's first node (index 0)
            // is its video node; the others are metadata.
            const std::string index = readAttribute(attributes / "index");
            if (!index.empty() && index != "0") {
                continue;
            }
            info.friendlyName = readAttribute(attributes / "name");
            info.devicePath = devicePath(name, locator, "no-permission");
        } else if (error != 0 || !isVideoCapture(capability)) {
            continue;
        } else {
            const std::string busInfo = capabilityText(capability.bus_info);
            info.friendlyName = capabilityText(capability.card);
            info.devicePath = devicePath(
                name, locator, busInfo.empty() ? capabilityText(capability.driver) : busInfo);
        }
        devices.push_back(std::move(info));
    }
    return devices;
}

bool V4l2Enumerator::isVideoCapture(const v4l2_capability& capability) {
    // A UVC camera also has a metadata node; it shares the driver's capabilities but not the
    // node's own, which is why device_caps wins whenever the driver fills it.
    const __u32 nodeCaps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                               ? capability.device_caps
                               : capability.capabilities;
    return (nodeCaps & V4L2_CAP_VIDEO_CAPTURE) != 0;
}

std::string V4l2Enumerator::devicePath(const std::string& nodeName, const std::string& locator,
                                       const std::string& busOrDriver) const {
    std::error_code error;
    const fs::path root = fs::canonical(m_sysfsRoot, error);
    fs::path folder =
        fs::canonical(fs::path(m_sysfsRoot) / "class/video4linux" / nodeName / "device", error);
    // The node's parent is the USB interface; its nearest ancestor with ids is the device
    // itself (further up sit hubs and the root hub, whose ids would be wrong).
    while (!error) {
        const fs::path inside = folder.lexically_relative(root);
        if (inside.empty() || inside == "." || *inside.begin() == "..") {
            break;
        }
        unsigned vendor = 0;
        unsigned product = 0;
        if (readUsbId(folder / "idVendor", vendor) && readUsbId(folder / "idProduct", product)) {
            char ids[24];
            std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", vendor, product);
            return "usb#" + std::string(ids) + "#" + folder.filename().string() + "#" + locator;
        }
        folder = folder.parent_path();
    }
    return "v4l2#" + busOrDriver + "#" + locator;
}

}  // namespace Framegate
