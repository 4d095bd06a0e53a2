#include <gtest/gtest.h>

#include <lumora/lm_records.h>

namespace {

TEST(Records, DefaultPersonHoldsTheUnsetValues) {
    const lm::Person p;
    EXPECT_EQ(p.id, 0u);
    EXPECT_EQ(p.age, -1);
    EXPECT_EQ(p.gender, 0.0f);
    EXPECT_EQ(p.smile, -1.0f);
    EXPECT_EQ(p.faceMask, -1.0f);
    for (float e : p.emotions) EXPECT_EQ(e, -1.0f);
    EXPECT_EQ(p.detectionConfidence, 0.0f);
    EXPECT_FALSE(p.isViewing);
    EXPECT_FALSE(p.isDwelling);
    EXPECT_EQ(p.boundingBox, cv::Rect(0, 0, 0, 0));
    EXPECT_EQ(p.worldPosition.x, 0);
    EXPECT_EQ(p.worldPosition.y, 0);
    EXPECT_EQ(p.worldPosition.z, 0);
    EXPECT_EQ(p.headpose.yaw, -360);
    EXPECT_EQ(p.headpose.pitch, -360);
    EXPECT_EQ(p.headpose.roll, -360);
    EXPECT_EQ(p.headgaze.x, 0);
    EXPECT_EQ(p.headgaze.y, 0);
    EXPECT_EQ(p.distanceFromCamera, 0);
    EXPECT_EQ(p.detectionTime.time_since_epoch().count(), 0);
    EXPECT_EQ(p.detectionDuration.count(), 0);
    EXPECT_EQ(p.totalViewingDuration.count(), 0);
    EXPECT_EQ(p.currentViewingDuration.count(), 0);
    EXPECT_EQ(p.totalDwellDuration.count(), 0);
    EXPECT_EQ(p.currentDwellDuration.count(), 0);
}

TEST(Records, ValueInitialisedDetectionIsAllZero) {
    const lm::Detection d{};
    EXPECT_EQ(d.id, 0u);
    EXPECT_EQ(d.boundingBox, cv::Rect());
    EXPECT_EQ(d.detectionConfidence, 0.0f);
    EXPECT_EQ(d.detectionTime.time_since_epoch().count(), 0);
    EXPECT_EQ(d.detectionDuration.count(), 0);
}

TEST(Records, AggregatesStartWithTheirNoSampleValues) {
    const lm::AggregatedPerson a;
    EXPECT_EQ(a.avgAge, -1);
    EXPECT_EQ(a.avgGender, 0.0f);
    EXPECT_FALSE(a.faceMask);
    for (float e : a.avgEmotions) EXPECT_EQ(e, -1.0f);
    EXPECT_EQ(a.viewingSessions, 0u);
    EXPECT_EQ(a.dwellSessions, 0u);
    EXPECT_EQ(a.totalDetectionDuration.count(), 0);

    const lm::AggregatedBody b;
    EXPECT_EQ(b.id, 0u);
    EXPECT_EQ(b.totalDetectionDuration.count(), 0);
}

TEST(Records, TimesAreNanosecondsAndDurationsSigned64BitMilliseconds) {
    static_assert(std::is_same_v<lm::TimePoint::duration, std::chrono::nanoseconds>);
    static_assert(std::is_same_v<decltype(lm::Person::detectionDuration)::rep, long>);
    static_assert(sizeof(lm::Person::headpose.yaw) == 2);
    SUCCEED();
}

}  // namespace
