#include "capture/virtual/VirtualCameraList.h"

#include <cstdlib>
#include <string_view>

#include "capture/virtual/VirtualScenario.h"

namespace Framegate {

namespace {

// The thermal camera's USB ids, so that the client's lookup finds a virtual camera like the
// real one. The list position keeps two entries with the same locator apart.
std::string devicePath(size_t position, const std::string& locator) {
    return "virtual#vid_1d6b&pid_0102#" + std::to_string(position) + "#" + locator;
}

}  // namespace

VirtualCameraList::VirtualCameraList(const char* value) {
    std::string_view rest = value != nullptr ? value : "";
    while (!rest.empty()) {
        const size_t colon = rest.find(':');
        const std::string_view entry = rest.substr(0, colon);
        if (!entry.empty()) {
            m_locators.emplace_back(entry);
        }
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    }
}

VirtualCameraList VirtualCameraList::fromEnvironment() {
    return VirtualCameraList(std::getenv(kEnvironmentVariable));
}

std::vector<CaptureDeviceInfo> VirtualCameraList::present() const {
    std::vector<CaptureDeviceInfo> cameras;
    for (size_t i = 0; i < m_locators.size(); ++i) {
        const std::string& locator = m_locators[i];
        if (VirtualScenario::isPresent(locator)) {
            cameras.push_back(CaptureDeviceInfo{CaptureDeviceInfo::Kind::kVirtual, locator,
                                                devicePath(i, locator),
                                                VirtualScenario::forLocator(locator).name()});
        }
    }
    return cameras;
}

}  // namespace Framegate
