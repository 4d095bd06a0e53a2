// The facade on frames drawn for the generated test networks: tracking across frames,
// single images, empty frames, bodies, the settings rules and the two execution modes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>

#include <spdlog/spdlog.h>
#include <opencv2/core/ocl.hpp>
#include <opencv2/core/utility.hpp>

#include "clock.h"
#include "lm_lumora_internal.h"
#include "lumora/lm_lumora.h"
#include "support/drawn_faces.h"
#include "support/opencl.h"
#include "support/opencl_drivers.h"
#include "support/stages.h"

namespace {

using namespace std::chrono_literals;
using lmtest::DrawnFace;
using lmtest::LOOKING;
using lmtest::LOOKING_AWAY;

constexpr auto FRAME_INTERVAL = 100ms;

// Keeps what the facade changes process-wide (logger level, OpenCV's thread count and
// OpenCL switch) from leaking into the next test of the same process.
class ProcessStateGuard {
public:
    ProcessStateGuard()
        : mLevel(spdlog::get("LumoraLog")->level()), mThreads(cv::getNumThreads()), mOpenCl(cv::ocl::useOpenCL()) {}
    ~ProcessStateGuard() {
        spdlog::get("LumoraLog")->set_level(mLevel);
        cv::setNumThreads(mThreads);
        cv::ocl::setUseOpenCL(mOpenCl);
    }
    ProcessStateGuard(const ProcessStateGuard&) = delete;
    ProcessStateGuard& operator=(const ProcessStateGuard&) = delete;

private:
    spdlog::level::level_enum mLevel;
    int mThreads;
    bool mOpenCl;
};

class LumoraTest : public ::testing::Test {
protected:
    lm::Settings settings() const {
        lm::Settings s = models.settings();
        s.faceConfidenceThreshold = 0.5f;  // the drawn faces have brightness 0.55 and more
        return s;
    }

    // One frame of a stream, 100 ms after the previous one.
    std::vector<lm::Person> next(lm::Lumora& lumora, const std::vector<DrawnFace>& faces) {
        clock.advance(FRAME_INTERVAL);
        return lumora.analyze(lmtest::drawFaces(faces));
    }

    const ProcessStateGuard guard;
    lm::clock::FakeClock clock;  // before the facade, so its trackers start on it
    lmtest::ModelDir models;
};

const lm::Person* atSlot(const std::vector<lm::Person>& people, std::size_t slot) {
    const cv::Rect s = lmtest::slotRect("detect_regular", slot);
    for (const lm::Person& p : people)
        if ((p.boundingBox & s).area() * 2 > s.area()) return &p;
    return nullptr;
}

TEST_F(LumoraTest, IdsStayWithTheFacesAsTheyMove) {
    lm::Lumora lumora(settings());
    // The left face walks from slot 7 to the narrower slot 8 beside it; the other stays.
    std::uint32_t walker = 0;
    std::uint32_t stayer = 0;
    for (int frame = 0; frame < 16; ++frame) {
        SCOPED_TRACE(frame);
        const std::size_t walkerSlot = frame < 8 ? 7 : 8;
        const auto people = next(lumora, {{walkerSlot, LOOKING}, {2, LOOKING_AWAY}});
        ASSERT_EQ(people.size(), 2u);
        const lm::Person* w = atSlot(people, walkerSlot);
        const lm::Person* s = atSlot(people, 2);
        ASSERT_NE(w, nullptr);
        ASSERT_NE(s, nullptr);
        if (frame == 0) {
            walker = w->id;
            stayer = s->id;
            EXPECT_NE(walker, 0u);
            EXPECT_NE(stayer, 0u);
            EXPECT_NE(walker, stayer);
        }
        EXPECT_EQ(w->id, walker);
        EXPECT_EQ(s->id, stayer);
        EXPECT_EQ(w->detectionDuration, frame * FRAME_INTERVAL);
        EXPECT_EQ(s->totalDwellDuration, frame * FRAME_INTERVAL);
        EXPECT_EQ(s->totalViewingDuration, 0ms);
        EXPECT_EQ(w->totalViewingDuration, frame * FRAME_INTERVAL);
        EXPECT_EQ(w->detectionTime, clock.system());
    }
    EXPECT_EQ(lumora.getCountOfFaces(), 2u);
    EXPECT_EQ(lumora.getTrackedBoxes().size(), 2u);
}

TEST_F(LumoraTest, EveryEstimatorFillsItsFields) {
    lm::Lumora lumora(settings());
    const auto people = next(lumora, {{7, {61, 230, 160}}});
    ASSERT_EQ(people.size(), 1u);
    const lm::Person& p = people[0];
    EXPECT_EQ(p.age, 30);       // R / 2
    EXPECT_GT(p.gender, 0.0f);  // G 230: female
    EXPECT_EQ(p.headpose.yaw, -33);
    EXPECT_NEAR(p.smile, 0.881f, 0.01f);  // B 160
    EXPECT_NEAR(p.faceMask, 1.0f / 3.0f, 0.01f);
    EXPECT_GT(p.emotions[4], p.emotions[0]);  // green: happiness
    EXPECT_GT(p.distanceFromCamera, 0);
}

TEST_F(LumoraTest, SingleImageGivesIdZeroAndLeavesTheTrackerAlone) {
    lm::Lumora lumora(settings());
    for (int i = 0; i < 3; ++i) next(lumora, {{7, LOOKING}});
    const std::vector<cv::Rect> tracked = lumora.getTrackedBoxes();

    clock.advance(FRAME_INTERVAL);
    const auto people = lumora.analyzeSingleImage(lmtest::drawFaces({{7, {161, 160, 128}}, {2, LOOKING}}));
    ASSERT_EQ(people.size(), 2u);
    for (const lm::Person& p : people) {
        EXPECT_EQ(p.id, 0u);
        EXPECT_EQ(p.detectionDuration, 0ms);
        EXPECT_EQ(p.totalViewingDuration, 0ms);
        EXPECT_EQ(p.totalDwellDuration, 0ms);
    }
    EXPECT_EQ(atSlot(people, 7)->age, 80);  // this image's estimate, not smoothed with the stream's 64
    EXPECT_EQ(lumora.getTrackedBoxes(), tracked);

    // The stream goes on as if the image had not been there.
    const auto after = next(lumora, {{7, LOOKING}});
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].id, 1u);
    EXPECT_EQ(after[0].age, 64);
}

