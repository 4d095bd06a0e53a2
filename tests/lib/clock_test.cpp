#include <gtest/gtest.h>

#include "clock.h"

namespace {

using namespace std::chrono_literals;

TEST(Clock, FakeMovesBothClocksTogetherAndReleasesThemAtTheEnd) {
    {
        lm::clock::FakeClock fake;
        const auto steady0 = lm::clock::steadyNow();
        const auto system0 = lm::clock::systemNow();
        fake.advance(100ms);
        EXPECT_EQ(lm::clock::steadyNow() - steady0, 100ms);
        EXPECT_EQ(lm::clock::systemNow() - system0, 100ms);
        fake.setSystemTime(system0 - 1h);
        EXPECT_EQ(lm::clock::systemNow(), system0 - 1h);
        EXPECT_EQ(lm::clock::steadyNow() - steady0, 100ms);
    }
    const auto real = std::chrono::system_clock::now();
    EXPECT_LT(std::chrono::abs(lm::clock::systemNow() - real), 5s);
}

}  // namespace
