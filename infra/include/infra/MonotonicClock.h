// The library's monotonic clock (CLOCK_MONOTONIC), counted from the moment the library was
// loaded. Any thread.
#pragma once

#include <cstdint>

namespace Velmora::Infra {

// Milliseconds since load. Never lower than a value returned before, on any thread.
uint64_t getCurrentMilliSecond();

// Microseconds since load, for measuring durations.
uint64_t getCurrentMicroSecond();

}  // namespace Velmora::Infra
