// The millisecond tick of the whole client: a monotonic clock truncated to 32 bits, so that tick
// differences are taken in unsigned 32-bit arithmetic and stay right across the wrap (49.7 days).
// Tests install a clock of their own instead of waiting.
#pragma once

#include <cstdint>

class TickClock {
public:
    virtual ~TickClock() = default;

    // Milliseconds since some fixed point, modulo 2^32. Any thread.
    virtual uint32_t ticks() const = 0;

    // The installed clock's ticks (the system's monotonic clock unless a test installed one).
    // Any thread.
    static uint32_t Now();
    // Installs `clock` (not owned; it must outlive its use) or, with null, the system clock
    // again. The pointer is atomic, so a clock may be swapped while other threads read ticks.
    static void Install(const TickClock* clock);
};
