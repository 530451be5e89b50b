// Why a camera could not be opened or started, in words a user can act on.
#pragma once

#include <string>

namespace Framegate {

// `error` is the errno behind the failure, `locator` the device ("/dev/video0"). Busy, missing
// USB bandwidth and missing permission get their own sentences; anything else reads as the
// system's message.
std::string captureErrorText(int error, const std::string& locator);

}  // namespace Framegate
