#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

#include "clock.h"
#include "lm_facetracker.h"
#include "support/tracking.h"
#include "support/weights.h"

namespace {

using namespace std::chrono_literals;
using lm::Settings;
using lmtest::weightBits;
using Bits = std::vector<std::uint32_t>;

constexpr std::uint32_t NO_APPEARANCE = 0x00000000;  // the face tracker's appearance weight

// Face rows: IoU, distance, size, appearance, threshold, hits.
const Bits NORMAL_30{0x3ed3688c, 0x3f800000, 0x3eef327f, NO_APPEARANCE, 0x3ecb01a6, 5};
const Bits NORMAL_10{0x3f1a5278, 0x3ef37e7a, 0x3e8e7c34, NO_APPEARANCE, 0x3e8a56cc, 5};
const Bits NORMAL_5{0x3e4c4768, 0x3f00c772, 0x3f5a8ad6, NO_APPEARANCE, 0x3e4f9727, 5};
const Bits QUANTIZED_30{0x3f800000, 0x3f1d581b, 0x3f000000, NO_APPEARANCE, 0x3e800000, 5};
const Bits QUANTIZED_10{0x3e500755, 0x3f322859, 0x3f000000, NO_APPEARANCE, 0x3ed626ae, 5};
const Bits QUANTIZED_5{0x3ddbf649, 0x3f7f281b, 0x3ed6ebc8, NO_APPEARANCE, 0x3e803733, 5};

const cv::Rect FACE_BOX(200, 150, 60, 60);
const cv::Rect OTHER_BOX(450, 300, 60, 60);

Settings withFaceFps(Settings::TrackerFps fps, Settings::NetworkType type = Settings::NORMAL) {
    Settings s;
    s.faceTrackFps = fps;
    s.networkType = type;
    return s;
}

lm::Person personAt(const cv::Rect& box) {
    lm::Person p;
    p.boundingBox = box;
    p.detectionConfidence = 0.9f;
    return p;
}

// One frame as the facade runs it: track the faces, copy the ids back, update the history.
void analyse(lm::FaceTracker& tracker, std::vector<lm::Person>& persons) {
    std::vector<lm::Detection> detections;
    for (const lm::Person& p : persons) {
        lm::Detection d;
        d.id = p.id;
        d.boundingBox = p.boundingBox;
        d.detectionConfidence = p.detectionConfidence;
        detections.push_back(d);
    }
    lmtest::track(tracker, detections);
    for (std::size_t i = 0; i < persons.size(); ++i) persons[i].id = detections[i].id;
    tracker.updatePersonData(persons);
}

struct FaceTrackerTest : ::testing::Test {
    lm::clock::FakeClock clock;  // before the tracker, which reads the clock when built

