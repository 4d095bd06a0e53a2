#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "clock.h"
#include "lm_statistics.h"
#include "support/sample_records.h"

namespace {

using namespace std::chrono_literals;
using lm::Milliseconds;
using lm::TimePoint;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

using lmtest::estimatedFace;

struct GateCase {
    const char* name;
    int width, height;
    int yaw, pitch;
    bool mask, ageGender, emotions;
};

TEST(PersonStatistics, SamplesAttributesOnlyThroughTheirSizeAndPoseGates) {
    const GateCase cases[] = {
        {"19x40 too small for all", 19, 40, 0, 0, false, false, false},
        {"20x40 enough but for emotions", 20, 40, 0, 0, true, true, false},
        {"29x40 still no emotions", 29, 40, 0, 0, true, true, false},
        {"30x30 enough for all", 30, 30, 0, 0, true, true, true},
        {"yaw 15 pitch 15 all", 30, 30, 15, 15, true, true, true},
        {"yaw -15 pitch -15 all", 30, 30, -15, -15, true, true, true},
        {"yaw 16 no emotions", 30, 30, 16, 0, true, true, false},
        {"pitch -16 no emotions", 30, 30, 0, -16, true, true, false},
        {"yaw 30 age and gender", 30, 30, 30, 0, true, true, false},
        {"yaw 31 mask only", 30, 30, 31, 0, true, false, false},
        {"yaw -50 mask only", 30, 30, -50, 0, true, false, false},
        {"yaw 51 nothing", 30, 30, 51, 0, false, false, false},
        {"pitch 40 all but emotions", 30, 30, 0, 40, true, true, false},
        {"pitch 41 nothing", 30, 30, 0, 41, false, false, false},
        {"no head pose nothing", 100, 100, lm::UNSET_ANGLE, lm::UNSET_ANGLE, false, false, false},
    };
    for (const GateCase& c : cases) {
        SCOPED_TRACE(c.name);
        lm::Person p = estimatedFace();
        p.boundingBox = cv::Rect(5, 5, c.width, c.height);
        p.headpose.yaw = static_cast<std::int16_t>(c.yaw);
        p.headpose.pitch = static_cast<std::int16_t>(c.pitch);
        lm::PersonStatistics s{};
        s.update(p);
        EXPECT_EQ(s.faceMaskCount, c.mask ? 1u : 0u);
        EXPECT_EQ(s.ageCount, c.ageGender ? 1u : 0u);
        EXPECT_EQ(s.genderCount, c.ageGender ? 1u : 0u);
        EXPECT_EQ(s.emotionsCount, c.emotions ? 1u : 0u);
    }
}

TEST(PersonStatistics, UnsetAttributesAreNotSampled) {
    lm::Person p = estimatedFace();
    p.age = lm::UNSET_AGE;
    p.gender = 0.0f;
    p.faceMask = lm::UNSET_SCORE;
    p.emotions = lm::UNSET_EMOTIONS;
    lm::PersonStatistics s{};
    s.update(p);
    EXPECT_EQ(s.ageCount, 0u);
    EXPECT_EQ(s.genderCount, 0u);
    EXPECT_EQ(s.faceMaskCount, 0u);
    EXPECT_EQ(s.emotionsCount, 0u);

    const lm::AggregatedPerson a = s.convertToAggregatedPerson(1);
    EXPECT_EQ(a.avgAge, -1);
    EXPECT_EQ(a.avgGender, 0.0f);
    EXPECT_FALSE(a.faceMask);
    for (float e : a.avgEmotions) EXPECT_EQ(e, -1.0f);
}

TEST(PersonStatistics, OnlyTheNeutralScoreDecidesWhetherEmotionsWereEstimated) {
    lm::Person p = estimatedFace();
    p.emotions = {0.5f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f};
    lm::PersonStatistics s{};
    s.update(p);
    EXPECT_EQ(s.emotionsCount, 1u);
    EXPECT_FLOAT_EQ(s.convertToAggregatedPerson(1).avgEmotions[1], -1.0f);
}

TEST(PersonStatistics, NonFiniteScoresAreSkippedSoTheMeansStayFinite) {
    lm::PersonStatistics s{};
    s.update(estimatedFace());
    lm::Person bad = estimatedFace();
    bad.gender = NaN;
    bad.faceMask = INF;
    bad.smile = NaN;
    bad.emotions[3] = NaN;
    bad.isViewing = true;
    s.update(bad);
    bad.smile = INF;
    s.update(bad);

    EXPECT_EQ(s.genderCount, 1u);
    EXPECT_EQ(s.faceMaskCount, 1u);
    EXPECT_EQ(s.emotionsCount, 1u);
    const lm::AggregatedPerson a = s.convertToAggregatedPerson(1);
    EXPECT_FLOAT_EQ(a.avgGender, 0.8f);
    EXPECT_TRUE(a.faceMask);
    for (float e : a.avgEmotions) EXPECT_TRUE(std::isfinite(e));
    EXPECT_FLOAT_EQ(a.avgEmotions[3], 0.4f);
    EXPECT_FLOAT_EQ(a.smileMaximum, 0.4f);
    EXPECT_FLOAT_EQ(a.smileViewing, 0.0f);
}

TEST(PersonStatistics, NegativeAgesOtherThanUnsetAreNotSummed) {
    lm::PersonStatistics s{};
    lm::Person p = estimatedFace();
    s.update(p);
    p.age = -5;
    s.update(p);
    EXPECT_EQ(s.ageCount, 1u);
    EXPECT_EQ(s.convertToAggregatedPerson(1).avgAge, 30);
}

TEST(PersonStatistics, AgeMeanSurvivesASumBeyondThirtyTwoBits) {
    lm::PersonStatistics s{};
    s.ageSum = 40ull * 200'000'000ull;  // about twice what 32 bits hold
    s.ageCount = 200'000'000ull;
    lm::Person p = estimatedFace();
    p.age = 40;
    s.update(p);
    EXPECT_EQ(s.convertToAggregatedPerson(1).avgAge, 40);
}

TEST(PersonStatistics, AveragesUseIntegerAgeAndFloatScores) {
    lm::PersonStatistics s{};
    lm::Person p = estimatedFace();
    p.age = 30;
    p.gender = 1.0f;
    p.faceMask = 0.4f;
    s.update(p);
    p.age = 31;
    p.gender = -0.5f;
    p.faceMask = 0.6f;
    p.emotions = {0.3f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f};
    s.update(p);
    const lm::AggregatedPerson a = s.convertToAggregatedPerson(9);
    EXPECT_EQ(a.id, 9u);
    EXPECT_EQ(a.avgAge, 30);  // 61 / 2 truncated
    EXPECT_FLOAT_EQ(a.avgGender, 0.25f);
    EXPECT_TRUE(a.faceMask);  // mean exactly 0.5 counts as a mask
    EXPECT_FLOAT_EQ(a.avgEmotions[0], 0.2f);

    lm::PersonStatistics below{};
    p.faceMask = 0.49f;
    below.update(p);
    EXPECT_FALSE(below.convertToAggregatedPerson(1).faceMask);
}

TEST(PersonStatistics, CountsSessionsOnRisingEdgesOfEachFlag) {
    struct Case {
        std::vector<bool> flags;
        std::uint32_t sessions;
    };
    const Case cases[] = {
        {{false, true, true, false, true}, 2}, {{true}, 1}, {{true, true, true}, 1}, {{false, false}, 0},
        {{true, false, true, false, true}, 3},
    };
    for (const Case& c : cases) {
        lm::PersonStatistics viewing{};
        lm::PersonStatistics dwelling{};
        for (bool flag : c.flags) {
            lm::Person p = estimatedFace();
            p.isViewing = flag;
            viewing.update(p);
            p.isViewing = false;
            p.isDwelling = flag;
            dwelling.update(p);
        }
        EXPECT_EQ(viewing.viewingSessions, c.sessions);
        EXPECT_EQ(viewing.dwellSessions, 0u);
        EXPECT_EQ(dwelling.dwellSessions, c.sessions);
        EXPECT_EQ(dwelling.viewingSessions, 0u);
    }
}

TEST(PersonStatistics, SmileWhileViewingAndOverallMaximum) {
    lm::PersonStatistics s{};
    lm::Person p = estimatedFace();
    p.smile = 0.9f;  // not viewing
    s.update(p);
    p.isViewing = true;
    p.smile = 0.5f;
    s.update(p);
    p.smile = lm::UNSET_SCORE;
    s.update(p);
    EXPECT_FLOAT_EQ(s.smileViewing, 0.5f);
    EXPECT_FLOAT_EQ(s.smileMaximum, 0.9f);

    lm::PersonStatistics unset{};
    unset.update(p);  // viewing with an unset smile
    EXPECT_EQ(unset.smileViewing, 0.0f);
    EXPECT_EQ(unset.smileMaximum, 0.0f);
}

TEST(PersonStatistics, TotalsCountFromTheFirstRecordAndAverageOverSessions) {
    lm::PersonStatistics s{};
    lm::Person p = estimatedFace();
    const TimePoint first = p.detectionTime;
    p.detectionDuration = 200ms;
    p.totalViewingDuration = 100ms;
    p.totalDwellDuration = 50ms;
    s.update(p);
    // Three viewing sessions and two dwell sessions.
    const bool viewing[] = {false, true, false, true, false, true};
    const bool dwelling[] = {true, false, true, false, false, false};
    for (int i = 0; i < 6; ++i) {
        p.isViewing = viewing[i];
        p.isDwelling = dwelling[i];
        p.detectionTime += 500ms;
        s.update(p);
    }
    p.detectionDuration = 3200ms;
    p.totalViewingDuration = 1100ms;
    p.totalDwellDuration = 451ms;
    p.detectionTime += 500ms;
    s.update(p);

    const lm::AggregatedPerson a = s.convertToAggregatedPerson(3);
    EXPECT_EQ(a.initialDetectionTime, first);
    EXPECT_EQ(a.totalDetectionDuration, 3000ms);
    EXPECT_EQ(a.viewingSessions, 3u);
    EXPECT_EQ(a.totalViewingDuration, 1000ms);
    EXPECT_EQ(a.averageViewingDuration, 333ms);
    EXPECT_EQ(a.dwellSessions, 2u);
    EXPECT_EQ(a.totalDwellDuration, 401ms);
    EXPECT_EQ(a.averageDwellDuration, 200ms);  // truncated

    lm::PersonStatistics none{};
    none.update(estimatedFace());
    EXPECT_EQ(none.convertToAggregatedPerson(1).averageViewingDuration, 0ms);
    EXPECT_EQ(none.convertToAggregatedPerson(1).averageDwellDuration, 0ms);
}

TEST(TrackStatistics, FalsePositiveIsDecidedByTheLatestCumulativeDuration) {
    struct Case {
        std::vector<Milliseconds> durations;
        bool falsePositive;
    };
    const Case cases[] = {
        {{999ms}, true},         {{1000ms}, false}, {{0ms, 500ms, 999ms}, true},
        {{2000ms, 999ms}, true},  // only the latest record counts
        {{0ms, 1000ms}, false},
    };
    for (const Case& c : cases) {
        lm::PersonStatistics face{};
        lm::BodyStatistics body{};
        TimePoint t(1000h);
        for (Milliseconds d : c.durations) {
            lm::Person p = estimatedFace();
            p.detectionTime = t;
            p.detectionDuration = d;
            face.update(p);
            body.update(lm::Body{1, {}, 0.9f, t, d});
            t += 100ms;
        }
        EXPECT_EQ(face.isFalsePositive(), c.falsePositive);
        EXPECT_EQ(body.isFalsePositive(), c.falsePositive);
    }
}

TEST(TrackStatistics, FinalizedOnlyAfterMoreThanTheDelay) {
    struct Case {
        std::chrono::nanoseconds age;
        bool finalized;
    };
    const Case cases[] = {
        {0ns, false},         {5000ms, false}, {5001ms, false},
        {5001ms + 1ns, true}, {1h, true},      {-1s, false},  // the clock stepped back
    };
    for (const Case& c : cases) {
        lm::clock::FakeClock clock;
        const TimePoint last = clock.system();
        lm::PersonStatistics face{};
        lm::Person p = estimatedFace();
        p.detectionTime = last;
        face.update(p);
        lm::BodyStatistics body{};
        body.update(lm::Body{1, {}, 0.9f, last, 2000ms});
        clock.advance(c.age);
        EXPECT_EQ(face.isFinalized(), c.finalized) << c.age.count();
        EXPECT_EQ(body.isFinalized(), c.finalized) << c.age.count();
    }
}

TEST(BodyStatistics, KeepsTheFirstAndLatestTiming) {
    lm::BodyStatistics s{};
    const TimePoint t0(1000h);
    s.update(lm::Body{4, {}, 0.9f, t0, 200ms});
    s.update(lm::Body{4, {}, 0.9f, t0 + 3s, 3200ms});
    EXPECT_EQ(s.lastDetectionTime, t0 + 3s);
    const lm::AggregatedBody a = s.convertToAggregatedBody(4);
    EXPECT_EQ(a.id, 4u);
    EXPECT_EQ(a.initialDetectionTime, t0);
    EXPECT_EQ(a.totalDetectionDuration, 3000ms);
}

TEST(WindowStart, SaturatesInsteadOfOverflowing) {
    const TimePoint now(1000h);
    EXPECT_EQ(lm::windowStart(now, 10s), now - 10s);
    EXPECT_EQ(lm::windowStart(now, Milliseconds::max()), TimePoint::min());
    EXPECT_EQ(lm::windowStart(now, Milliseconds::min()), TimePoint::max());
    EXPECT_FALSE(lm::isExpired(TimePoint{}, now, Milliseconds::max()));
    EXPECT_TRUE(lm::isExpired(now, now, Milliseconds::min()));
    EXPECT_FALSE(lm::isExpired(now - 10s, now, 10s));  // exactly the span old stays
    EXPECT_TRUE(lm::isExpired(now - 10s - 1ns, now, 10s));
}

}  // namespace
