// A tick clock that a test moves by hand (TickClock::Install it), so that timed rules run
// without waiting. Any thread may read or move it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/TickClock.h"

namespace CalorviewTest {

class ManualTickClock : public TickClock {
public:
    explicit ManualTickClock(uint32_t start) : now(start) {}
    uint32_t ticks() const override { return now.load(); }

    std::atomic<uint32_t> now;
};

}  // namespace CalorviewTest
