// The V4L2 video capture devices of the system, found through sysfs and asked through the seam.
// Any thread; each call to devices() looks afresh.
#pragma once

#include <string>
#include <vector>

#include "capture/CaptureDeviceInfo.h"
#include "capture/v4l2/V4l2Api.h"

struct v4l2_capability;

namespace Framegate {

class V4l2Enumerator {
public:
    // `api` must outlive the enumerator; the roots are replaced by tests with a fake tree.
    explicit V4l2Enumerator(V4l2Api& api = V4l2Api::system(), std::string sysfsRoot = "/sys",
                            std::string devRoot = "/dev");

    // Video capture nodes in the order of their node numbers (video2 before video10); metadata,
    // output and unreadable nodes are left out. A node the user may not open is listed from
    // sysfs (name, USB ids) unless sysfs marks it as a device's second node.
    std::vector<CaptureDeviceInfo> devices() const;

    // Whether VIDIOC_QUERYCAP's answer describes a node that captures video.
    static bool isVideoCapture(const v4l2_capability& capability);

private:
    // "usb#vid_xxxx&pid_xxxx#<usb device folder>#<node>" when the node sits on a USB device,
    // otherwise "v4l2#<bus info or driver>#<node>".
    std::string devicePath(const std::string& nodeName, const std::string& locator,
                           const std::string& busOrDriver) const;

    V4l2Api& m_api;
    std::string m_sysfsRoot;
    std::string m_devRoot;
};

}  // namespace Framegate
