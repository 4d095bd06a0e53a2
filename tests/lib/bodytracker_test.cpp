#include <gtest/gtest.h>

#include "clock.h"
#include "lm_bodytracker.h"
#include "support/tracking.h"
#include "support/weights.h"

namespace {

using namespace std::chrono_literals;
using lm::Settings;
using lmtest::weightBits;
using Bits = std::vector<std::uint32_t>;

constexpr float BODY_SCALE = 35.616783f;

// Body rows: IoU, distance, size, appearance, threshold, hits. The NORMAL FPS_10 threshold
// is 0.6, not the 0.7 under which labelled walkers' own next detections fell (see
// tools/people-count/README.md).
const Bits NORMAL_30{0x3f601110, 0x3f800000, 0x3dcccccd, 0x3e7450f1, 0x3eeb11d5, 5};
const Bits NORMAL_10{0x3f45ff9c, 0x3f42ac29, 0x3f4d0a11, 0x3e67ac98, 0x3f19999a, 5};
const Bits NORMAL_5{0x3f57ee0d, 0x3edc8bcf, 0x3f1058a5, 0x3e16c136, 0x3efe1e61, 5};
const Bits QUANTIZED_30{0x3e32fb52, 0x3ddfa07e, 0x3e0ede59, 0x3f4428c3, 0x3e504cb9, 5};
const Bits QUANTIZED_10_5{0x3e9dc1c6, 0x3e120357, 0x3f095220, 0x3f748074, 0x3ea5ee1d, 5};

Settings withBodyFps(Settings::TrackerFps fps, Settings::NetworkType type = Settings::NORMAL) {
    Settings s;
    s.bodyTrackFps = fps;
    s.faceTrackFps = Settings::FPS_30;  // must not matter to the body tracker
    s.networkType = type;
    return s;
}

struct BodyTrackerTest : ::testing::Test {
    lm::clock::FakeClock clock;
};

TEST_F(BodyTrackerTest, WeightRowsFollowNetworkTypeAndClass) {
    lm::BodyTracker tracker;
    EXPECT_EQ(weightBits(tracker.getWeights()), NORMAL_10);
    struct Case {
        Settings::NetworkType type;
        Settings::TrackerFps fps;
        const Bits& row;
    };
    const Case cases[] = {
        {Settings::NORMAL, Settings::FPS_30, NORMAL_30},         {Settings::NORMAL, Settings::FPS_10, NORMAL_10},
        {Settings::NORMAL, Settings::FPS_5, NORMAL_5},           {Settings::QUANTIZED, Settings::FPS_30, QUANTIZED_30},
        {Settings::QUANTIZED, Settings::FPS_10, QUANTIZED_10_5}, {Settings::QUANTIZED, Settings::FPS_5, QUANTIZED_10_5},
        {Settings::NORMAL, Settings::DYNAMIC, NORMAL_10},
    };
    for (const Case& c : cases) {
        tracker.onSettingsUpdate(withBodyFps(c.fps, c.type));
        EXPECT_EQ(weightBits(tracker.getWeights()), c.row) << c.type << " " << c.fps;
        EXPECT_EQ(tracker.getFpsClass(), c.fps == Settings::DYNAMIC ? Settings::FPS_10 : c.fps);
    }
}

TEST_F(BodyTrackerTest, MeasuredClassSwitchesAndQuantizedSharesTheSlowRow) {
    lm::BodyTracker tracker;
    tracker.onSettingsUpdate(withBodyFps(Settings::DYNAMIC, Settings::QUANTIZED));
    struct Step {
        std::chrono::milliseconds interval;
        std::int32_t fpsClass;
        const Bits& row;
    };
    const Step steps[] = {
        {40ms, Settings::FPS_30, QUANTIZED_30},
        {200ms, Settings::FPS_5, QUANTIZED_10_5},
        {100ms, Settings::FPS_10, QUANTIZED_10_5},
        {20ms, Settings::FPS_30, QUANTIZED_30},
    };
    for (const Step& s : steps) {
        clock.advance(s.interval);
        lmtest::track(tracker, {cv::Rect(100, 100, 50, 120)});
        EXPECT_EQ(tracker.getFpsClass(), s.fpsClass) << s.interval.count();
        EXPECT_EQ(weightBits(tracker.getWeights()), s.row) << s.interval.count();
    }
}

TEST_F(BodyTrackerTest, AppearanceKeepsIdentitiesWhenTwoBodiesSwapPlaces) {
    lm::BodyTracker tracker;
    tracker.onSettingsUpdate(withBodyFps(Settings::FPS_5, Settings::QUANTIZED));
    // Two bodies close together, then their boxes trade places; with the quantized rows the
    // appearance weight dominates, so each identity follows its own vector.
    const cv::Rect left(200, 100, 60, 150);
    const cv::Rect right(240, 100, 60, 150);
    const auto step = [&](const cv::Rect& first, float firstLook, const cv::Rect& second, float secondLook) {
        auto detections = lmtest::detectionsAt({first, second});
        lm::ObjectTracker::Features features(
            std::vector<lm::AppearanceVector>{lmtest::appearance(firstLook), lmtest::appearance(secondLook)});
        tracker.update(detections, lmtest::vgaFrame(), features, BODY_SCALE);
        clock.advance(200ms);
        return std::vector<std::uint32_t>{detections[0].id, detections[1].id};
    };
    EXPECT_EQ(step(left, 0.0f, right, 1.0f), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(step(left, 0.0f, right, 1.0f), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_EQ(step(left, 1.0f, right, 0.0f), (std::vector<std::uint32_t>{2, 1}));
}

// A walker standing still is hidden for half a second and steps a box width aside
// meanwhile: the filter's prediction stays where the walker was last seen, so the box
// terms alone (no overlap, centres one width apart) refuse the walker's return under the
// FPS_10 threshold. The prediction's uncertainty has grown with the misses, and the box
// terms are measured against the nearest place the track may have reached: the walker
// keeps the id, and someone who looks different on the same spot still gets a new one.
TEST_F(BodyTrackerTest, AWalkerMissedForAFewFramesKeepsTheIdWhereTheStalePredictionWouldRefuseIt) {
    const cv::Rect standing(300, 200, 30, 80);
    const cv::Rect stepAside = standing + cv::Point(30, 0);
    const auto run = [&](float returningLook) {
        lm::BodyTracker tracker;
        tracker.onSettingsUpdate(withBodyFps(Settings::FPS_10));
        const auto step = [&](std::vector<cv::Rect> boxes, float look) {
            auto detections = lmtest::detectionsAt(boxes);
            lm::ObjectTracker::Features features(
                std::vector<lm::AppearanceVector>(boxes.size(), lmtest::appearance(look)));
            tracker.update(detections, lmtest::vgaFrame(), features, BODY_SCALE);
            clock.advance(100ms);
            return detections.empty() ? 0u : detections[0].id;
        };
        for (int f = 0; f < 20; ++f) EXPECT_EQ(step({standing}, 1.0f), 1u);
        for (int f = 0; f < 5; ++f) step({}, 1.0f);
        return step({stepAside}, returningLook);
    };
    EXPECT_EQ(run(1.0f), 1u) << "the walker's own return";
    EXPECT_EQ(run(0.0f), 2u) << "a different look on the same spot";

    // What the stale prediction alone scores for that return, with the walker's own look.
    const lm::ObjectTracker::Weights row = lm::BodyTracker::weightTable()[0][Settings::FPS_10 - Settings::FPS_30];
    EXPECT_LE(lm::ObjectTracker::pairUtility(row, standing, stepAside, 1.0f),
              static_cast<int>(static_cast<double>(row.matchThreshold) * 1000.0));
}

}  // namespace
