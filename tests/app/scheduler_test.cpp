// hx::Timer and hx::Scheduler, driven by a hand-set steady clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "hx_scheduler.h"

using namespace std::chrono_literals;

namespace {

// A steady clock that moves only when told; safe to read from the scheduler thread.
class ManualClock {
public:
    hx::SteadyClockFunction function() {
        return [this] { return hx::SteadyTime(std::chrono::nanoseconds(mNs.load())); };
    }
    hx::SteadyTime now() const { return hx::SteadyTime(std::chrono::nanoseconds(mNs.load())); }
    void advance(std::chrono::nanoseconds step) { mNs += step.count(); }

private:
    std::atomic<std::int64_t> mNs{std::chrono::nanoseconds(1000h).count()};
};

// Counts how many of its copies are alive, to see plans being destroyed.
struct LifeCounter {
    std::shared_ptr<int> token = std::make_shared<int>(0);
    long alive() const { return token.use_count() - 1; }
};

}  // namespace

TEST(Timer, FiresOnlyWhenTheSumExceedsThePeriodStrictly) {
    ManualClock clock;
    hx::Timer timer(1s, clock.function());
    EXPECT_EQ(timer.period(), 1s);
    for (int round = 0; round < 2; ++round) {
        for (int call = 1; call <= 10; ++call) {
            clock.advance(100ms);
            EXPECT_FALSE(timer.isTime()) << "round " << round << " call " << call;
        }
        clock.advance(100ms);
        EXPECT_TRUE(timer.isTime()) << "round " << round;
    }
}

TEST(Timer, ExactBoundaryOfALongPeriod) {
    ManualClock clock;
    hx::Timer timer(30s, clock.function());
    clock.advance(30'000'000us);
    EXPECT_FALSE(timer.isTime());
    clock.advance(1us);
    EXPECT_TRUE(timer.isTime());
}

TEST(Timer, TheExcessIsDroppedNotCarried) {
    ManualClock clock;
    hx::Timer timer(1s, clock.function());
    clock.advance(1500ms);
    EXPECT_TRUE(timer.isTime());
    clock.advance(600ms);  // would fire if the 500 ms excess were carried over
    EXPECT_FALSE(timer.isTime());
    clock.advance(401ms);
    EXPECT_TRUE(timer.isTime());
}

TEST(Timer, SubMicrosecondIntervalsAddNothing) {
    ManualClock clock;
    hx::Timer timer(0s, clock.function());
    EXPECT_FALSE(timer.isTime());  // nothing elapsed yet
    for (int i = 0; i < 100; ++i) {
        clock.advance(999ns);
        EXPECT_FALSE(timer.isTime());
    }
    clock.advance(1us);
    EXPECT_TRUE(timer.isTime());
}

TEST(Timer, ResetSkipsTheGapButKeepsTheSum) {
    ManualClock clock;
    hx::Timer timer(1s, clock.function());
    clock.advance(600ms);
    EXPECT_FALSE(timer.isTime());
    clock.advance(10s);  // processing stopped: this gap must not count
    timer.reset();
    clock.advance(300ms);
    EXPECT_FALSE(timer.isTime());  // 900 ms
    clock.advance(100ms);
    EXPECT_FALSE(timer.isTime());  // exactly 1 s
    clock.advance(1us);
    EXPECT_TRUE(timer.isTime());
}

