#pragma once
// Two small time facilities.
//
// hx::Timer is an elapsed-time gate: asked on every data point whether its period is
// over, it answers true once the time gathered since the period last ended exceeds the
// period, and then starts again from zero (the excess is dropped, not carried over).
//
// hx::Scheduler runs timed tasks on a thread of its own, checking every 20 ms for tasks
// whose due time has passed.
//
// Both read the steady clock through an injectable function, so tests can drive time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hx {

using SteadyTime = std::chrono::steady_clock::time_point;
using SteadyClockFunction = std::function<SteadyTime()>;

class Timer {
public:
    explicit Timer(const std::chrono::seconds& period, SteadyClockFunction now = std::chrono::steady_clock::now);

    // Adds the time since the last call (or reset); true, and the sum back to zero, when
    // the sum is strictly greater than the period. Sub-microsecond parts are dropped.
    bool isTime();
    // Restarts the time taking from now: the time since the last call does not count, the
    // sum gathered so far remains.
    void reset();

    std::chrono::seconds period() const { return std::chrono::seconds(mPeriod); }

private:
    SteadyClockFunction mNow;
    std::int64_t mElapsedUs = 0;
    SteadyTime mLastTime;
    std::int64_t mPeriod;  // seconds
};

class Scheduler {
public:
    using Task = std::function<void()>;

    struct Plan {
        SteadyTime dueTime;
        Task task;
    };
    // Heap order: the plan due earliest is at the front.
    struct PriorityByTime {
        bool operator()(const Plan& a, const Plan& b) const { return a.dueTime > b.dueTime; }
    };

    explicit Scheduler(SteadyClockFunction now = std::chrono::steady_clock::now);
    // Stops and joins a running thread, then drops the pending plans without running them.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    void start();  // no effect when already running
    void stop();   // waits for the pass under way; no effect when stopped

    // These may be called from any thread, inside a task included. A task must hold a
    // callable and must not throw: nothing on the scheduler thread catches.
    void schedule(const SteadyTime& at, Task&& task);
    // Runs task every interval (non-negative): each run is due one interval after the
    // previous run returned.
    void scheduleEvery(const std::chrono::milliseconds& interval, const Task& task);
    void clearTasks();  // drops every pending plan without running it

    // One pass of the scheduler thread: runs, in due order, every plan due strictly before
    // now, plans added by those tasks included. Returns how many ran. Public so that
    // tests can drive passes without the thread.
    std::size_t runDuePlans(const SteadyTime& now);

    std::size_t pendingCount() const;

private:
    void mainLoop();

    SteadyClockFunction mNow;
    std::vector<Plan> mTasks;  // a binary heap ordered by PriorityByTime
    std::atomic<bool> mRunning{false};
    std::thread mThread;
    mutable std::mutex mMutex;  // guards mTasks; never held while a task runs
    std::mutex mWakeMutex;
    std::condition_variable mWake;  // cuts the pause between passes short on stop
};

}  // namespace hx