    lm::Person frame(lm::FaceTracker& tracker, lm::Person person) {
        std::vector<lm::Person> persons{person};
        analyse(tracker, persons);
        clock.advance(100ms);
        return persons[0];
    }
};

TEST_F(FaceTrackerTest, WeightRowsFollowNetworkTypeAndFixedClass) {
    lm::FaceTracker tracker;
    EXPECT_EQ(weightBits(tracker.getWeights()), NORMAL_10);  // before any settings arrive
    struct Case {
        Settings::NetworkType type;
        Settings::TrackerFps fps;
        const Bits& row;
    };
    const Case cases[] = {
        {Settings::NORMAL, Settings::FPS_30, NORMAL_30},
        {Settings::NORMAL, Settings::FPS_10, NORMAL_10},
        {Settings::NORMAL, Settings::FPS_5, NORMAL_5},
        {Settings::QUANTIZED, Settings::FPS_30, QUANTIZED_30},
        {Settings::QUANTIZED, Settings::FPS_10, QUANTIZED_10},
        {Settings::QUANTIZED, Settings::FPS_5, QUANTIZED_5},
        {static_cast<Settings::NetworkType>(7), Settings::FPS_5, QUANTIZED_5},
        {Settings::QUANTIZED, Settings::DYNAMIC, QUANTIZED_10},
    };
    for (const Case& c : cases) {
        tracker.onSettingsUpdate(withFaceFps(c.fps, c.type));
        EXPECT_EQ(weightBits(tracker.getWeights()), c.row) << c.type << " " << c.fps;
    }
    // A class outside the table leaves the weights as they were.
    tracker.onSettingsUpdate(withFaceFps(Settings::FPS_30));
    tracker.onSettingsUpdate(withFaceFps(static_cast<Settings::TrackerFps>(9)));
    EXPECT_EQ(tracker.getFpsClass(), 9);
    EXPECT_EQ(weightBits(tracker.getWeights()), NORMAL_30);
}

TEST_F(FaceTrackerTest, MeasuredRateEdgesChooseTheClass) {
    struct Case {
        std::chrono::milliseconds interval;
        std::int32_t fpsClass;
        const Bits& row;
    };
    const Case cases[] = {
        {0ms, Settings::FPS_5, NORMAL_5},    {1ms, Settings::FPS_30, NORMAL_30},   {50ms, Settings::FPS_30, NORMAL_30},
        {51ms, Settings::FPS_10, NORMAL_10}, {111ms, Settings::FPS_10, NORMAL_10}, {112ms, Settings::FPS_5, NORMAL_5},
    };
    for (const Case& c : cases) {
        lm::FaceTracker tracker;  // the first update measures the time since construction
        clock.advance(c.interval);
        lmtest::track(tracker, {FACE_BOX});
        EXPECT_EQ(tracker.getFpsClass(), c.fpsClass) << c.interval.count();
        EXPECT_EQ(weightBits(tracker.getWeights()), c.row) << c.interval.count();
    }
}

TEST_F(FaceTrackerTest, DynamicClassFollowsTheUpdateRateAndAFixedOneDoesNot) {
    lm::FaceTracker tracker;
    tracker.onSettingsUpdate(withFaceFps(Settings::DYNAMIC));
    for (const auto& [interval, row] :
         {std::pair{40ms, NORMAL_30}, std::pair{100ms, NORMAL_10}, std::pair{200ms, NORMAL_5}}) {
        for (int i = 0; i < 3; ++i) {
            clock.advance(interval);
            lmtest::track(tracker, {FACE_BOX});
        }
        EXPECT_EQ(weightBits(tracker.getWeights()), row) << interval.count();
    }

    tracker.onSettingsUpdate(withFaceFps(Settings::FPS_5));
    for (int i = 0; i < 3; ++i) {
        clock.advance(40ms);
        lmtest::track(tracker, {FACE_BOX});
    }
    EXPECT_EQ(tracker.getFpsClass(), Settings::FPS_5);
    EXPECT_EQ(weightBits(tracker.getWeights()), NORMAL_5);

    tracker.onSettingsUpdate(withFaceFps(Settings::DYNAMIC));  // restarts at FPS_10
    EXPECT_EQ(tracker.getFpsClass(), Settings::FPS_10);
    EXPECT_EQ(weightBits(tracker.getWeights()), NORMAL_10);
}

TEST_F(FaceTrackerTest, ViewingAndDwellDurationsAccumulatePerFrame) {
    lm::FaceTracker tracker;
    struct Row {
        bool viewing;
        bool dwelling;
        std::int64_t currentViewing;
        std::int64_t totalViewing;
        std::int64_t currentDwell;
        std::int64_t totalDwell;
        std::int64_t detection;
    };
    // Frame 1 opens the history and keeps the person's own (zero) durations.
    const Row rows[] = {
        {true, true, 0, 0, 0, 0, 0},           {true, true, 100, 100, 100, 100, 100},
        {true, false, 200, 200, 0, 100, 200},  {false, true, 0, 200, 100, 200, 300},
        {true, true, 100, 300, 200, 300, 400},
    };
    int frameNumber = 1;
    for (const Row& r : rows) {
        lm::Person p = personAt(FACE_BOX);
        p.isViewing = r.viewing;
        p.isDwelling = r.dwelling;
        const lm::Person out = frame(tracker, p);
        EXPECT_EQ(out.id, 1u);
        EXPECT_EQ(out.currentViewingDuration.count(), r.currentViewing) << "frame " << frameNumber;
        EXPECT_EQ(out.totalViewingDuration.count(), r.totalViewing) << "frame " << frameNumber;
        EXPECT_EQ(out.currentDwellDuration.count(), r.currentDwell) << "frame " << frameNumber;
        EXPECT_EQ(out.totalDwellDuration.count(), r.totalDwell) << "frame " << frameNumber;
        EXPECT_EQ(out.detectionDuration.count(), r.detection) << "frame " << frameNumber;
        ++frameNumber;
    }
    ASSERT_EQ(tracker.getTrackedPersons().size(), 1u);
    EXPECT_EQ(tracker.getTrackedPersons()[0].frameCount, 5u);
}

TEST_F(FaceTrackerTest, AgeAndGenderAreSmoothedOverTheLastTenSamples) {
    lm::FaceTracker tracker;
    struct Row {
        int age;
        float gender;
        int reportedAge;
        float reportedGender;
    };
    const Row rows[] = {
        {29, 0.9f, 29, 0.9f},  // the first frame keeps its own estimates and adds no sample
        {30, 0.5f, 30, 0.5f},
        {31, -0.5f, 30, 0.0f},
        {33, 0.0f, 31, 0.0f},  // an unset gender adds no sample
    };
    for (const Row& r : rows) {
        lm::Person p = personAt(FACE_BOX);
        p.age = r.age;
        p.gender = r.gender;
        const lm::Person out = frame(tracker, p);
        EXPECT_EQ(out.age, r.reportedAge) << r.age;
        EXPECT_FLOAT_EQ(out.gender, r.reportedGender) << r.age;
    }

    // Ten further samples 10, 20, ..., 100 replace those above; the eleventh (110) pushes
    // out the oldest.
    for (int k = 1; k <= 11; ++k) {
        lm::Person p = personAt(FACE_BOX);
        p.age = 10 * k;
        const lm::Person out = frame(tracker, p);
        if (k == 10) {
            EXPECT_EQ(out.age, 55);
        } else if (k == 11) {
            EXPECT_EQ(out.age, 65);
        }
    }
}

TEST_F(FaceTrackerTest, UnsetAndNonFiniteEstimatesAddNoSample) {
    lm::FaceTracker tracker;
    lm::Person p = personAt(FACE_BOX);
    p.age = 40;
    frame(tracker, p);
    for (const float gender : {0.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        p.age = lm::UNSET_AGE;
        p.gender = gender;
        const lm::Person out = frame(tracker, p);
        EXPECT_EQ(out.age, -1);                 // no age sample at all yet
        EXPECT_EQ(out.gender, 0.0f) << gender;  // and no gender sample either
    }
    p.age = 35;
    p.gender = -0.4f;
    frame(tracker, p);
    p.age = -7;  // not a real age either
    p.gender = std::numeric_limits<float>::quiet_NaN();
    const lm::Person out = frame(tracker, p);
    EXPECT_EQ(out.age, 35);
    EXPECT_FLOAT_EQ(out.gender, -0.4f);
}

TEST_F(FaceTrackerTest, HistoryLivesAsLongAsTheTrack) {
    lm::FaceTracker tracker;
    for (int i = 0; i < 3; ++i) frame(tracker, personAt(FACE_BOX));  // 3 hits: 15 misses allowed
    std::vector<lm::Person> nobody;
    for (int miss = 1; miss <= 15; ++miss) {
        analyse(tracker, nobody);
        clock.advance(100ms);
        ASSERT_EQ(tracker.getTrackedPersons().size(), 1u) << "miss " << miss;
    }
    EXPECT_EQ(tracker.getTrackedPersons()[0].frameCount, 3u);  // undetected frames add nothing
    EXPECT_EQ(tracker.getTrackedPersons()[0].detectionDuration, 200ms);
    analyse(tracker, nobody);  // the 16th miss deletes the track and so the history
    clock.advance(100ms);
    EXPECT_TRUE(tracker.getTrackedPersons().empty());

    const lm::Person back = frame(tracker, personAt(FACE_BOX));
    EXPECT_EQ(back.id, 2u);
    ASSERT_EQ(tracker.getTrackedPersons().size(), 1u);
    EXPECT_EQ(tracker.getTrackedPersons()[0].frameCount, 1u);
}

TEST_F(FaceTrackerTest, ResetStartsNewPeopleWithoutInheritedHistoryOrThePause) {
    lm::FaceTracker tracker;
    for (int i = 0; i < 4; ++i) {
        lm::Person p = personAt(FACE_BOX);
        p.isViewing = true;
        p.age = 70;
        p.gender = 0.9f;
        frame(tracker, p);
    }
    tracker.reset(true);
    EXPECT_TRUE(tracker.getTrackedPersons().empty());
    clock.advance(5s);

    // A different person takes id 1 again; nothing of the first one carries over.
    lm::Person p = personAt(OTHER_BOX);
    p.isViewing = true;
    p.age = 20;
    p.gender = -0.8f;
    lm::Person out = frame(tracker, p);
    EXPECT_EQ(out.id, 1u);
    EXPECT_EQ(out.age, 20);
    EXPECT_EQ(out.totalViewingDuration, 0ms);
    out = frame(tracker, p);
    EXPECT_EQ(out.age, 20);
    EXPECT_FLOAT_EQ(out.gender, -0.8f);
    EXPECT_EQ(out.totalViewingDuration, 100ms);
    EXPECT_EQ(out.detectionDuration, 100ms);
    EXPECT_EQ(tracker.getTrackedPersons()[0].frameCount, 2u);
}

TEST_F(FaceTrackerTest, TheFirstIntervalAfterAStartCountsAsZero) {
    lm::FaceTracker tracker;
    clock.advance(3s);
    std::vector<lm::Person> nobody;
    tracker.updatePersonData(nobody);  // a call that only starts the interval
    frame(tracker, personAt(FACE_BOX));
    const lm::Person out = frame(tracker, personAt(FACE_BOX));
    EXPECT_EQ(out.detectionDuration, 100ms);
}

TEST(FaceTrackerThreads, SettingsUpdatesDuringTracking) {
    lm::FaceTracker tracker;
    std::atomic<bool> done{false};
    std::thread settings([&] {
        int i = 0;
        while (!done.load()) {
            tracker.onSettingsUpdate(withFaceFps(i++ % 2 ? Settings::FPS_30 : Settings::DYNAMIC));
            (void)tracker.getWeights();
        }
    });
    for (int i = 0; i < 200; ++i) {
        std::vector<lm::Person> persons{personAt(FACE_BOX), personAt(OTHER_BOX)};
        analyse(tracker, persons);
    }
    done = true;
    settings.join();
    EXPECT_EQ(tracker.getTrackedPersons().size(), 2u);
}

}  // namespace
