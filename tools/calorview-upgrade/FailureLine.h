// The one line calorview-upgrade ends a failed run with: what went wrong, in the words of
// whoever knows best. The transport knows when the camera went away or never came back from its
// boot loader, and then the protocol only logs the consequence; otherwise the protocol's last
// log line that says something (not a hex dump, not a line that merely passes a failure on).
#pragma once

#include <string>

// `failed`: the last status report was a failure (else the run just did not complete).
// `transportReason`: the transport's reason, "" when it has none. `protocolLog`: what the
// protocol printed, "" when it was not kept.
std::string FailureLine(bool failed, const std::string& transportReason,
                        const std::string& protocolLog);
