#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

#include "clock.h"
#include "support/tracking.h"
#include "tracker.h"

namespace {

using namespace std::chrono_literals;
using lm::ObjectTracker;
using lmtest::track;

// The object tracker with weights chosen by the test in every row; it records the
// measured rates instead of choosing a rate class from them.
class TestTracker : public ObjectTracker {
public:
    explicit TestTracker(const Weights& weights) : ObjectTracker(everyRow(weights), &lm::Settings::faceTrackFps) {}
    void setWeights(const Weights& weights) {
        std::lock_guard<std::mutex> lock(mMutex);
        applyWeights(weights);
    }
    std::vector<int> rates;

protected:
    void checkFPS(int rate) override { rates.push_back(rate); }

private:
    static WeightTable everyRow(const Weights& weights) {
        WeightTable table;
        for (auto& rows : table) rows.fill(weights);
        return table;
    }
};

// Utility = IoU alone, so the test knows every pair's score.
constexpr ObjectTracker::Weights IOU_ONLY{1.0f, 0.0f, 0.0f, 0.0f, 0.3f, 5};
// Utility = appearance similarity alone.
constexpr ObjectTracker::Weights APPEARANCE_ONLY{0.0f, 0.0f, 0.0f, 1.0f, 0.5f, 5};

const cv::Rect BOX_A(100, 100, 40, 40);
const cv::Rect BOX_B(300, 100, 40, 40);
const cv::Rect BOX_C(500, 300, 40, 40);

struct TrackerTest : ::testing::Test {
    lm::clock::FakeClock clock;
};

TEST_F(TrackerTest, FirstUpdateNumbersDetectionsInOrderAndWritesNoDuration) {
    TestTracker tracker(IOU_ONLY);
    auto detections = lmtest::detectionsAt({BOX_A, BOX_B, BOX_C});
    for (auto& d : detections) d.detectionDuration = 777ms;
    clock.advance(40ms);
    EXPECT_EQ(track(tracker, detections), (std::vector<std::uint32_t>{1, 2, 3}));
    for (const auto& d : detections) EXPECT_EQ(d.detectionDuration, 777ms);
    const auto tracks = tracker.getTrackedObjects();
    ASSERT_EQ(tracks.size(), 3u);
    for (const auto& t : tracks) {
        EXPECT_EQ(t.hits, 1u);
        EXPECT_FALSE(t.confirmed);
        EXPECT_EQ(t.trackedDuration, 0ms);
    }
    EXPECT_EQ(tracker.getTrackedBoxes(), (std::vector<cv::Rect>{BOX_A, BOX_B, BOX_C}));
}

TEST_F(TrackerTest, DurationSumsTheIntervalsOfMatchedUpdatesAndConfirmsAtMinHits) {
    TestTracker tracker(IOU_ONLY);
    track(tracker, {BOX_A});
    const std::chrono::milliseconds steps[] = {40ms, 60ms, 100ms, 33ms};
    std::chrono::milliseconds expected{0};
    for (std::size_t i = 0; i < 4; ++i) {
        clock.advance(steps[i]);
        expected += steps[i];
        auto detections = lmtest::detectionsAt({BOX_A});
        EXPECT_EQ(track(tracker, detections), std::vector<std::uint32_t>{1});
        EXPECT_EQ(detections[0].detectionDuration, expected);
        EXPECT_EQ(detections[0].boundingBox, BOX_A);
        EXPECT_EQ(tracker.getTrackedObjects()[0].confirmed, i == 3) << "match " << i;
    }
    EXPECT_EQ(tracker.getObjectCount(), 1u);
    // A missed update adds nothing to the duration.
    clock.advance(500ms);
    track(tracker, std::vector<cv::Rect>{});
    clock.advance(10ms);
    auto detections = lmtest::detectionsAt({BOX_A});
    track(tracker, detections);
    EXPECT_EQ(detections[0].detectionDuration, expected + 10ms);
}

TEST_F(TrackerTest, APairScoringExactlyTheThresholdIsRefused) {
    // Track (0, 0, 40, 40) against detection (0, 0, 40, 20): IoU 0.5, utility 500.
    struct Case {
        float threshold;
        bool continued;
    };
    for (const Case c : {Case{0.5f, false}, Case{0.499f, true}, Case{0.6f, false}}) {
        TestTracker tracker({1.0f, 0.0f, 0.0f, 0.0f, c.threshold, 5});
        track(tracker, {cv::Rect(0, 0, 40, 40)});
        clock.advance(40ms);
        const auto ids = track(tracker, {cv::Rect(0, 0, 40, 20)});
        EXPECT_EQ(ids, std::vector<std::uint32_t>{c.continued ? 1u : 2u}) << c.threshold;
        const auto tracks = tracker.getTrackedObjects();
        ASSERT_EQ(tracks.size(), c.continued ? 1u : 2u);
        EXPECT_EQ(tracks[0].missedFrames, c.continued ? 0u : 1u);
    }
}

TEST_F(TrackerTest, UnmatchedTracksAreDeletedAfterTheMissLimitOfTheirHits) {
    struct Case {
        std::uint32_t hits;
        int deletedInMiss;
    };
    for (const Case c : {Case{1, 6}, Case{2, 16}, Case{3, 16}, Case{4, 16}, Case{5, 31}, Case{9, 31}}) {
        TestTracker tracker(IOU_ONLY);
        for (std::uint32_t h = 0; h < c.hits; ++h) {
            track(tracker, {BOX_A});
            clock.advance(40ms);
        }
        ASSERT_EQ(tracker.getTrackedObjects()[0].hits, c.hits);
        for (int miss = 1; miss < c.deletedInMiss; ++miss) {
            track(tracker, std::vector<cv::Rect>{});
            clock.advance(40ms);
            ASSERT_EQ(tracker.getTrackedObjects().size(), 1u) << "hits " << c.hits << " miss " << miss;
            EXPECT_EQ(tracker.getTrackedBoxes()[0], BOX_A);  // a still box is predicted in place
        }
        track(tracker, std::vector<cv::Rect>{});
        EXPECT_TRUE(tracker.getTrackedObjects().empty()) << "hits " << c.hits;
        EXPECT_EQ(tracker.getObjectCount(), c.hits >= 5 ? 1u : 0u);
    }
}

TEST_F(TrackerTest, ATrackWhoseCentreLeavesTheFrameIsDeleted) {
    TestTracker tracker(IOU_ONLY);
    // Moving right by 30 px per 100 ms towards the right edge of the 640 px frame.
    for (int x = 400; x <= 550; x += 30) {
        track(tracker, {cv::Rect(x, 200, 60, 60)});
        clock.advance(100ms);
    }
    int lastX = 0;
    int misses = 0;
    while (!tracker.getTrackedObjects().empty() && misses < 15) {
        lastX = tracker.getTrackedBoxes()[0].x;
        track(tracker, std::vector<cv::Rect>{});
        clock.advance(100ms);
        ++misses;
    }
    EXPECT_TRUE(tracker.getTrackedObjects().empty());
    EXPECT_LT(misses, 15);            // gone before its miss limit (6 hits: 30)
    EXPECT_GT(lastX + 30, 640 - 60);  // its last predicted centre was at the edge
}

TEST_F(TrackerTest, EmptyBoxesScoreZeroAndStillGetIds) {
    TestTracker tracker({1.0f, 1.0f, 1.0f, 0.0f, -1.0f, 5});  // would take any finite score
    track(tracker, {cv::Rect(100, 100, 0, 40), BOX_B});
    clock.advance(40ms);
    // The zero-width track's prediction is empty; the degenerate pairs score 0 (not NaN) and
    // the track goes. Every detection gets a distinct id.
    auto detections = lmtest::detectionsAt({cv::Rect(100, 100, 0, 0), cv::Rect(0, 0, -5, 10), BOX_B});
    const auto ids = track(tracker, detections);
    const std::set<std::uint32_t> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), 3u);
    EXPECT_EQ(distinct.count(0u), 0u);
    EXPECT_EQ(ids[2], 2u);  // the real box continues its track
    for (const auto& t : tracker.getTrackedObjects()) {
        EXPECT_GT(t.box.width, 0);
        EXPECT_GT(t.box.height, 0);
    }
}

