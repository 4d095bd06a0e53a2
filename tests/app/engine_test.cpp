#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/ocl.hpp>

#include "hx_engine.h"
#include "support/csv_parse.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/model_tool.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"
#include "support/video_file_settings.h"
#include "support/wait_until.h"

namespace {

using namespace std::chrono_literals;
using Code = hx::StatusHandler::APIErrorCode;

// A file that does not open makes OpenCV try every capture back end, gPhoto2's too, which
// scans USB for cameras and never frees its camera list (from plug-ins it unloads, so no
// suppression can name them). No test here needs it; as in the library's tests, it is off
// unless the environment says otherwise.
const bool GPHOTO2_OFF = ::setenv("OPENCV_VIDEOIO_PRIORITY_GPHOTO2", "0", 0) == 0;

using lmtest::BODY_SQUARE;
using lmtest::FACE_SQUARE;
using lmtest::waitUntil;
// On slot 7 of the lower right quarter of the frame, and on no slot of the whole frame.
const cv::Rect FACE_IN_LOWER_RIGHT_QUARTER(490, 360, 60, 60);

// The data lines of every CSV file in a directory.
std::vector<std::string> csvDataLines(const std::filesystem::path& directory) {
    std::vector<std::string> lines;
    if (!std::filesystem::exists(directory)) return lines;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        std::ifstream in(entry.path());
        std::string line;
        bool header = true;
        while (std::getline(in, line)) {
            if (!header && !line.empty()) lines.push_back(line);
            header = false;
        }
    }
    return lines;
}

class EngineTest : public ::testing::Test {
protected:
    EngineTest() {
        // OpenCV brings up OpenCL on the first thread that asks for it, and the OpenCL
        // runtime here (PoCL, through LLVM) then gives that thread an alternate signal stack
        // of its own, which AddressSanitizer fails to release when the thread ends. Asked
        // here, that happens on the main thread, not on the engine's threads.
        (void)cv::ocl::useOpenCL();
        std::filesystem::create_directories(mPeopleCountDir);
        std::filesystem::create_directories(mRawDir);
    }

    hx::Settings settingsFor(const std::string& video) const {
        hx::Settings s = lmtest::videoFileSettings(video, false);
        s.peopleCountEnabled = true;
        s.statusPushEnabled = true;
        s.statusPushUrl = baseUrl() + "/status";
        s.rawPushEnabled = true;
        s.rawPushUrl = baseUrl() + "/raw";
        s.peopleCountCsvEnabled = true;
        s.peopleCountCsvPath = mPeopleCountDir.string();
        return s;
    }

    std::string video(const std::string& name, int frames, double fps, const std::vector<cv::Rect>& squares) {
        const std::string path = mDir.file(name);
        lmtest::writeSquaresVideo(path, frames, fps, squares);
        return path;
    }

    std::vector<std::string> bodiesTo(const std::string& path) const {
        std::vector<std::string> out;
        for (const auto& request : mReceiver.requests())
            if (request.uri == path) out.push_back(request.body);
        return out;
    }

    std::vector<int> statusCodes() const {
        std::vector<int> codes;
        const std::regex code("\"status_code\"\\s*:\\s*(\\d+)");
        for (const auto& body : bodiesTo("/status")) {
            std::smatch match;
            if (std::regex_search(body, match, code)) codes.push_back(std::stoi(match[1]));
        }
        return codes;
    }

    // Face boxes of every raw document, in the order received.
    std::vector<cv::Rect> rawFaceBoxes() const {
        std::vector<cv::Rect> boxes;
        const std::regex position("\"position\":\\{\"x\":(-?\\d+),\"y\":(-?\\d+),\"w\":(\\d+),\"h\":(\\d+)\\}");
        for (const auto& body : bodiesTo("/raw"))
            for (auto it = std::sregex_iterator(body.begin(), body.end(), position); it != std::sregex_iterator(); ++it)
                boxes.emplace_back(std::stoi((*it)[1]), std::stoi((*it)[2]), std::stoi((*it)[3]), std::stoi((*it)[4]));
        return boxes;
    }

    // People-count lines: one per flush while the periods are an hour long.
    std::vector<std::vector<std::string>> peopleCountLines() const {
        std::vector<std::vector<std::string>> rows;
        for (const auto& line : csvDataLines(mPeopleCountDir)) rows.push_back(lmtest::parseCsvLine(line));
        return rows;
    }

