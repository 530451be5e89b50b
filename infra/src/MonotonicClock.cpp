#include "infra/MonotonicClock.h"

#include <atomic>
#include <ctime>

namespace Velmora::Infra {

namespace {

uint64_t rawNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// Taken on first use, which the initialiser below moves to load time; a function-local static
// keeps it valid for callers from other translation units' static initialisers too.
uint64_t startNanoseconds() {
    static const uint64_t start = rawNanoseconds();
    return start;
}

[[maybe_unused]] const uint64_t kStartAtLoad = startNanoseconds();

std::atomic<uint64_t> g_lastMilliSecond{0};

}  // namespace

uint64_t getCurrentMilliSecond() {
    const uint64_t now = (rawNanoseconds() - startNanoseconds()) / 1000000u;
    // A reading below the latest one returned is lifted to it, so no caller ever sees the clock
    // go back.
    uint64_t last = g_lastMilliSecond.load(std::memory_order_relaxed);
    while (now > last) {
        if (g_lastMilliSecond.compare_exchange_weak(last, now, std::memory_order_relaxed)) {
            return now;
        }
    }
    return last;
}

uint64_t getCurrentMicroSecond() {
    return (rawNanoseconds() - startNanoseconds()) / 1000u;
}

}  // namespace Velmora::Infra