TEST_F(TrackerTest, ExtraDetectionsOpenTracksAndExtraTracksMiss) {
    TestTracker tracker(IOU_ONLY);
    track(tracker, {BOX_A});
    clock.advance(40ms);
    // The extra detections take the padding rows; the solver's initial matching gives row 1
    // the last column and row 2 the first, so the new ids follow that row order.
    EXPECT_EQ(track(tracker, {BOX_C, BOX_A, BOX_B}), (std::vector<std::uint32_t>{3, 1, 2}));
    clock.advance(40ms);
    EXPECT_EQ(track(tracker, {BOX_B}), std::vector<std::uint32_t>{2});
    const auto tracks = tracker.getTrackedObjects();
    ASSERT_EQ(tracks.size(), 3u);
    EXPECT_EQ(tracks[0].id, 1u);
    EXPECT_EQ(tracks[0].missedFrames, 1u);
    EXPECT_EQ(tracks[1].id, 2u);
    EXPECT_EQ(tracks[1].missedFrames, 0u);
    EXPECT_EQ(tracks[2].id, 3u);
    EXPECT_EQ(tracks[2].missedFrames, 1u);
}

TEST_F(TrackerTest, RefusedPairsNumberBeforePaddingRows) {
    TestTracker tracker(IOU_ONLY);
    track(tracker, {BOX_A});
    clock.advance(40ms);
    // Track 1 is paired with the far detection (every score is 0), refuses it, and that
    // detection takes id 2 before the one paired with the padding row.
    EXPECT_EQ(track(tracker, {BOX_B, BOX_C}), (std::vector<std::uint32_t>{2, 3}));
}

