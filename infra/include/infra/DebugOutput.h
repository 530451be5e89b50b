// The debugger output stream: short progress texts for a developer watching the process.
// Goes to stderr, and only when the environment variable FRAMEGATE_DEBUG_OUTPUT is set.
// Any thread; each text is written whole.
#pragma once

namespace Velmora::Infra {

void debugOutput(const char* text);

}  // namespace Velmora::Infra
