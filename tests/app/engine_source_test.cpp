#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <fmt/chrono.h>
#include <fmt/format.h>
#include <opencv2/core/ocl.hpp>

#include "hx_engine.h"
#include "support/csv_parse.h"
#include "support/fake_camera.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/scripted_people.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"
#include "support/video_file_settings.h"
#include "support/wait_until.h"

namespace {

using lmtest::waitUntil;

const std::string LOST = "Video stream lost .. trying to reconnect";
const std::string RECONNECTED = "Video stream reconnected";

// A capture pipeline served on this machine: it gives `buffers` frames and then ends, as a
// stream that drops does; opened again, it gives as many once more.
std::string droppingStream(int buffers) {
    return "videotestsrc num-buffers=" + std::to_string(buffers) +
           " ! video/x-raw,width=160,height=120,framerate=30/1 ! videoconvert ! appsink";
}

hx::Settings streamSettings(const std::string& url) {
    hx::Settings settings = lmtest::videoFileSettings("", false);
    settings.sourceType = hx::Settings::VIDEO_STREAM;
    settings.videoStreamUrl = url;
    return settings;
}

// The status codes pushed so far, in the order received.
std::vector<int> statusCodes(const lmtest::HttpReceiver& receiver) {
    std::vector<int> codes;
    const std::regex code("\"status_code\"\\s*:\\s*(\\d+)");
    for (const auto& request : receiver.requests()) {
        std::smatch match;
        if (request.uri == "/status" && std::regex_search(request.body, match, code))
            codes.push_back(std::stoi(match[1]));
    }
    return codes;
}

// The data rows of one daily CSV file of the directory (its header left out), split.
std::vector<std::vector<std::string>> csvRows(const std::filesystem::path& directory, const std::string& tag) {
    std::vector<std::vector<std::string>> rows;
    const auto lines = lmtest::readLines(lmtest::fileStartingWith(directory, tag + "_hx_"));
    for (std::size_t k = 1; k < lines.size(); ++k) rows.push_back(lmtest::parseCsvLine(lines[k]));
    return rows;
}

constexpr std::size_t ID_COLUMN = 2;  // of the raw and the aggregated rows

class EngineSource : public ::testing::Test {
protected:
    // As in the engine's other tests: OpenCL is brought up on the main thread, not on the
    // engine's.
    EngineSource() { (void)cv::ocl::useOpenCL(); }
};

TEST_F(EngineSource, ALostStreamIsReportedOnceAndTheRunGoesOnWhenItReturns) {
    lmtest::LogCapture log;
    hx::Engine engine(streamSettings(droppingStream(5)), "127.0.0.1");
    engine.start();
    ASSERT_TRUE(engine.getStatusHandler().isProcessing());
    EXPECT_EQ(log.count("Source resolution : 160x120 @ 30 fps"), 1u);

    ASSERT_TRUE(waitUntil([&] { return log.count(LOST) >= 1; }));
    ASSERT_TRUE(waitUntil([&] { return log.count(RECONNECTED) >= 1; }));
    // Each drop is told once, however often the engine polls while it waits to reconnect,
    // and each return once: the second drop comes after the first return.
    ASSERT_TRUE(waitUntil([&] { return log.count(LOST) >= 2; }));
    EXPECT_LE(log.count(RECONNECTED), log.count(LOST));
    EXPECT_GE(log.count(RECONNECTED) + 1, log.count(LOST));
    // A stream that drops is no failed source: the run is still on, with no error.
    EXPECT_TRUE(engine.getStatusHandler().isProcessing());
    EXPECT_EQ(log.count("Failed loading frame"), 0u);
    EXPECT_EQ(log.count("Video Ended"), 0u);
    EXPECT_EQ(engine.getStatusHandler().getEngineInitError().code, hx::StatusHandler::APIErrorCode::SUCCESS);
    EXPECT_FALSE(engine.getCurrentFrame().empty());

    // A stop while the stream is away ends the run at once.
    const auto stopStarted = std::chrono::steady_clock::now();
    engine.stop();
    EXPECT_FALSE(engine.getStatusHandler().isProcessing());
    EXPECT_LT(std::chrono::steady_clock::now() - stopStarted, std::chrono::seconds(2));
}

// Sources that open yet tell no usable frame size: the run must not start on them.
TEST_F(EngineSource, ASourceThatOpensWithNoFrameSizeIsASourceError) {
    lmtest::TempDir dir;
    const struct {
        const char* name;
        hx::Settings settings;
        const char* resolutionLine;
    } cases[] = {
        // A picture whose header gives 0 x 0 opens as a one-frame video of that size.
        {"empty picture", lmtest::videoFileSettings(dir.file("empty.ppm"), false), "Source resolution : 0x0 @ 25 fps"},
        // A pipeline whose output has no video format leaves the size unknown.
        {"formatless pipeline", streamSettings("filesrc location=/dev/null ! appsink"), nullptr},
    };
    std::ofstream(dir.file("empty.ppm")) << "P6\n0 0\n255\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lmtest::LogCapture log;
        hx::Engine engine(c.settings, "127.0.0.1");
        engine.start();
        if (c.resolutionLine) {
            EXPECT_EQ(log.count(c.resolutionLine), 1u);
        }
        EXPECT_EQ(log.count("Cannot start engine: Error opening source. Cannot get resolution info"), 1u);
        EXPECT_EQ(log.count("Start engine"), 0u);
        EXPECT_FALSE(engine.getStatusHandler().isProcessing());
        EXPECT_EQ(engine.getStatusHandler().getEngineInitError().code,
                  hx::StatusHandler::APIErrorCode::VIDEO_SOURCE_ERROR);
    }
}