TEST_F(LumoraTest, EmptyFramesAgeTheTracks) {
    lm::Lumora lumora(settings());
    next(lumora, {{7, LOOKING}});
    next(lumora, {{7, LOOKING}});  // two hits: the track survives 15 missed frames
    for (int miss = 1; miss <= 15; ++miss) {
        EXPECT_TRUE(next(lumora, {}).empty());
        EXPECT_EQ(lumora.getTrackedBoxes().size(), 1u) << miss;
    }
    EXPECT_TRUE(next(lumora, {}).empty());
    EXPECT_TRUE(lumora.getTrackedBoxes().empty());

    const auto back = next(lumora, {{7, LOOKING}});
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].id, 2u);  // a new track, with a fresh duration
    EXPECT_EQ(back[0].detectionDuration, 0ms);
}

TEST_F(LumoraTest, ResetsClearTracksAndOptionallyTheCounters) {
    lm::Lumora lumora(settings());
    for (int i = 0; i < 6; ++i) next(lumora, {{7, LOOKING}});
    for (int i = 0; i < 6; ++i) {
        clock.advance(FRAME_INTERVAL);
        lumora.analyzeBodies(lmtest::drawBodies({{1, 1, {230, 200, 180}}}));
    }
    ASSERT_EQ(lumora.getCountOfFaces(), 1u);
    ASSERT_EQ(lumora.getCountOfBodies(), 1u);

    lumora.resetTracker(false);
    lumora.resetBodyTracker(false);
    EXPECT_TRUE(lumora.getTrackedBoxes().empty());
    EXPECT_EQ(lumora.getCountOfFaces(), 1u);
    EXPECT_EQ(lumora.getCountOfBodies(), 1u);
    const auto face = next(lumora, {{7, LOOKING}});
    ASSERT_EQ(face.size(), 1u);
    EXPECT_EQ(face[0].id, 2u);
    EXPECT_EQ(face[0].detectionDuration, 0ms);

    lumora.resetTracker(true);
    lumora.resetBodyTracker(true);
    EXPECT_EQ(lumora.getCountOfFaces(), 0u);
    EXPECT_EQ(lumora.getCountOfBodies(), 0u);
    EXPECT_EQ(next(lumora, {{7, LOOKING}}).at(0).id, 1u);
    clock.advance(FRAME_INTERVAL);
    EXPECT_EQ(lumora.analyzeBodies(lmtest::drawBodies({{1, 1, {230, 200, 180}}})).at(0).id, 1u);
}

