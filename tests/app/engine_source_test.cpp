#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>

#include <opencv2/core/ocl.hpp>

#include "hx_engine.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
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

}  // namespace