    std::string baseUrl() const { return "http://127.0.0.1:" + std::to_string(mReceiver.port()); }

    static bool processing(const hx::Engine& engine) { return engine.getStatusHandler().isProcessing(); }

    lmtest::TempDir mDir;
    std::filesystem::path mPeopleCountDir = mDir.path() / "count";
    std::filesystem::path mRawDir = mDir.path() / "raw";
    lmtest::HttpReceiver mReceiver;
};

TEST_F(EngineTest, StartAndStopWithTheirNoOps) {
    lmtest::LogCapture log;
    hx::Engine engine(settingsFor(video("looping.avi", 20, 25, {FACE_SQUARE})), "127.0.0.1");
    EXPECT_FALSE(processing(engine));

    engine.stop();  // idle: nothing
    EXPECT_EQ(log.count("Stop"), 0u);

    engine.start();
    engine.start();  // running: nothing
    EXPECT_TRUE(processing(engine));
    EXPECT_EQ(log.count("Start engine"), 1u);
    EXPECT_FALSE(engine.getStatusHandler().hasEngineInitError());
    ASSERT_TRUE(mReceiver.waitForRequests(3));  // the open event and some frames

    engine.stop();
    EXPECT_FALSE(processing(engine));
    EXPECT_EQ(log.count("Stop"), 1u);
    EXPECT_EQ(peopleCountLines().size(), 1u);
    engine.stop();
    EXPECT_EQ(log.count("Stop"), 1u);
    EXPECT_EQ(peopleCountLines().size(), 1u);
}

TEST_F(EngineTest, EndOfFileFlushesOnceAndTheFilePlaysAgainAfterARestart) {
    lmtest::LogCapture log;
    hx::Engine engine(settingsFor(video("short.avi", 6, 25, {FACE_SQUARE})), "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
    EXPECT_EQ(log.count("Video Ended"), 1u);
    EXPECT_EQ(peopleCountLines().size(), 1u);
    const auto firstRunBoxes = rawFaceBoxes().size();
    EXPECT_GE(firstRunBoxes, 5u);  // every frame shows the face; the first may go by unanalysed

    engine.stop();  // already off: no second flush
    EXPECT_EQ(peopleCountLines().size(), 1u);

    engine.start();
    ASSERT_TRUE(waitUntil([&] { return log.count("Video Ended") == 2; }));
    ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
    EXPECT_EQ(peopleCountLines().size(), 2u);
    ASSERT_TRUE(waitUntil([&] { return rawFaceBoxes().size() >= 2 * firstRunBoxes - 1; }));
    for (const auto& box : rawFaceBoxes()) EXPECT_EQ(box, cv::Rect(340, 240, 121, 121));
    EXPECT_FALSE(engine.getStatusHandler().hasEngineInitError());
}

TEST_F(EngineTest, PauseBetweenRunsIsNotCountedAsTimeSeen) {
    auto settings = settingsFor(video("pause.avi", 10, 25, {FACE_SQUARE}));
    settings.loopVideo = true;
    hx::Engine engine(settings, "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !rawFaceBoxes().empty(); }));
    engine.stop();
    std::this_thread::sleep_for(300ms);  // let the last documents of the run arrive
    const auto firstRun = bodiesTo("/raw").size();
    std::this_thread::sleep_for(1500ms);
    engine.start();
    ASSERT_TRUE(waitUntil([&] {
        const auto raw = bodiesTo("/raw");
        return raw.size() > firstRun && raw.back().find("\"detection_duration\"") != std::string::npos;
    }));
    engine.stop();
    const std::regex duration("\"detection_duration\":(\\d+)");
    const auto raw = bodiesTo("/raw");
    for (std::size_t i = firstRun; i < raw.size(); ++i) {
        std::smatch match;
        if (!std::regex_search(raw[i], match, duration)) continue;
        EXPECT_LT(std::stoll(match[1]), 1500) << "the first face after the restart";
        break;
    }
}

TEST_F(EngineTest, DestroyingARunningEngineEndsTheRunLikeAStop) {
    auto settings = settingsFor(video("endless.avi", 10, 25, {FACE_SQUARE}));
    settings.loopVideo = true;
    const auto run = [&](bool stopFirst) {
        hx::Engine engine(settings, "127.0.0.1");
        engine.start();
        ASSERT_TRUE(waitUntil([&] { return !rawFaceBoxes().empty(); }));
        if (stopFirst) engine.stop();
    };
    // The data manager adds a final people count of its own when it goes.
    run(true);
    const auto afterStoppedEngine = peopleCountLines().size();
    run(false);
    EXPECT_EQ(peopleCountLines().size(), 2 * afterStoppedEngine);
}

TEST_F(EngineTest, SourceThatCannotBeOpened) {
    lmtest::LogCapture log;
    hx::Engine engine(settingsFor(mDir.file("missing.avi")), "127.0.0.1");
    engine.start();
    EXPECT_FALSE(processing(engine));
    EXPECT_EQ(log.count("Cannot start engine: Could not open source"), 1u);
    EXPECT_EQ(log.count("Start engine"), 0u);
    const auto error = engine.getStatusHandler().getEngineInitError();
    EXPECT_EQ(error.code, Code::VIDEO_SOURCE_ERROR);
    ASSERT_TRUE(mReceiver.waitForRequests(1));
    EXPECT_EQ(statusCodes(), std::vector<int>{1011});

    // Still usable once the file is there.
    lmtest::writeSquaresVideo(mDir.file("missing.avi"), 4, 25, {});
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return log.count("Video Ended") == 1; }));
    EXPECT_EQ(engine.getStatusHandler().getEngineInitError().code, Code::SUCCESS);
}

