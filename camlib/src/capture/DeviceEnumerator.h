// The system's video input devices, in the order the camera index counts them: V4L2 capture
// devices first, then the virtual cameras present now. Any thread; each call looks afresh.
#pragma once

#include <memory>
#include <vector>

#include "capture/CaptureDeviceInfo.h"
#include "capture/CaptureStream.h"

namespace Framegate {

class DeviceEnumerator {
public:
    static std::vector<CaptureDeviceInfo> enumerate();
    // A closed stream for the device, of its back-end.
    static std::unique_ptr<CaptureStream> openStream(const CaptureDeviceInfo& device);
};

}  // namespace Framegate
