#pragma once
// Polls a condition that another thread or process makes true.

#include <chrono>
#include <functional>
#include <thread>

namespace lmtest {

// Whether `condition` held before `timeout` ran out.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace lmtest
