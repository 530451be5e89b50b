#include "capture/DeviceEnumerator.h"

#include "capture/v4l2/V4l2Capture.h"
#include "capture/v4l2/V4l2Enumerator.h"
#include "capture/virtual/VirtualCameraList.h"
#include "capture/virtual/VirtualCapture.h"

namespace Framegate {

std::vector<CaptureDeviceInfo> DeviceEnumerator::enumerate() {
    std::vector<CaptureDeviceInfo> devices = V4l2Enumerator().devices();
    for (CaptureDeviceInfo& camera : VirtualCameraList::fromEnvironment().present()) {
        devices.push_back(std::move(camera));
    }
    return devices;
}

std::unique_ptr<CaptureStream> DeviceEnumerator::openStream(const CaptureDeviceInfo& device) {
    if (device.kind == CaptureDeviceInfo::Kind::kVirtual) {
        return std::make_unique<VirtualCapture>(device.locator);
    }
    return std::make_unique<V4l2Capture>(device.locator);
}

}  // namespace Framegate
