#include "infra/DebugOutput.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "infra/OutputDeferral.h"

namespace Velmora::Infra {

void debugOutput(const char* text) {
    if (text == nullptr || std::getenv("FRAMEGATE_DEBUG_OUTPUT") == nullptr) {
        return;
    }
    if (OutputDeferral::active()) {
        OutputDeferral::post([copy = std::string(text)] { std::fputs(copy.c_str(), stderr); });
        return;
    }
    std::fputs(text, stderr);
}

}  // namespace Velmora::Infra
