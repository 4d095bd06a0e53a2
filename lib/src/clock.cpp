#include "clock.h"

#include <atomic>

namespace lm::clock {

namespace {

std::atomic<const FakeClock*> activeFake{nullptr};

}  // namespace

SteadyTime steadyNow() {
    const FakeClock* fake = activeFake.load(std::memory_order_acquire);
    return fake ? fake->steady() : std::chrono::steady_clock::now();
}

SystemTime systemNow() {
    const FakeClock* fake = activeFake.load(std::memory_order_acquire);
    return fake ? fake->system() : std::chrono::system_clock::now();
}

FakeClock::FakeClock(SystemTime start) : mSteady(std::chrono::hours(1000)), mSystem(start.time_since_epoch()) {
    activeFake.store(this, std::memory_order_release);
}

FakeClock::~FakeClock() { activeFake.store(nullptr, std::memory_order_release); }

void FakeClock::advance(std::chrono::nanoseconds step) {
    mSteady += step;
    mSystem += step;
}

void FakeClock::setSystemTime(SystemTime time) { mSystem = time.time_since_epoch(); }

SteadyTime FakeClock::steady() const { return SteadyTime(mSteady); }

SystemTime FakeClock::system() const { return SystemTime(mSystem); }

}  // namespace lm::clock
