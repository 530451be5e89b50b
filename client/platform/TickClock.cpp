#include "platform/TickClock.h"

#include <time.h>

#include <atomic>

namespace {

class MonotonicTickClock final : public TickClock {
public:
    uint32_t ticks() const override {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000u;
        return static_cast<uint32_t>(ms);
    }
};

const MonotonicTickClock g_monotonic;
std::atomic<const TickClock*> g_installed{&g_monotonic};

}  // namespace

uint32_t TickClock::Now() {
    return g_installed.load(std::memory_order_acquire)->ticks();
}

void TickClock::Install(const TickClock* clock) {
    g_installed.store(clock != nullptr ? clock : &g_monotonic, std::memory_order_release);
}
