// The virtual cameras FRAMEGATE_VIRTUAL_CAMERA asks for: a ":"-separated list of scenario file
// paths, or the word "demo". The enumeration lists them after the V4L2 devices.
//
// Immutable once made; present() touches the file system and may run on any thread.
#pragma once

#include <string>
#include <vector>

#include "capture/CaptureDeviceInfo.h"

namespace Framegate {

class VirtualCameraList {
public:
    static constexpr const char* kEnvironmentVariable = "FRAMEGATE_VIRTUAL_CAMERA";

    // From the variable's value; null or empty means no virtual camera. Empty list entries
    // ("a::b") are skipped.
    explicit VirtualCameraList(const char* value);
    // From the variable as the process has it now.
    static VirtualCameraList fromEnvironment();

    // Every configured locator ("demo" or a path), in list order, plugged in or not.
    const std::vector<std::string>& locators() const { return m_locators; }
    // The cameras plugged in now, in list order: the demo always, a file-backed camera while
    // its scenario file exists. Reads each present scenario for its name.
    std::vector<CaptureDeviceInfo> present() const;

private:
    std::vector<std::string> m_locators;
};

}  // namespace Framegate
