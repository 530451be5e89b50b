#include "capture/CaptureErrorText.h"

#include <cerrno>
#include <cstring>

namespace Framegate {

std::string captureErrorText(int error, const std::string& locator) {
    switch (error) {
        case EBUSY:
            return "the camera is busy: another program is using " + locator;
        case ENOSPC:
            // What uvcvideo answers when the bus cannot reserve the stream's isochronous share.
            return "not enough USB bandwidth for " + locator +
                   ": too many cameras on one USB bus or hub";
        case EACCES:
        case EPERM:
            return "no permission to open " + locator +
                   ": the user must be in the device's group (usually video)";
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return locator + " is gone: the camera was unplugged";
        default:
            return locator + ": " + std::strerror(error);
    }
}

}  // namespace Framegate