TEST(Scheduler, RunsPlansDueStrictlyBeforeThePassInDueOrder) {
    ManualClock clock;
    hx::Scheduler scheduler(clock.function());
    const hx::SteadyTime now = clock.now();
    std::vector<int> ran;
    scheduler.schedule(now - 1ms, [&] { ran.push_back(2); });
    scheduler.schedule(now, [&] { ran.push_back(3); });  // exactly at the pass: next pass
    scheduler.schedule(now - 5ms, [&] { ran.push_back(1); });
    scheduler.schedule(now + 1s, [&] { ran.push_back(4); });

    EXPECT_EQ(scheduler.runDuePlans(now), 2u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(scheduler.runDuePlans(now + 1ns), 1u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(scheduler.pendingCount(), 1u);
}

TEST(Scheduler, PlansAddedByATaskRunInTheSamePassWhenDue) {
    ManualClock clock;
    hx::Scheduler scheduler(clock.function());
    const hx::SteadyTime now = clock.now();
    std::vector<int> ran;
    scheduler.schedule(now - 2ms, [&] {
        ran.push_back(1);
        scheduler.schedule(now - 1ms, [&] { ran.push_back(2); });
        // Due before the plan that is running: safe because that plan is already off the heap.
        scheduler.schedule(now - 10ms, [&] { ran.push_back(3); });
        scheduler.schedule(now + 1ms, [&] { ran.push_back(4); });
    });
    EXPECT_EQ(scheduler.runDuePlans(now), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(scheduler.pendingCount(), 1u);
}

TEST(Scheduler, ATaskMayClearThePlansWithoutHarmingItself) {
    ManualClock clock;
    hx::Scheduler scheduler(clock.function());
    const hx::SteadyTime now = clock.now();
    int later = 0;
    bool stillWhole = false;
    auto payload = std::make_shared<int>(42);
    scheduler.schedule(now - 1ms, [&, payload] {
        scheduler.clearTasks();
        stillWhole = (*payload == 42);  // the running task's own state survives the clear
        scheduler.schedule(now - 1ms, [&] { ++later; });
    });
    scheduler.schedule(now - 1ms + 1ns, [&] { later += 100; });
    EXPECT_EQ(scheduler.runDuePlans(now), 2u);
    EXPECT_TRUE(stillWhole);
    EXPECT_EQ(later, 1);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST(Scheduler, ScheduleEveryRepeatsOneIntervalAfterEachRunReturned) {
    ManualClock clock;
    hx::Scheduler scheduler(clock.function());
    const hx::SteadyTime start = clock.now();
    int runs = 0;
    scheduler.scheduleEvery(1000ms, [&] {
        ++runs;
        clock.advance(50ms);  // the task's own run time delays the next run
    });
    EXPECT_EQ(scheduler.runDuePlans(start + 1000ms), 0u);
    clock.advance(1001ms);
    EXPECT_EQ(scheduler.runDuePlans(clock.now()), 1u);  // returns at start + 1051 ms
    EXPECT_EQ(scheduler.runDuePlans(start + 2051ms), 0u);
    EXPECT_EQ(scheduler.runDuePlans(start + 2051ms + 1ns), 1u);
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(scheduler.pendingCount(), 1u);
}

TEST(Scheduler, ClearTasksDropsPlansWithoutRunningThem) {
    ManualClock clock;
    hx::Scheduler scheduler(clock.function());
    LifeCounter counter;
    bool ran = false;
    for (int i = 0; i < 3; ++i) scheduler.schedule(clock.now() - 1ms, [&, t = counter.token] { ran = true; });
    EXPECT_EQ(counter.alive(), 3);
    scheduler.clearTasks();
    EXPECT_EQ(counter.alive(), 0);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
    EXPECT_EQ(scheduler.runDuePlans(clock.now()), 0u);
    EXPECT_FALSE(ran);
}

TEST(SchedulerThreads, RunsDuePlansOnItsThreadAndSurvivesStopAndStart) {
    hx::Scheduler scheduler;
    std::promise<std::thread::id> first;
    scheduler.schedule(std::chrono::steady_clock::now() - 1ms, [&] { first.set_value(std::this_thread::get_id()); });
    scheduler.start();
    scheduler.start();  // no second thread
    auto ranOn = first.get_future();
    ASSERT_EQ(ranOn.wait_for(10s), std::future_status::ready);
    EXPECT_NE(ranOn.get(), std::this_thread::get_id());
    scheduler.stop();
    scheduler.stop();

    // Pending plans survive a stop and run after the next start.
    std::promise<void> second;
    scheduler.schedule(std::chrono::steady_clock::now() - 1ms, [&] { second.set_value(); });
    scheduler.start();
    EXPECT_EQ(second.get_future().wait_for(10s), std::future_status::ready);
}

TEST(SchedulerThreads, PlansMayBeAddedFromAnotherThreadWhileRunning) {
    hx::Scheduler scheduler;
    scheduler.start();
    std::atomic<int> ran{0};
    std::promise<void> all;
    constexpr int kPlans = 50;
    std::thread adder([&] {
        for (int i = 0; i < kPlans; ++i) {
            scheduler.schedule(std::chrono::steady_clock::now(), [&] {
                if (++ran == kPlans) all.set_value();
            });
        }
    });
    adder.join();
    EXPECT_EQ(all.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(ran.load(), kPlans);
}

TEST(SchedulerThreads, DestroyingARunningSchedulerJoinsAndDropsThePlans) {
    LifeCounter counter;
    std::atomic<bool> ran{false};
    std::promise<void> running;
    {
        hx::Scheduler scheduler;
        scheduler.schedule(std::chrono::steady_clock::now() - 1ms, [&] { running.set_value(); });
        scheduler.schedule(std::chrono::steady_clock::now() + 1h, [&, t = counter.token] { ran = true; });
        scheduler.start();
        ASSERT_EQ(running.get_future().wait_for(10s), std::future_status::ready);
        EXPECT_EQ(counter.alive(), 1);
    }
    EXPECT_EQ(counter.alive(), 0);
    EXPECT_FALSE(ran.load());
}