TEST_F(LumoraTest, BodiesComeBackTracked) {
    lm::Lumora lumora(settings());
    const lmtest::DrawnBody red{1, 1, {250, 190, 160}};
    const lmtest::DrawnBody blue{5, 2, {160, 190, 250}};
    std::uint32_t redId = 0;
    std::uint32_t blueId = 0;
    for (int frame = 0; frame < 8; ++frame) {
        SCOPED_TRACE(frame);
        clock.advance(FRAME_INTERVAL);
        const auto bodies = lumora.analyzeBodies(lmtest::drawBodies({red, blue}));
        ASSERT_EQ(bodies.size(), 2u);
        for (const lm::Body& b : bodies) {
            EXPECT_EQ(b.detectionTime, clock.system());
            EXPECT_EQ(b.detectionDuration, frame * FRAME_INTERVAL);
            EXPECT_GT(b.detectionConfidence, 0.0f);
        }
        const lm::Body& r = bodies[0].boundingBox.x < 200 ? bodies[0] : bodies[1];
        const lm::Body& b = bodies[0].boundingBox.x < 200 ? bodies[1] : bodies[0];
        EXPECT_EQ(r.boundingBox.tl(), cv::Point(80, 120));
        EXPECT_EQ(b.boundingBox.tl(), cv::Point(400, 240));
        if (frame == 0) {
            redId = r.id;
            blueId = b.id;
            EXPECT_NE(redId, blueId);
        }
        EXPECT_EQ(r.id, redId);
        EXPECT_EQ(b.id, blueId);
    }
    EXPECT_EQ(lumora.getCountOfBodies(), 2u);
    EXPECT_TRUE(lumora.analyzeBodies(lmtest::drawBodies({})).empty());
    // Faces and bodies are tracked apart.
    EXPECT_EQ(lumora.getCountOfFaces(), 0u);
}

TEST_F(LumoraTest, BodyEncoderOfTheWrongLengthFailsTheBodyAnalysis) {
    lm::models::writeTestNetwork(models.path(), "bodyencoder", {false, 256});
    lm::Lumora lumora(settings());
    EXPECT_THROW(lumora.analyzeBodies(lmtest::drawBodies({{1, 1, {230, 200, 180}}})), std::runtime_error);
    EXPECT_TRUE(lumora.analyzeBodies(lmtest::drawBodies({})).empty());  // nothing to encode
    EXPECT_EQ(lumora.analyze(lmtest::drawFaces({{7, LOOKING}})).size(), 1u);
}

TEST_F(LumoraTest, BadSettingsAreRefusedAndChangeNothing) {
    struct Case {
        std::string what;
        std::function<void(lm::Settings&)> spoil;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"empty model directory", [](lm::Settings& s) { s.neuralNetworksPath.clear(); }, "Empty networks path."},
        // The thread pool would bring the process down on a count like this one.
        {"thread count beyond the limit", [](lm::Settings& s) { s.numThreads = 65537; },
         "Invalid setting: numThreads =  65537 "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lm::Settings bad = settings();
        c.spoil(bad);
        try {
            lm::Lumora refused(bad);
            FAIL() << "constructed";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }

        lm::Settings first = settings();
        first.logLevel = lm::Settings::WARN;
        first.maxNumFaces = 1;
        lm::Lumora lumora(first);
        next(lumora, {{7, LOOKING}, {2, LOOKING}});

        bad.logLevel = lm::Settings::TRACE;
        bad.maxNumFaces = 5;
        try {
            lumora.setSettings(bad);
            FAIL() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
        EXPECT_EQ(lumora.getSettings(), first);
        EXPECT_EQ(spdlog::get("LumoraLog")->level(), spdlog::level::warn);
        // The stages kept their settings too: still one face at most, on the same track.
        const auto people = next(lumora, {{7, LOOKING}, {2, LOOKING}});
        ASSERT_EQ(people.size(), 1u);
        EXPECT_EQ(people[0].id, 1u);
    }
}

TEST_F(LumoraTest, LogLevelIsCappedAndANegativeOneLeavesTheLogger) {
    const struct {
        int given;
        lm::Settings::LogLevel stored;
        spdlog::level::level_enum logger;
    } cases[] = {
        {0, lm::Settings::TRACE, spdlog::level::trace},
        {3, lm::Settings::WARN, spdlog::level::warn},
        {5, lm::Settings::CRITICAL, spdlog::level::critical},
        {7, lm::Settings::CRITICAL, spdlog::level::critical},
        {-1, static_cast<lm::Settings::LogLevel>(-1), spdlog::level::err},  // the level before
    };
    lm::Lumora lumora(settings());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        spdlog::get("LumoraLog")->set_level(spdlog::level::err);
        lm::Settings s = settings();
        s.logLevel = static_cast<lm::Settings::LogLevel>(c.given);
        lumora.setSettings(s);
        EXPECT_EQ(lumora.getSettings().logLevel, c.stored);
        EXPECT_EQ(spdlog::get("LumoraLog")->level(), c.logger);
    }
}

