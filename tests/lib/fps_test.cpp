#include <chrono>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "clock.h"
#include "lumora/lm_help.h"

namespace {

using namespace std::chrono_literals;

TEST(Fps, ReportsTheRateOfTheLastIntervalInWholeMilliseconds) {
    struct Case {
        std::chrono::nanoseconds step;
        float expected;
    };
    const Case cases[] = {
        {40ms, 25.0f},           {1000ms, 1.0f},
        {33ms, 1000.0f / 33.0f}, {40ms + 999us, 25.0f},  // truncated to whole milliseconds
        {1ms, 1000.0f},
    };
    lm::clock::FakeClock clock;
    lm::help::Fps fps;
    fps();  // prime
    for (const auto& c : cases) {
        clock.advance(c.step);
        EXPECT_FLOAT_EQ(fps(), c.expected) << c.step.count() << " ns";
    }
}

TEST(Fps, SameMillisecondGivesInfinityAndAClockGoingBackANegativeRate) {
    lm::clock::FakeClock clock;
    lm::help::Fps fps;
    fps();
    clock.advance(999us);
    const float within = fps();
    EXPECT_TRUE(std::isinf(within) && within > 0);

    clock.setSystemTime(clock.system() - 50ms);
    EXPECT_FLOAT_EQ(fps(), -20.0f);
}

TEST(Fps, AnUnprimedMeterMeasuresFromTheEpoch) {
    lm::clock::FakeClock clock;  // decades after the epoch
    lm::help::Fps fps;
    const float first = fps();
    EXPECT_GT(first, 0.0f);
    EXPECT_LT(first, 1e-6f);
}

}  // namespace