TEST_F(TrackerTest, CountAndResetKeepWhatTheyShould) {
    TestTracker tracker({1.0f, 0.0f, 0.0f, 0.0f, 0.3f, 2});
    track(tracker, {BOX_A, BOX_B});
    clock.advance(40ms);
    track(tracker, {BOX_A, BOX_B});
    EXPECT_EQ(tracker.getObjectCount(), 2u);
    for (int i = 0; i < 16; ++i) {
        clock.advance(40ms);
        track(tracker, std::vector<cv::Rect>{});
    }
    EXPECT_TRUE(tracker.getTrackedObjects().empty());
    EXPECT_EQ(tracker.getObjectCount(), 2u);  // deleted tracks still count

    tracker.reset(false);
    clock.advance(40ms);
    EXPECT_EQ(track(tracker, {BOX_C}), std::vector<std::uint32_t>{3});
    EXPECT_EQ(tracker.getObjectCount(), 2u);

    tracker.reset(true);
    EXPECT_TRUE(tracker.getTrackedBoxes().empty());
    EXPECT_EQ(tracker.getObjectCount(), 0u);
    const auto ratesBefore = tracker.rates.size();
    clock.advance(500ms);
    EXPECT_EQ(track(tracker, {BOX_C}), std::vector<std::uint32_t>{1});
    // The meter was kept: the update after the pause measures the whole pause.
    ASSERT_EQ(tracker.rates.size(), ratesBefore + 1);
    EXPECT_EQ(tracker.rates.back(), 2);
}

TEST_F(TrackerTest, MeasuredRateIsPassedOnTruncatedAndInfiniteBecomesIntMin) {
    TestTracker tracker(IOU_ONLY);
    for (const auto step : {40ms, 0ms, 112ms, 3ms}) {
        clock.advance(step);
        track(tracker, {BOX_A});
    }
    EXPECT_EQ(tracker.rates, (std::vector<int>{25, INT_MIN, 8, 333}));
}