TEST_F(LumoraTest, GpuTargetFallsBackToCpuOnlyWithoutOpenCl) {
    // Where OpenCV has selected a device the networks run on it (GPU_MT from several threads
    // at once), which must then be able to.
    const bool onADevice = cv::ocl::useOpenCL();
    for (lm::Settings::DnnTarget target : {lm::Settings::GPU, lm::Settings::GPU_MT}) {
        SCOPED_TRACE(target);
        const auto& unavailable = target == lm::Settings::GPU ? lmtest::openClTargetUnavailable()
                                                              : lmtest::openClTargetUnavailableFromSeveralThreads();
        if (onADevice && unavailable) GTEST_SKIP() << *unavailable;
        lm::Settings s = settings();
        s.dnnTarget = target;
        lm::Lumora lumora(s);
        if (cv::ocl::haveOpenCL()) {
            EXPECT_EQ(lumora.getSettings().dnnTarget, target);
        } else {
            EXPECT_EQ(lumora.getSettings().dnnTarget, lm::Settings::CPU);
            EXPECT_FALSE(cv::ocl::useOpenCL());
        }
        EXPECT_EQ(lumora.analyze(lmtest::drawFaces({{7, LOOKING}})).size(), 1u);
    }
    lm::Lumora cpu(settings());
    EXPECT_FALSE(cv::ocl::useOpenCL());
}