// A camera that gives two seconds of frames showing one face and then no more, as one that is
// unplugged does: the run ends by itself with what it collected written out, the source is
// reported bad, and the engine starts again on the camera as before.
TEST_F(EngineSource, ACameraThatStopsGivingFramesEndsTheRunAndKeepsWhatItCollected) {
    lmtest::TempDir dir;
    const std::string video = dir.file("camera.avi");
    // Long enough for the face to count as a person (a track of a second at least).
    lmtest::writeSquaresVideo(video, 50, 25, {lmtest::FACE_SQUARE});
    lmtest::FakeCamera camera(video);
    lmtest::HttpReceiver receiver;
    hx::Settings settings = lmtest::videoFileSettings("", false);
    settings.sourceType = hx::Settings::WEBCAM;
    settings.webcamIndex = 2;
    settings.statusPushEnabled = true;
    settings.statusPushUrl = "http://127.0.0.1:" + std::to_string(receiver.port()) + "/status";
    settings.rawCsvEnabled = settings.aggregatedCsvEnabled = settings.peopleCountCsvEnabled = true;
    settings.rawCsvPath = settings.aggregatedCsvPath = settings.peopleCountCsvPath = dir.path().string();
    settings.peopleCountEnabled = true;

    lmtest::LogCapture log;
    hx::Engine engine(settings, "127.0.0.1");
    const auto& status = engine.getStatusHandler();
    std::size_t rawRowsBefore = 0;
    for (std::size_t run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        engine.start();
        ASSERT_TRUE(waitUntil([&] { return log.count("Failed loading frame") == run; }));
        ASSERT_TRUE(waitUntil([&] { return !status.isProcessing(); }));
        EXPECT_EQ(log.count("Start engine"), run);
        EXPECT_EQ(log.count("Video Ended"), 0u);
        EXPECT_EQ(status.getEngineInitError().code, hx::StatusHandler::APIErrorCode::VIDEO_SOURCE_ERROR);
        ASSERT_TRUE(waitUntil([&] { return statusCodes(receiver).size() == 2 * run; }));
        EXPECT_EQ(statusCodes(receiver).back(), 1011);

        // Every face row of the run belongs to one track, and that track's open aggregation
        // was written when the run ended, as was the run's people count.
        const auto raw = csvRows(dir.path(), "raw");
        const auto aggregated = csvRows(dir.path(), "aggregated");
        ASSERT_GT(raw.size(), rawRowsBefore);
        ASSERT_EQ(aggregated.size(), run);
        std::set<std::string> rawIds;
        for (std::size_t k = rawRowsBefore; k < raw.size(); ++k) rawIds.insert(raw[k].at(ID_COLUMN));
        EXPECT_EQ(rawIds, std::set<std::string>{aggregated.back().at(ID_COLUMN)});
        EXPECT_EQ(csvRows(dir.path(), "people_count").size(), run);
        rawRowsBefore = raw.size();
    }
    EXPECT_EQ(statusCodes(receiver), (std::vector<int>{1010, 1011, 1010, 1011}));
    // Each start probes the camera and then opens it for the run.
    EXPECT_EQ(camera.openedIndices(), (std::vector<int>{2, 2, 2, 2}));
}

// A camera that fails while the run's last lines cannot be written: the operator still hears
// that the camera failed, and the write failure is logged. The people count file is the full
// device, so the first run's end closes it after a failed line; then its directory becomes a
// plain file, so the second run's end cannot open it again and the flush throws.
TEST_F(EngineSource, ACameraFailureIsReportedWhenTheRunsLastLinesCannotBeWritten) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    lmtest::TempDir dir;
    const std::string video = dir.file("camera.avi");
    lmtest::writeSquaresVideo(video, 10, 25, {lmtest::FACE_SQUARE});
    lmtest::FakeCamera camera(video);
    lmtest::HttpReceiver receiver;
    const std::filesystem::path countDir = dir.path() / "count";
    std::filesystem::create_directory(countDir);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    const std::filesystem::path countFile = countDir / fmt::format("people_count_hx_{:%Y-%m-%d}.csv", local);
    std::filesystem::create_symlink("/dev/full", countFile);

    hx::Settings settings = lmtest::videoFileSettings("", false);
    settings.sourceType = hx::Settings::WEBCAM;
    settings.statusPushEnabled = true;
    settings.statusPushUrl = "http://127.0.0.1:" + std::to_string(receiver.port()) + "/status";
    settings.peopleCountEnabled = settings.peopleCountCsvEnabled = true;
    settings.peopleCountCsvPath = countDir.string();

    lmtest::LogCapture log;
    hx::Engine engine(settings, "127.0.0.1");
    const auto& status = engine.getStatusHandler();
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return log.count("Failed loading frame") == 1u; }));
    ASSERT_TRUE(waitUntil([&] { return statusCodes(receiver).size() == 2u; }));
    ASSERT_EQ(log.countContaining("Cannot write CSV file : " + countFile.string()), 1u);

    std::filesystem::remove_all(countDir);
    std::ofstream(countDir) << "in the way";
    engine.start();
    ASSERT_TRUE(waitUntil([&] { return log.count("Failed loading frame") == 2u; }));
    // The flush failure ends the run as a runtime error, pushed last.
    ASSERT_TRUE(waitUntil([&] { return statusCodes(receiver).back() == 1020; }));
    EXPECT_EQ(statusCodes(receiver), (std::vector<int>{1010, 1011, 1010, 1011, 1020}));
    EXPECT_EQ(log.count("Exception occured on process frame: Cannot open csv file : " + countFile.string()), 1u);
    EXPECT_FALSE(status.isProcessing());
    EXPECT_EQ(status.getEngineInitError().code, hx::StatusHandler::APIErrorCode::VIDEO_SOURCE_ERROR);
    std::filesystem::remove(countDir);
}

}  // namespace
