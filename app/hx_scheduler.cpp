#include "hx_scheduler.h"

#include <algorithm>
#include <utility>

namespace hx {

namespace {

constexpr std::chrono::milliseconds kPassPause{20};

}  // namespace

Timer::Timer(const std::chrono::seconds& period, SteadyClockFunction now)
    : mNow(std::move(now)), mLastTime(mNow()), mPeriod(period.count()) {}

bool Timer::isTime() {
    const SteadyTime now = mNow();
    const auto elapsedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now - mLastTime).count();
    mLastTime = now;
    mElapsedUs += elapsedNs / 1000;
    if (mElapsedUs > mPeriod * 1'000'000) {
        mElapsedUs = 0;
        return true;
    }
    return false;
}

void Timer::reset() { mLastTime = mNow(); }

Scheduler::Scheduler(SteadyClockFunction now) : mNow(std::move(now)) {}

Scheduler::~Scheduler() {
    stop();
    clearTasks();
}

void Scheduler::start() {
    if (mRunning.exchange(true)) return;
    mThread = std::thread(&Scheduler::mainLoop, this);
}

void Scheduler::stop() {
    {
        std::lock_guard<std::mutex> lock(mWakeMutex);
        if (!mRunning.exchange(false)) return;
    }
    mWake.notify_all();
    if (mThread.joinable()) mThread.join();
}

void Scheduler::schedule(const SteadyTime& at, Task&& task) {
    std::lock_guard<std::mutex> lock(mMutex);
    mTasks.push_back(Plan{at, std::move(task)});
    std::push_heap(mTasks.begin(), mTasks.end(), PriorityByTime{});
}

void Scheduler::scheduleEvery(const std::chrono::milliseconds& interval, const Task& task) {
    const SteadyTime now = mNow();
    schedule(now + interval, [this, interval, task]() {
        task();
        scheduleEvery(interval, task);
    });
}

void Scheduler::clearTasks() {
    std::vector<Plan> dropped;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        dropped.swap(mTasks);
    }
    // The tasks are destroyed here, outside the lock, in case one holds something whose
    // destruction schedules again.
}

std::size_t Scheduler::pendingCount() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mTasks.size();
}

std::size_t Scheduler::runDuePlans(const SteadyTime& now) {
    std::size_t ran = 0;
    for (;;) {
        Plan due;
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mTasks.empty() || !(mTasks.front().dueTime < now)) return ran;
            // Taken off the heap before it runs, so whatever the task schedules or clears
            // cannot disturb the plan under way.
            std::pop_heap(mTasks.begin(), mTasks.end(), PriorityByTime{});
            due = std::move(mTasks.back());
            mTasks.pop_back();
        }
        due.task();
        ++ran;
    }
}

void Scheduler::mainLoop() {
    while (mRunning.load()) {
        runDuePlans(mNow());
        std::unique_lock<std::mutex> lock(mWakeMutex);
        mWake.wait_for(lock, kPassPause, [this] { return !mRunning.load(); });
    }
}

}  // namespace hx