// OpenCL switched off for the whole process, before OpenCV first looks for it: the death
// test's child is a fresh run of this program, so the runtime is never loaded there.
TEST(LumoraWithoutOpenClDeathTest, GpuTargetsAreStoredAsCpuAndRunInParallel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto child = [] {
        ::setenv("OPENCV_OPENCL_RUNTIME", "disabled", 1);
        if (cv::ocl::haveOpenCL()) std::_Exit(3);
        lmtest::ModelDir models;
        lm::Settings s = models.settings();
        s.faceConfidenceThreshold = 0.5f;
        int failures = 0;
        for (lm::Settings::DnnTarget target : {lm::Settings::GPU, lm::Settings::GPU_MT}) {
            s.dnnTarget = target;
            lm::Lumora::LumoraImpl lumora(s);
            failures += lumora.getSettings().dnnTarget != lm::Settings::CPU;
            failures += cv::ocl::useOpenCL();
            failures += lumora.schedule() != lm::Lumora::LumoraImpl::Schedule::PARALLEL;
            failures += lumora.analyzeFaces(lmtest::drawFaces({{7, LOOKING}}), false).size() != 1;
        }
        std::_Exit(failures == 0 ? 0 : 1);  // skips the leak check of the exiting child
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

// The OpenCL runtime costs tens of MB resident and threads of its own: a CPU target must
// not bring it up, neither by asking whether it exists nor by running. Checked in a fresh
// process, where nothing else has asked yet; the GPU target afterwards shows that the check
// sees a driver once one is loaded.
TEST(LumoraOpenClRuntimeDeathTest, CpuTargetNeverBringsTheRuntimeUp) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto child = [] {
        if (lmtest::openClDriverMapped()) std::_Exit(3);
        lmtest::ModelDir models;
        lm::Settings s = models.settings();
        s.faceConfidenceThreshold = 0.5f;
        lm::Lumora lumora(s);
        lumora.setSettings(s);
        if (lumora.analyze(lmtest::drawFaces({{7, LOOKING}})).size() != 1) std::_Exit(4);
        if (lmtest::openClDriverMapped()) std::_Exit(1);
        s.dnnTarget = lm::Settings::GPU;
        lumora.setSettings(s);
        if (lumora.getSettings().dnnTarget == lm::Settings::GPU && !lmtest::openClDriverMapped()) std::_Exit(2);
        std::_Exit(0);  // skips the leak check of the exiting child
    };
    EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST_F(LumoraTest, CreatedAndDestroyedWithALogLine) {
    lmtest::LogCapture log;
    { lm::Lumora lumora(settings()); }
    EXPECT_NE(log.text().find("info: Constructed Lumora version 3.0.0\n"), std::string::npos) << log.text();
    EXPECT_NE(log.text().find("info: Destructing Lumora version 3.0.0\n"), std::string::npos) << log.text();
}

TEST_F(LumoraTest, MovedFacadeKeepsItsTracks) {
    lm::Lumora first(settings());
    next(first, {{7, LOOKING}});
    lm::Lumora second(std::move(first));
    EXPECT_EQ(next(second, {{7, LOOKING}}).at(0).detectionDuration, FRAME_INTERVAL);

    lm::Settings other = settings();
    other.maxNumFaces = 1;
    first = lm::Lumora(other);  // a moved-from facade takes a new one
    EXPECT_EQ(next(first, {{7, LOOKING}, {2, LOOKING}}).size(), 1u);
    second = std::move(first);
    EXPECT_EQ(second.getSettings().maxNumFaces, 1);
}

TEST_F(LumoraTest, TimingsCoverEveryStep) {
    lm::Lumora lumora(settings());
    next(lumora, {{7, LOOKING}, {2, LOOKING}});
    for (std::size_t slot = 0; slot <= 7; ++slot) {
        EXPECT_GT(lm::scoped_timer::time_points[slot], 0) << slot;
        EXPECT_GT(lm::scoped_timer::time_deltas[slot], 0) << slot;
    }
    // The whole analysis spans its steps.
    EXPECT_GE(lm::scoped_timer::time_deltas[7], lm::scoped_timer::time_deltas[0]);
    lumora.analyzeBodies(lmtest::drawBodies({{1, 1, {230, 200, 180}}}));
    for (std::size_t slot = 7; slot <= 10; ++slot) EXPECT_GT(lm::scoped_timer::time_deltas[slot], 0) << slot;
    for (std::size_t slot = 11; slot < 16; ++slot) {
        EXPECT_EQ(lm::scoped_timer::time_points[slot], 0);
        EXPECT_EQ(lm::scoped_timer::time_deltas[slot], 0);
    }
}

void expectSameRecords(const std::vector<lm::Person>& a, const std::vector<lm::Person>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(a[i].id, b[i].id);
        EXPECT_EQ(a[i].boundingBox, b[i].boundingBox);
        EXPECT_EQ(a[i].detectionConfidence, b[i].detectionConfidence);
        EXPECT_EQ(a[i].age, b[i].age);
        EXPECT_EQ(a[i].gender, b[i].gender);
        EXPECT_EQ(a[i].headpose.yaw, b[i].headpose.yaw);
        EXPECT_EQ(a[i].headpose.pitch, b[i].headpose.pitch);
        EXPECT_EQ(a[i].headpose.roll, b[i].headpose.roll);
        EXPECT_EQ(a[i].headgaze.x, b[i].headgaze.x);
        EXPECT_EQ(a[i].headgaze.y, b[i].headgaze.y);
        EXPECT_EQ(a[i].worldPosition.x, b[i].worldPosition.x);
        EXPECT_EQ(a[i].worldPosition.z, b[i].worldPosition.z);
        EXPECT_EQ(a[i].distanceFromCamera, b[i].distanceFromCamera);
        EXPECT_EQ(a[i].smile, b[i].smile);
        EXPECT_EQ(a[i].faceMask, b[i].faceMask);
        EXPECT_EQ(a[i].emotions, b[i].emotions);
        EXPECT_EQ(a[i].isViewing, b[i].isViewing);
        EXPECT_EQ(a[i].isDwelling, b[i].isDwelling);
        EXPECT_EQ(a[i].detectionTime, b[i].detectionTime);
        EXPECT_EQ(a[i].detectionDuration, b[i].detectionDuration);
        EXPECT_EQ(a[i].totalViewingDuration, b[i].totalViewingDuration);
        EXPECT_EQ(a[i].currentViewingDuration, b[i].currentViewingDuration);
        EXPECT_EQ(a[i].totalDwellDuration, b[i].totalDwellDuration);
        EXPECT_EQ(a[i].currentDwellDuration, b[i].currentDwellDuration);
    }
}

using Schedule = lm::Lumora::LumoraImpl::Schedule;

// Runs a short scripted stream (faces that come, move, turn, vanish) through one facade.
std::vector<std::vector<lm::Person>> runScript(const lm::Settings& settings, std::optional<Schedule> forced,
                                               Schedule expected) {
    const std::vector<std::vector<DrawnFace>> script = {
        {{7, LOOKING}, {2, LOOKING_AWAY}, {5, {61, 150, 200}}, {0, {200, 220, 90}}},
        {{7, LOOKING_AWAY}, {2, LOOKING_AWAY}, {5, {61, 150, 200}}},
        {{8, LOOKING}, {2, LOOKING}, {5, {161, 100, 200}}, {9, {90, 90, 250}}},
        {},
        {{8, LOOKING}, {2, LOOKING}, {9, {90, 90, 250}}},
    };
    lm::clock::FakeClock clock;
    lm::Lumora::LumoraImpl lumora(settings);
    lumora.forceSchedule(forced);
    EXPECT_EQ(lumora.schedule(), expected);
    std::vector<std::vector<lm::Person>> frames;
    for (const auto& faces : script) {
        clock.advance(FRAME_INTERVAL);
        frames.push_back(lumora.analyzeFaces(lmtest::drawFaces(faces), false));
        if (expected == Schedule::SEQUENTIAL) {
            // One task after another on this thread: each starts after the previous ended.
            using lm::scoped_timer::time_deltas;
            using lm::scoped_timer::time_points;
            for (std::size_t t = 1; t < 6; ++t)
                EXPECT_GE(time_points[t + 1], time_points[t] + time_deltas[t] - 100'000) << t;
        }
    }
    EXPECT_EQ(frames[2].size(), 4u);
    return frames;
}

void expectSameRuns(const std::vector<std::vector<lm::Person>>& a, const std::vector<std::vector<lm::Person>>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t f = 0; f < a.size(); ++f) {
        SCOPED_TRACE(f);
        expectSameRecords(a[f], b[f]);
    }
}

lm::Settings modeSettings(const lmtest::ModelDir& models, lm::Settings::DnnTarget target) {
    lm::Settings s = models.settings();
    s.faceConfidenceThreshold = 0.5f;
    s.dnnTarget = target;
    return s;
}

// Through the schedule seam, on the CPU: only the order of the six tasks differs.
TEST(LumoraModes, ParallelAndSequentialScheduleGiveTheSameRecords) {
    const ProcessStateGuard guard;
    lmtest::ModelDir models;
    const lm::Settings cpu = modeSettings(models, lm::Settings::CPU);
    const auto parallel = runScript(cpu, std::nullopt, Schedule::PARALLEL);
    const auto sequential = runScript(cpu, Schedule::SEQUENTIAL, Schedule::SEQUENTIAL);
    expectSameRuns(parallel, sequential);
}

// GPU runs the six face tasks one after another, GPU_MT together; both on the OpenCL device
// (PoCL's CPU device here, selected by scripts/test).
TEST(LumoraModes, GpuTargetRunsSequentiallyAndAgreesWithGpuMt) {
    if (const auto& unavailable = lmtest::openClTargetUnavailableFromSeveralThreads()) GTEST_SKIP() << *unavailable;
    const ProcessStateGuard guard;
    lmtest::ModelDir models;
    const auto parallel = runScript(modeSettings(models, lm::Settings::GPU_MT), std::nullopt, Schedule::PARALLEL);
    const auto sequential = runScript(modeSettings(models, lm::Settings::GPU), std::nullopt, Schedule::SEQUENTIAL);
    expectSameRuns(parallel, sequential);
}

// The six face tasks share the records of the frame; each stage serialises its own network.
TEST(LumoraThreads, ParallelFaceTasksShareTheFrameRecords) {
    const ProcessStateGuard guard;
    lmtest::ModelDir models;
    lm::Settings s = models.settings();
    s.faceConfidenceThreshold = 0.5f;
    s.numThreads = 6;  // a thread for each face task: one thread would run them one after another
    lm::Lumora lumora(s);
    const auto frame = lmtest::drawFaces({{7, LOOKING}, {2, LOOKING_AWAY}, {5, {61, 150, 200}}, {9, {90, 90, 250}}});
    for (int i = 0; i < 10; ++i) {
        const auto people = lumora.analyze(frame);
        ASSERT_EQ(people.size(), 4u);
        for (const lm::Person& p : people) {
            EXPECT_NE(p.id, 0u);
            EXPECT_GE(p.age, 0);
            EXPECT_NE(p.headpose.yaw, lm::UNSET_ANGLE);
            EXPECT_GE(p.smile, 0.0f);
            EXPECT_GE(p.faceMask, 0.0f);
            EXPECT_GE(p.emotions[0], 0.0f);
        }
    }
}

}  // namespace
