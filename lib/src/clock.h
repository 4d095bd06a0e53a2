#pragma once
// The library's one seam for "now". Production code asks these functions instead of the
// standard clocks, so a test can drive time by hand. Both clocks move together under a
// fake: advancing it by 100 ms moves the steady and the system time by 100 ms.

#include <chrono>

namespace lm::clock {

using SteadyTime = std::chrono::steady_clock::time_point;
using SystemTime = std::chrono::system_clock::time_point;

SteadyTime steadyNow();
SystemTime systemNow();

// For tests only: a hand-driven clock that replaces the real ones while it lives.
// Not thread-safe against concurrent advance(); tests advance it from one thread.
class FakeClock {
public:
    // Starts at the given system time (and an arbitrary steady origin).
    explicit FakeClock(SystemTime start = SystemTime(std::chrono::hours(24 * 365 * 50)));
    ~FakeClock();
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;

    void advance(std::chrono::nanoseconds step);
    void setSystemTime(SystemTime time);  // steps only the system clock (as an NTP jump would)

    SteadyTime steady() const;
    SystemTime system() const;

private:
    std::chrono::nanoseconds mSteady;
    std::chrono::nanoseconds mSystem;
};

}  // namespace lm::clock
