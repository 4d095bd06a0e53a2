// End to end through the library: a scripted stream of drawn faces that enter, stay, look at
// the camera and away, move and leave runs through the facade into a face aggregator, which
// must hand out one summary per drawn person with the durations and sessions of the script.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "clock.h"
#include "lumora/lm_aggregator.h"
#include "lumora/lm_lumora.h"
#include "support/drawn_faces.h"
#include "support/stages.h"

namespace {

using namespace std::chrono_literals;
using lmtest::DrawnFace;
using lmtest::LOOKING;
using lmtest::LOOKING_AWAY;

constexpr auto FRAME = 100ms;  // 10 frames per second
constexpr int FRAMES = 120;    // long enough for the last track to stay silent past 5,001 ms

// Who is in frame f of the script:
//   A, frames 0..49: at slot 7 until frame 24, then at slot 8 beside it; looks away for
//     frames 0..9, at the camera for 10..29, away for 30..39, at the camera for 40..49.
//   B, frames 20..59: at slot 2, looking away throughout.
std::vector<DrawnFace> scene(int f) {
    std::vector<DrawnFace> faces;
    if (f < 50) {
        const bool looking = (f >= 10 && f < 30) || f >= 40;
        faces.push_back({f < 25 ? 7u : 8u, looking ? LOOKING : LOOKING_AWAY});
    }
    if (f >= 20 && f < 60) faces.push_back({2, LOOKING_AWAY});
    return faces;
}

struct Expected {
    int firstFrame;
    int lastFrame;
    std::uint32_t viewingSessions;
    std::chrono::milliseconds viewing;
};

TEST(LumoraAggregation, ScriptedPeopleGiveOneSummaryEachWithTheirDurations) {
    lm::clock::FakeClock clock;  // before the facade, so its trackers start on it
    const lm::TimePoint start = clock.system();
    lmtest::ModelDir models;
    lm::Settings settings = models.settings();
    settings.faceConfidenceThreshold = 0.5f;
    lm::Lumora lumora(settings);
    lm::Aggregator aggregator;

    std::vector<lm::AggregatedPerson> finished;
    for (int f = 0; f < FRAMES; ++f) {
        clock.advance(FRAME);
        const std::vector<lm::Person> people = lumora.analyze(lmtest::drawFaces(scene(f)));
        ASSERT_EQ(people.size(), scene(f).size()) << f;
        aggregator.newDetections(people);
        for (const auto& a : aggregator.getFinalizedAggregations(true)) finished.push_back(a);
    }
    EXPECT_TRUE(aggregator.getOngoingAggregations().empty());
    ASSERT_EQ(finished.size(), 2u);
    std::sort(finished.begin(), finished.end(),
              [](const auto& a, const auto& b) { return a.initialDetectionTime < b.initialDetectionTime; });

    // Frame f is analysed at start + (f + 1) frames. A track's first frame adds no time;
    // each later frame adds the interval before it, to viewing when the face looks then.
    const Expected expected[] = {
        {0, 49, 2, 30 * FRAME},  // A: 20 + 10 frames at the camera
        {20, 59, 0, 0 * FRAME},  // B
    };
    for (std::size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const lm::AggregatedPerson& a = finished[i];
        const Expected& e = expected[i];
        const auto within = [](std::chrono::milliseconds actual, std::chrono::milliseconds wanted) {
            EXPECT_LE(std::chrono::abs(actual - wanted), FRAME) << actual.count() << " ms for " << wanted.count();
        };
        EXPECT_LE(std::chrono::abs(a.initialDetectionTime - (start + (e.firstFrame + 1) * FRAME)), FRAME);
        within(a.totalDetectionDuration, (e.lastFrame - e.firstFrame) * FRAME);
        EXPECT_EQ(a.viewingSessions, e.viewingSessions);
        within(a.totalViewingDuration, e.viewing);
        if (e.viewingSessions != 0) within(a.averageViewingDuration, e.viewing / e.viewingSessions);
        // Near faces dwell at every yaw the script draws: one session for the whole stay.
        EXPECT_EQ(a.dwellSessions, 1u);
        within(a.totalDwellDuration, (e.lastFrame - e.firstFrame) * FRAME);
        // Age and gender are sampled only while the head is turned to within 30 degrees.
        if (e.viewingSessions != 0) {
            EXPECT_GT(a.avgGender, 0.0f);  // green 160: female
            EXPECT_NE(a.avgAge, lm::UNSET_AGE);
        } else {
            EXPECT_EQ(a.avgGender, 0.0f);
            EXPECT_EQ(a.avgAge, lm::UNSET_AGE);
        }
    }
    EXPECT_NE(finished[0].id, finished[1].id);
    EXPECT_EQ(lumora.getCountOfFaces(), 2u);
}

}  // namespace
