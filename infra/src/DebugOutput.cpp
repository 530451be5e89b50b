#include "infra/DebugOutput.h"

#include <cstdio>
#include <cstdlib>

namespace Velmora::Infra {

void debugOutput(const char* text) {
    if (text == nullptr || std::getenv("FRAMEGATE_DEBUG_OUTPUT") == nullptr) {
        return;
    }
    std::fputs(text, stderr);
}

}  // namespace Velmora::Infra