TEST_F(EngineTest, UnknownSourceTypeReachesTheCaller) {
    auto settings = settingsFor(video("any.avi", 2, 25, {}));
    settings.sourceType = static_cast<hx::Settings::SourceType>(7);
    hx::Engine engine(settings, "127.0.0.1");
    EXPECT_THROW(engine.start(), std::invalid_argument);
    EXPECT_FALSE(processing(engine));
}

TEST_F(EngineTest, PeopleCountedOverAFile) {
    // Three seconds of one body: long enough for the aggregator to keep the track.
    hx::Engine engine(settingsFor(video("body.avi", 30, 10, {BODY_SQUARE})), "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
    const auto rows = peopleCountLines();
    ASSERT_EQ(rows.size(), 1u);
    // time stamp, total count, period count, total duration, period duration
    EXPECT_EQ(rows[0][1], "1");
    EXPECT_GE(std::stoll(rows[0][3]), 1000);

    // The next run starts its totals at zero; the track stays in the aggregator, so it is
    // reported again with the run that ends it... unless it has finished by then.
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return peopleCountLines().size() == 2; }));
    EXPECT_EQ(peopleCountLines()[1][1], "1");
}

TEST_F(EngineTest, RegionOfInterestCutsTheFrameAndBoxesMoveBack) {
    const std::string path = video("quarter.avi", 8, 25, {FACE_IN_LOWER_RIGHT_QUARTER});
    {
        hx::Engine engine(settingsFor(path), "127.0.0.1");
        engine.start();
        ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
        EXPECT_TRUE(rawFaceBoxes().empty());  // the whole frame shows no face
    }
    auto settings = settingsFor(path);
    settings.ROI_X = settings.ROI_Y = settings.ROI_W = settings.ROI_H = 0.5f;
    hx::Engine engine(settings, "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
    EXPECT_EQ(engine.getRoiAbs(), cv::Rect(320, 240, 320, 240));
    const auto boxes = rawFaceBoxes();
    ASSERT_FALSE(boxes.empty());
    for (const auto& box : boxes) EXPECT_EQ(box, cv::Rect(490, 360, 61, 61));
}

TEST_F(EngineTest, RegionOfInterestLeavingATurnedFrameIsCut) {
    auto settings = settingsFor(video("turned.avi", 6, 25, {FACE_SQUARE}));
    settings.rotateMode = hx::Settings::ROTATE_90;  // 480 x 640 after the turn
    settings.ROI_X = 0.6f;
    settings.ROI_Y = 0.5f;
    settings.ROI_W = 0.4f;
    settings.ROI_H = 0.5f;
    hx::Engine engine(settings, "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
    EXPECT_EQ(engine.getRoiAbs(), cv::Rect(384, 240, 256, 240));
    EXPECT_FALSE(engine.getStatusHandler().hasEngineInitError());
    EXPECT_EQ(peopleCountLines().size(), 1u);  // ended by the file, not by an error
}

TEST_F(EngineTest, RelativeSettingsBecomePixelsOfTheSource) {
    auto settings = settingsFor(video("pixels.avi", 2, 25, {}));
    settings.ROI_X = 0.33f;  // 211.2
    settings.ROI_Y = 0.33f;  // 158.4
    settings.ROI_W = 0.5f;
    settings.ROI_H = 0.5f;
    settings.maxFaceSize = 0.5f;
    settings.minFaceSize = 0.33f;
    settings.zoomCenterOffset_X = 0.33f;
    settings.zoomCenterOffset_Y = 0.1f;  // 48.0000007
    hx::Engine engine(settings, "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
    EXPECT_EQ(engine.getRoiAbs(), cv::Rect(212, 159, 320, 240));
    EXPECT_EQ(engine.getZoomCenterOffsetAbs(), cv::Point(212, 48));
    const lm::Settings library = engine.getSettings();
    EXPECT_EQ(library.maxFaceSize, 320);
    EXPECT_EQ(library.minFaceSize, 212);
    EXPECT_FLOAT_EQ(engine.getSettings().maxFaceSize, 0.5f);  // the fractions stay
}

TEST_F(EngineTest, SettingsWhileRunningRestartInOrder) {
    lmtest::LogCapture log;
    const std::string first = video("first.avi", 10, 25, {FACE_SQUARE});
    const std::string second = video("second.avi", 10, 25, {FACE_SQUARE});
    auto settings = settingsFor(first);
    settings.loopVideo = true;
    hx::Engine engine(settings, "127.0.0.1");
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return !rawFaceBoxes().empty(); }));

    auto changed = settings;
    changed.videoFilePath = second;
    changed.instanceName = "changed";
    engine.setSettings(changed);
    EXPECT_TRUE(processing(engine));
    EXPECT_EQ(engine.getSettings().instanceName, "changed");
    EXPECT_EQ(peopleCountLines().size(), 1u);  // the first run's flush

    std::vector<std::string> steps;
    for (const auto& text : log.texts())
        if (text == "Stop" || text == "Start engine" || text.rfind("Opening file source", 0) == 0)
            steps.push_back(text);
    const std::vector<std::string> expected = {
        "Opening file source : " + first,  "Start engine", "Stop", "Opening file source : " + second,
        "Opening file source : " + second, "Start engine"};
    EXPECT_EQ(steps, expected);
    ASSERT_TRUE(mReceiver.waitForRequests(3));
    ASSERT_TRUE(waitUntil([&] { return statusCodes().size() >= 3; }));
    EXPECT_EQ(statusCodes(), (std::vector<int>{1010, 1010, 1010}));
    engine.stop();
    EXPECT_EQ(peopleCountLines().size(), 2u);
}

