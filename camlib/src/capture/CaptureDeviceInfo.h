// One entry of the video input enumeration: V4L2 capture devices first, then virtual cameras.
#pragma once

#include <string>

namespace Framegate {

struct CaptureDeviceInfo {
    enum class Kind { kV4l2, kVirtual };

    Kind kind = Kind::kV4l2;
    // Where the back-end opens it: the device node ("/dev/video0") or the virtual camera's
    // scenario ("demo" or a scenario file path).
    std::string locator;
    // Identifies the device; a USB camera's holds "vid_xxxx&pid_xxxx" in lower-case hex.
    std::string devicePath;
    // The name shown to users; empty when it cannot be read.
    std::string friendlyName;
};

}  // namespace Framegate