// A video file's frames carry their own time: the tracker measures intervals, rates and
// durations on it, whatever the wall clock does in between; a frame without one goes back
// to the steady clock.
TEST_F(TrackerTest, FrameTimesDriveIntervalsRatesAndDurationsWhateverTheWallClock) {
    struct Step {
        std::chrono::milliseconds wall;                      // how long the analysis took
        std::optional<std::chrono::milliseconds> frameTime;  // the frame's place in the video
        std::chrono::milliseconds duration;                  // the track's duration after it
    };
    const Step steps[] = {
        {7ms, 0ms, 0ms},                             // opens the track; no earlier frame time, so no rate
        {500ms, 100ms, 100ms}, {3ms, 100ms, 100ms},  // a frame time that does not move on counts 0 and measures no rate
        {50ms, 300ms, 300ms},  {40ms, std::nullopt, 340ms},  // a camera frame: the steady clock again
    };
    const lm::TimePoint runStart = clock.system();
    TestTracker tracker(IOU_ONLY);
    for (const Step& step : steps) {
        clock.advance(step.wall);
        auto detections = lmtest::detectionsAt({BOX_A});
        ObjectTracker::Features none;
        std::optional<lm::TimePoint> frameTime;
        if (step.frameTime) frameTime = runStart + *step.frameTime;
        tracker.update(detections, lmtest::vgaFrame(), none, 0.0f, frameTime);
        ASSERT_EQ(detections[0].id, 1u);
        EXPECT_EQ(tracker.getTrackedObjects()[0].trackedDuration, step.duration) << step.wall.count();
    }
    EXPECT_EQ(tracker.rates, (std::vector<int>{10, 5, 25}));
}

TEST_F(TrackerTest, FeatureRingKeepsTheNewestTwentyOldestFirst) {
    TestTracker tracker({1.0f, 0.0f, 0.0f, 1.0f, 0.3f, 5});
    for (int i = 0; i < 25; ++i) {
        auto detections = lmtest::detectionsAt({BOX_A});
        ObjectTracker::Features features(std::vector<lm::AppearanceVector>{lmtest::appearance(float(i))});
        tracker.update(detections, lmtest::vgaFrame(), features, 35.616783f);
        ASSERT_EQ(detections[0].id, 1u);
        clock.advance(40ms);
        const auto tracks = tracker.getTrackedObjects();
        const auto& ring = tracks[0].featureHistory;
        EXPECT_EQ(ring.count(), std::min(i + 1, 20));
        EXPECT_EQ(ring.head(), static_cast<std::uint64_t>(i % 20));
    }
    std::vector<float> order;
    const auto tracks = tracker.getTrackedObjects();
    tracks[0].featureHistory.forEachOldestFirst([&](const lm::AppearanceVector& v) { order.push_back(v[0]); });
    std::vector<float> expected;
    for (int i = 5; i < 25; ++i) expected.push_back(float(i));
    EXPECT_EQ(order, expected);
}

TEST(HistoryRing, StartsEmptyAndWrapsAtItsCapacity) {
    lm::HistoryRing<int, 3> ring;
    EXPECT_EQ(ring.head(), ~std::uint64_t{0});
    EXPECT_EQ(ring.count(), 0u);
    std::vector<int> seen;
    const auto collect = [&] {
        seen.clear();
        ring.forEachOldestFirst([&](int v) { seen.push_back(v); });
        return seen;
    };
    ring.push(1);
    ring.push(2);
    EXPECT_EQ(collect(), (std::vector<int>{1, 2}));
    ring.push(3);
    ring.push(4);
    EXPECT_EQ(ring.head(), 0u);
    EXPECT_EQ(collect(), (std::vector<int>{2, 3, 4}));
}