TEST_F(EngineTest, SettingsWithASourceThatCannotBeOpenedLeaveProcessingOff) {
    lmtest::LogCapture log;
    auto settings = settingsFor(video("loop.avi", 10, 25, {}));
    settings.loopVideo = true;
    hx::Engine engine(settings, "127.0.0.1");
    engine.start();
    ASSERT_TRUE(processing(engine));

    auto broken = settings;
    broken.videoFilePath = mDir.file("missing.avi");
    engine.setSettings(broken);
    EXPECT_FALSE(processing(engine));
    EXPECT_EQ(engine.getSettings().videoFilePath, broken.videoFilePath);
    EXPECT_EQ(engine.getStatusHandler().getEngineInitError().code, Code::VIDEO_SOURCE_ERROR);
    EXPECT_EQ(log.count("Cannot start engine: Could not open source"), 1u);
    ASSERT_TRUE(waitUntil([&] { return statusCodes().size() >= 2; }));
    EXPECT_EQ(statusCodes(), (std::vector<int>{1010, 1011}));
}

// A model directory whose network of `base` is replaced by the tool's output for `options`.
std::string modelsWith(const lmtest::TempDir& dir, const std::string& name, const std::string& base,
                       const std::string& options, const std::string& writtenBase) {
    const std::string models = dir.file(name);
    std::filesystem::copy(lmtest::appTestNetworksDir(), models);
    const std::string replacement = dir.file(name + "-replacement");
    lmtest::writeModels(replacement, "--only " + writtenBase + " " + options);
    for (const std::string suffix : {".xml.enc", ".bin.enc", "_quantized.xml.enc", "_quantized.bin.enc"})
        std::filesystem::copy_file(replacement + "/" + writtenBase + suffix, models + "/" + base + suffix,
                                   std::filesystem::copy_options::overwrite_existing);
    return models;
}

