// Waiting in tests for something another thread does, without fixed sleeps.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace CalorviewTest {

// Polls `condition` every millisecond until it holds (true) or `limit` passed (false).
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace CalorviewTest