TEST_F(TrackerTest, ANaNSimilarityNeverWins) {
    const lm::AppearanceVector good = lmtest::appearance(1.0f);
    lm::AppearanceVector poisoned = good;
    poisoned[100] = std::nanf("");

    const auto step = [&](TestTracker& tracker, const lm::AppearanceVector& feature) {
        auto detections = lmtest::detectionsAt({BOX_A});
        ObjectTracker::Features features(std::vector<lm::AppearanceVector>{feature});
        tracker.update(detections, lmtest::vgaFrame(), features, 35.616783f);
        clock.advance(40ms);
        return detections[0].id;
    };

    // Only appearance counts: a ring holding a NaN vector gives 0, so the pair is refused.
    TestTracker onlyNaN(APPEARANCE_ONLY);
    EXPECT_EQ(step(onlyNaN, poisoned), 1u);
    EXPECT_EQ(step(onlyNaN, good), 2u);

    // A NaN stored before a good vector does not hide it: the best score stays 1.
    TestTracker mixed({1.0f, 0.0f, 0.0f, 1.0f, 0.4f, 5});
    EXPECT_EQ(step(mixed, poisoned), 1u);
    EXPECT_EQ(step(mixed, good), 1u);  // (IoU 1 + 0) / 2 = 0.5 > 0.4
    mixed.setWeights({1.0f, 0.0f, 0.0f, 1.0f, 0.9f, 5});
    EXPECT_EQ(step(mixed, good), 1u);  // (1 + 1) / 2 = 1 > 0.9
    // A NaN feature of the detection scores 0 against every stored vector.
    EXPECT_EQ(step(mixed, poisoned), 2u);
}

// The box a detection is measured against: the prediction, moved toward a detection that
// looks like the track by up to twice the predicted centre's spread.
TEST(TrackerComparedBox, MovesThePredictionTowardALookalikeByTwiceItsSpread) {
    const cv::Rect prediction(100, 100, 40, 80);
    struct Case {
        const char* what;
        cv::Rect detection;
        float spread;
        std::optional<float> appearance;
        cv::Rect compared;
    };
    const Case cases[] = {
        {"no appearance vectors", {160, 100, 40, 80}, 10.0f, std::nullopt, prediction},
        {"a different look", {160, 100, 40, 80}, 10.0f, 0.49f, prediction},
        {"beyond the reach", {160, 100, 40, 80}, 10.0f, 0.5f, {120, 100, 40, 80}},
        {"within the reach", {110, 100, 40, 80}, 10.0f, 0.9f, {110, 100, 40, 80}},
        {"diagonally, sizes apart", {130, 140, 20, 40}, 5.0f, 1.0f, {107, 107, 40, 80}},
        {"no spread", {160, 100, 40, 80}, 0.0f, 1.0f, prediction},
        {"a NaN spread", {160, 100, 40, 80}, std::nanf(""), 1.0f, prediction},
        {"a NaN similarity", {160, 100, 40, 80}, 10.0f, std::nanf(""), prediction},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ObjectTracker::comparedBox(prediction, c.spread, c.detection, c.appearance), c.compared) << c.what;
}

TEST_F(TrackerTest, FeatureCountMismatchIsRefusedAndChangesNothing) {
    TestTracker tracker(IOU_ONLY);
    track(tracker, {BOX_A});
    auto detections = lmtest::detectionsAt({BOX_A, BOX_B});
    ObjectTracker::Features features(std::vector<lm::AppearanceVector>{lmtest::appearance(0.f)});
    EXPECT_THROW(tracker.update(detections, lmtest::vgaFrame(), features, 35.616783f), std::invalid_argument);
    EXPECT_EQ(detections[0].id, 0u);
    EXPECT_EQ(tracker.getTrackedObjects().size(), 1u);
    EXPECT_EQ(tracker.rates.size(), 1u);
}

TEST(TrackerThreads, ConcurrentUpdatesAndQueriesAreSerialised) {
    TestTracker tracker(IOU_ONLY);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            (void)tracker.getObjectCount();
            (void)tracker.getTrackedObjects();
            tracker.setWeights(IOU_ONLY);
        }
    });
    for (int frame = 0; frame < 200; ++frame) {
        track(tracker, {cv::Rect(100 + frame % 7, 100, 40, 40), BOX_C});
        if (frame % 50 == 49) tracker.reset(false);
    }
    done = true;
    reader.join();
    EXPECT_GT(tracker.getObjectCount(), 0u);
}

}  // namespace