TEST_F(EngineTest, ErrorsRaisedInsideAnalysisEndTheRunAsRuntimeErrors) {
    const struct {
        std::string name;
        std::string base, options, writtenBase;
        std::vector<cv::Rect> squares;
        std::string errorText;  // part of the recorded runtime error
    } cases[] = {
        // A body encoder of the wrong length: the library's own std::runtime_error.
        {"wrong-length encoder",
         "bodyencoder",
         "--encoder-values 256",
         "bodyencoder",
         {BODY_SQUARE},
         "Encoder network not compatible with this version of the SDK"},
        // A face estimator whose named outputs do not exist: OpenCV's cv::Exception.
        {"estimator without its outputs", "agegender", "", "smile", {FACE_SQUARE}, "OpenCV("},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lmtest::LogCapture log;
        auto settings = settingsFor(video(c.base + ".avi", 10, 25, c.squares));
        settings.loopVideo = true;
        settings.neuralNetworksPath = modelsWith(mDir, c.base + "-models", c.base, c.options, c.writtenBase);
        hx::Engine engine(settings, "127.0.0.1");
        const auto countsBefore = peopleCountLines().size();
        engine.start();
        ASSERT_TRUE(waitUntil([&] { return !processing(engine); }));
        const auto error = engine.getStatusHandler().getEngineInitError();
        EXPECT_EQ(error.code, Code::RUNTIME_ERROR);
        EXPECT_NE(error.description.find(c.errorText), std::string::npos) << error.description;
        EXPECT_EQ(log.countContaining("Exception occured on process frame: "), 1u);
        EXPECT_EQ(peopleCountLines().size(), countsBefore);  // no end-of-run work
        engine.stop();                                       // processing already off: nothing
        EXPECT_EQ(log.count("Stop"), 0u);
        ASSERT_TRUE(waitUntil([&] {
            const auto codes = statusCodes();
            return std::count(codes.begin(), codes.end(), 1020) >= 1;
        }));
    }
}

// Start, stop, settings and status reads from four threads at once on a looping file.
class EngineThreads : public EngineTest {};

TEST_F(EngineThreads, ConcurrentControlKeepsOneFlushPerRun) {
    lmtest::LogCapture log;
    auto settings = settingsFor(video("stress.avi", 10, 25, {FACE_SQUARE, BODY_SQUARE}));
    settings.loopVideo = true;
    settings.rawPushEnabled = false;
    settings.statusPushEnabled = false;
    hx::Engine engine(settings, "127.0.0.1");

    std::atomic<bool> done{false};
    std::thread starter([&] {
        while (!done) {
            engine.start();
            std::this_thread::sleep_for(30ms);
        }
    });
    std::thread stopper([&] {
        while (!done) {
            std::this_thread::sleep_for(70ms);
            engine.stop();
        }
    });
    std::thread configurer([&] {
        bool flip = false;
        while (!done) {
            std::this_thread::sleep_for(250ms);
            auto changed = settings;
            flip = !flip;
            changed.flipHorizontally = flip;
            changed.peopleCountEnabled = !flip;
            changed.ROI_W = changed.ROI_H = flip ? 0.5f : 0.0f;
            engine.setSettings(changed);
        }
    });
    std::thread reader([&] {
        while (!done) {
            const auto& status = engine.getStatusHandler();
            (void)status.isProcessing();
            (void)status.getEngineInitError();
            (void)engine.getFps();
            (void)engine.getRoiAbs();
            (void)engine.getSettings();
            std::this_thread::sleep_for(1ms);
        }
    });
    std::this_thread::sleep_for(10s);
    done = true;
    for (auto* t : {&starter, &stopper, &configurer, &reader}) t->join();
    engine.stop();

    EXPECT_FALSE(processing(engine));
    EXPECT_EQ(engine.getStatusHandler().getEngineInitError().code, Code::SUCCESS);
    EXPECT_EQ(log.countContaining("Exception occured"), 0u);
    const auto runs = log.count("Start engine");
    EXPECT_GT(runs, 2u);
    EXPECT_EQ(peopleCountLines().size(), runs);
}

}  // namespace
