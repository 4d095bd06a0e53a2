#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "lm_sourcehandler_internal.h"
#include "lumora/lm_sourcehandler.h"
#include "support/fake_camera.h"
#include "support/http_file_server.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"

namespace {

using namespace std::chrono_literals;
using lm::help::SourceHandler;
using Impl = SourceHandler::SourceHandlerImpl;
using Clock = std::chrono::steady_clock;

constexpr int SMALL_VIDEO_FRAMES = 5;

// Polls until the predicate holds for a result or the (generous) time runs out; returns
// the last result.
template <typename Handler>
SourceHandler::FrameResult pollUntil(Handler& handler,
                                     const std::function<bool(const SourceHandler::FrameResult&)>& done,
                                     std::chrono::milliseconds limit = 15000ms,
                                     std::chrono::milliseconds interval = 2ms) {
    const auto end = Clock::now() + limit;
    SourceHandler::FrameResult result = handler.getNextFrame();
    while (!done(result) && Clock::now() < end) {
        std::this_thread::sleep_for(interval);
        result = handler.getNextFrame();
    }
    return result;
}

bool isNew(const SourceHandler::FrameResult& r) { return r.status == SourceHandler::NEW_FRAME; }
// Anything but "nothing new yet".
bool isNews(const SourceHandler::FrameResult& r) {
    return r.status != SourceHandler::NO_NEW_FRAME && r.status != SourceHandler::NO_FRAME_YET;
}

std::string pipeline(int buffers) {
    return "videotestsrc num-buffers=" + std::to_string(buffers) +
           " ! video/x-raw,width=160,height=120,framerate=30/1 ! videoconvert ! appsink";
}

class SourceHandlerThreads : public ::testing::Test {
protected:
    void SetUp() override {
        fastVideo = dir.file("fast.avi");
        slowVideo = dir.file("slow.avi");
        lmtest::writeTestVideo(fastVideo, SMALL_VIDEO_FRAMES, 240.0);  // above 200: default pace
        lmtest::writeTestVideo(slowVideo, SMALL_VIDEO_FRAMES, 25.0);
    }

    lmtest::TempDir dir;
    std::string fastVideo;
    std::string slowVideo;
};

TEST(SourceHandler, BeforeStartNothingIsReadAndTheKindFollowsTheConstructor) {
    SourceHandler camera(0, {640, 480});
    SourceHandler file("/nowhere.avi", true, true);
    SourceHandler stream("rtsp://127.0.0.1:1/x");
    EXPECT_TRUE(camera.isUsbCamera());
    EXPECT_FALSE(camera.isVideoFile() || camera.isVideoStream());
    EXPECT_TRUE(file.isVideoFile());
    EXPECT_FALSE(file.isUsbCamera() || file.isVideoStream());
    EXPECT_TRUE(stream.isVideoStream());
    EXPECT_FALSE(stream.isUsbCamera() || stream.isVideoFile());
    for (SourceHandler* handler : {&camera, &file, &stream}) {
        const auto result = handler->getNextFrame();
        EXPECT_EQ(result.status, SourceHandler::NO_FRAME_YET);
        EXPECT_EQ(result.frameNumber, 0u);
        EXPECT_TRUE(result.frame.empty());
        EXPECT_EQ(handler->getSourceResolution(), cv::Size(0, 0));
        handler->stop();  // stopping a stopped handler does nothing
    }
    EXPECT_EQ(file.getSourceFps(), 30);    // unknown rate: 33 ms for a file
    EXPECT_EQ(stream.getSourceFps(), 62);  // 16 ms otherwise
}

TEST(SourceHandler, OpenErrorsLeaveTheHandlerStopped) {
    SourceHandler missingFile("/nonexistent/video.avi", false, false);
    SourceHandler noCamera(63, {0, 0});  // the real V4L2 back end; no such device here
    for (SourceHandler* handler : {&missingFile, &noCamera}) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                handler->start();
                FAIL() << "start should throw";
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "Could not open source");
            }
        }
        EXPECT_EQ(handler->getNextFrame().status, SourceHandler::NO_FRAME_YET);
        EXPECT_EQ(handler->getSourceResolution(), cv::Size(0, 0));
    }

    Impl unknownKind("/nonexistent/video.avi", false, false);
    unknownKind.setSourceKindForTest(7);
    try {
        unknownKind.start();
        FAIL() << "start should throw";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unhandled source type.");
    }
}

TEST_F(SourceHandlerThreads, FileIsPacedAndEndsWithRisingFrameNumbers) {
    SourceHandler handler(fastVideo, false, false);
    const auto started = Clock::now();
    handler.start();
    EXPECT_EQ(handler.getSourceResolution(), cv::Size(160, 120));
    EXPECT_EQ(handler.getSourceFps(), 30);  // 240 fps is not believed: 33 ms

    std::vector<std::uint32_t> newNumbers;
    std::vector<int> newIndices;
    std::uint32_t lastNumber = 0;
    auto result = handler.getNextFrame();
    while (result.status != SourceHandler::VIDEO_ENDED && Clock::now() < started + 10s) {
        if (result.status == SourceHandler::NEW_FRAME) {
            newNumbers.push_back(result.frameNumber);
            newIndices.push_back(lmtest::videoFrameIndex(result.frame, SMALL_VIDEO_FRAMES));
            // Taken: the same number and no picture until the next read.
            const auto again = handler.getNextFrame();
            EXPECT_EQ(again.status, SourceHandler::NO_NEW_FRAME);
            EXPECT_EQ(again.frameNumber, result.frameNumber);
            EXPECT_TRUE(again.frame.empty());
        }
        EXPECT_GE(result.frameNumber, lastNumber);
        lastNumber = result.frameNumber;
        std::this_thread::sleep_for(1ms);
        result = handler.getNextFrame();
    }
    // A poller starved by a loaded machine may miss a frame, but each frame it gets is the
    // file frame its number says, and the end comes after the last frame.
    ASSERT_FALSE(newNumbers.empty());
    for (std::size_t i = 0; i < newNumbers.size(); ++i) {
        EXPECT_EQ(newIndices[i] + 1, static_cast<int>(newNumbers[i]));
        if (i > 0) {
            EXPECT_GT(newNumbers[i], newNumbers[i - 1]);
        }
    }
    EXPECT_LE(newNumbers.back(), static_cast<std::uint32_t>(SMALL_VIDEO_FRAMES));
    ASSERT_EQ(result.status, SourceHandler::VIDEO_ENDED);
    EXPECT_GE(result.frameNumber, SMALL_VIDEO_FRAMES + 1u);
    EXPECT_TRUE(result.frame.empty());

    // The ended file is read on every delay; each empty read counts.
    const auto later = pollUntil(handler, [&](const auto& r) { return r.frameNumber >= 8; });
    EXPECT_EQ(later.status, SourceHandler::VIDEO_ENDED);
    EXPECT_GE(later.frameNumber, 8u);
    // Reads are at least one delay apart: never more reads than the time allows.
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_LE(handler.getNextFrame().frameNumber, elapsedMs / 33 + 1);
    handler.stop();
}

TEST_F(SourceHandlerThreads, A25FpsFileIsReadAtMostEvery40Milliseconds) {
    SourceHandler handler(slowVideo, true, false);
    const auto started = Clock::now();
    handler.start();
    EXPECT_EQ(handler.getSourceFps(), 25);
    const auto result = pollUntil(handler, [](const auto& r) { return r.frameNumber >= 4; });
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_GE(result.frameNumber, 4u);
    EXPECT_LE(handler.getNextFrame().frameNumber, elapsedMs / 40 + 1);
}

TEST_F(SourceHandlerThreads, LoopingFileGoesOnFromTheFirstFrameWithoutAnEmptyFrame) {
    SourceHandler handler(fastVideo, true, true);
    handler.start();
    std::vector<std::uint32_t> numbers;
    std::vector<int> indices;
    while (numbers.size() < 12) {
        const auto result = pollUntil(handler, isNews);
        ASSERT_EQ(result.status, SourceHandler::NEW_FRAME) << "after " << numbers.size() << " frames";
        numbers.push_back(result.frameNumber);
        indices.push_back(lmtest::videoFrameIndex(result.frame, SMALL_VIDEO_FRAMES));
    }
    const std::vector<std::uint32_t> expectedNumbers{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<int> expectedIndices{0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1};
    EXPECT_EQ(numbers, expectedNumbers);
    EXPECT_EQ(indices, expectedIndices);
}

TEST_F(SourceHandlerThreads, WaitingForTheConsumerLosesNoFrameAndHoldsAtTheEnd) {
    SourceHandler handler(fastVideo, false, true);
    handler.start();
    std::vector<std::uint32_t> numbers;
    std::vector<int> indices;
    // A consumer slower than the file's 33 ms pace.
    while (numbers.size() < SMALL_VIDEO_FRAMES) {
        std::this_thread::sleep_for(60ms);
        const auto result = pollUntil(handler, isNews);
        ASSERT_EQ(result.status, SourceHandler::NEW_FRAME);
        numbers.push_back(result.frameNumber);
        indices.push_back(lmtest::videoFrameIndex(result.frame, SMALL_VIDEO_FRAMES));
    }
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(indices, (std::vector<int>{0, 1, 2, 3, 4}));
    const auto ended = pollUntil(handler, [](const auto& r) { return r.status == SourceHandler::VIDEO_ENDED; });
    ASSERT_EQ(ended.status, SourceHandler::VIDEO_ENDED);
    EXPECT_EQ(ended.frameNumber, 6u);
    // The empty frame is never taken, so the reader waits instead of reading on.
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(handler.getNextFrame().frameNumber, 6u);
    const auto stopStarted = Clock::now();
    handler.stop();
    EXPECT_LT(Clock::now() - stopStarted, 2s);
}

TEST_F(SourceHandlerThreads, ConsumerThatFallsBehindGetsOnlyTheLatestFrame) {
    const std::string longVideo = dir.file("long.avi");
    constexpr int FRAMES = 30;
    lmtest::writeTestVideo(longVideo, FRAMES, 240.0);
    SourceHandler handler(longVideo, false, false);
    handler.start();
    std::vector<std::uint32_t> numbers;
    auto result = handler.getNextFrame();
    while (result.status != SourceHandler::VIDEO_ENDED) {
        if (result.status == SourceHandler::NEW_FRAME) {
            numbers.push_back(result.frameNumber);
            // The picture is the one the frame number says: frame n is file frame n - 1.
            const int index = lmtest::videoFrameIndex(result.frame, FRAMES);
            EXPECT_EQ(index + 1, static_cast<int>(result.frameNumber)) << "frame " << result.frameNumber;
        }
        std::this_thread::sleep_for(100ms);  // three reads' worth
        result = handler.getNextFrame();
    }
    ASSERT_GE(numbers.size(), 2u);
    bool skipped = false;
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        EXPECT_GT(numbers[i], numbers[i - 1]);
        skipped = skipped || numbers[i] - numbers[i - 1] > 1;
    }
    EXPECT_TRUE(skipped);
    EXPECT_LT(numbers.size(), static_cast<std::size_t>(FRAMES));
}

TEST_F(SourceHandlerThreads, PauseHoldsAFileAndUnpauseResumesIt) {
    SourceHandler handler(fastVideo, true, false);
    handler.start();
    pollUntil(handler, isNew);
    handler.pause();
    const std::uint32_t atPause = handler.getNextFrame().frameNumber;
    std::this_thread::sleep_for(200ms);
    const std::uint32_t held = handler.getNextFrame().frameNumber;
    EXPECT_LE(held, atPause + 1);  // at most the read already under way
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler.getNextFrame().frameNumber, held);
    handler.unpause();
    const auto resumed = pollUntil(handler, [&](const auto& r) { return r.frameNumber > held + 2; });
    EXPECT_GT(resumed.frameNumber, held + 2);
}

// A file's frames carry their place on its own clock, however fast they are read: frame
// number n of a 25 fps file shows at (n - 1) x 40 ms, also past a loop; a file without a
// usable rate runs at its default pace of 33 ms; a stream has no clock of its own.
TEST_F(SourceHandlerThreads, FileFramesCarryTheirTimeOnTheFilesOwnClock) {
    struct Case {
        const char* name;
        std::string source;
        bool isFile;
        std::chrono::milliseconds frameSpan;
    };
    const Case cases[] = {
        {"25 fps file", slowVideo, true, 40ms},
        {"file above 200 fps", fastVideo, true, 33ms},
        {"stream", pipeline(100000), false, 0ms},
    };
    for (const Case& c : cases) {
        std::optional<SourceHandler> handler;
        if (c.isFile)
            handler.emplace(c.source, true, true);
        else
            handler.emplace(c.source);
        handler->start();
        for (int polled = 0; polled < 7; ++polled) {
            const auto result = pollUntil(*handler, isNews);
            ASSERT_EQ(result.status, SourceHandler::NEW_FRAME) << c.name;
            if (!c.isFile) {
                EXPECT_FALSE(result.videoTime.has_value()) << c.name;
                continue;
            }
            ASSERT_TRUE(result.videoTime.has_value()) << c.name;
            EXPECT_EQ(*result.videoTime, (result.frameNumber - 1) * c.frameSpan)
                << c.name << " frame " << result.frameNumber;
        }
    }
}

TEST_F(SourceHandlerThreads, PauseDoesNotHoldAStream) {
    SourceHandler handler(pipeline(100000));
    handler.start();
    pollUntil(handler, isNew);
    handler.pause();
    const std::uint32_t atPause = handler.getNextFrame().frameNumber;
    const auto later = pollUntil(handler, [&](const auto& r) { return r.frameNumber > atPause + 3; });
    EXPECT_GT(later.frameNumber, atPause + 3);
}

TEST_F(SourceHandlerThreads, EndedStreamIsLostThenReconnectedAndStopsPromptly) {
    SourceHandler handler(pipeline(3));
    handler.start();
    EXPECT_EQ(handler.getSourceResolution(), cv::Size(160, 120));
    EXPECT_EQ(handler.getSourceFps(), 30);  // 30 fps: 33 ms, and 1000 / 33 again 30
    const auto first = pollUntil(handler, isNew);
    ASSERT_EQ(first.status, SourceHandler::NEW_FRAME);
    EXPECT_EQ(first.frame.size(), cv::Size(160, 120));

    const auto lost = pollUntil(handler, [](const auto& r) { return r.status == SourceHandler::STREAM_LOST; });
    ASSERT_EQ(lost.status, SourceHandler::STREAM_LOST);
    EXPECT_TRUE(lost.frame.empty());
    const auto lostAt = Clock::now();
    // While waiting to reconnect, the status stays and the frame number does not move.
    std::this_thread::sleep_for(300ms);
    const auto waiting = handler.getNextFrame();
    EXPECT_EQ(waiting.status, SourceHandler::STREAM_LOST);
    EXPECT_EQ(waiting.frameNumber, lost.frameNumber);

    // The pipeline is opened again after the wait and gives frames once more.
    const auto back = pollUntil(handler, isNew);
    ASSERT_EQ(back.status, SourceHandler::NEW_FRAME);
    EXPECT_GT(back.frameNumber, lost.frameNumber);
    EXPECT_GE(Clock::now() - lostAt, 4s);  // not before the wait (loosely)

    // A stop during the next reconnect wait does not sit out the wait.
    ASSERT_EQ(pollUntil(handler, [](const auto& r) { return r.status == SourceHandler::STREAM_LOST; }).status,
              SourceHandler::STREAM_LOST);
    const auto stopStarted = Clock::now();
    handler.stop();
    EXPECT_LT(Clock::now() - stopStarted, 2s);
}

// A real network stream on loopback: motion JPEG over HTTP, read through GStreamer.
TEST_F(SourceHandlerThreads, HttpStreamReconnectsAfterItsServerComesBack) {
    std::vector<std::string> pictures;
    for (int i = 0; i < SMALL_VIDEO_FRAMES; ++i) {
        std::vector<uchar> jpeg;
        cv::imencode(".jpg", cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(lmtest::videoFrameLevel(i))), jpeg);
        pictures.emplace_back(jpeg.begin(), jpeg.end());
    }
    lmtest::HttpFileServer server(pictures, 40ms);
    server.start();
    SourceHandler handler(server.url("/stream.mjpg"));
    handler.start();
    const auto first = pollUntil(handler, isNew);
    ASSERT_EQ(first.status, SourceHandler::NEW_FRAME);
    EXPECT_EQ(first.frame.size(), cv::Size(160, 120));
    const auto lost = pollUntil(handler, [](const auto& r) { return r.status == SourceHandler::STREAM_LOST; });
    ASSERT_EQ(lost.status, SourceHandler::STREAM_LOST);

    // The server goes away: the reconnect attempt fails and the stream stays lost.
    server.stop();
    const int requestsBefore = server.requestsServed();
    const auto failedAttempt = pollUntil(handler, [&](const auto& r) { return r.frameNumber > lost.frameNumber; });
    EXPECT_EQ(failedAttempt.status, SourceHandler::STREAM_LOST);
    EXPECT_GT(failedAttempt.frameNumber, lost.frameNumber);

    server.start();
    const auto back = pollUntil(handler, isNew);
    ASSERT_EQ(back.status, SourceHandler::NEW_FRAME);
    EXPECT_GT(back.frameNumber, failedAttempt.frameNumber);
    EXPECT_GT(server.requestsServed(), requestsBefore);
    handler.stop();
}

TEST_F(SourceHandlerThreads, CameraReadFailureShowsAsCameraError) {
    lmtest::FakeCamera camera{fastVideo};
    SourceHandler handler(2, {0, 0});
    handler.start();
    handler.start();  // already running: the source is opened once
    EXPECT_EQ(camera.openedIndices(), std::vector<int>{2});
    EXPECT_EQ(handler.getSourceFps(), 62);  // 240 fps is not believed: 16 ms for a camera
    const auto error = pollUntil(handler, [](const auto& r) { return r.status == SourceHandler::CAMERA_ERROR; });
    ASSERT_EQ(error.status, SourceHandler::CAMERA_ERROR);
    EXPECT_GE(error.frameNumber, SMALL_VIDEO_FRAMES + 1u);
    EXPECT_TRUE(error.frame.empty());
}

TEST_F(SourceHandlerThreads, CameraSizeIsRequestedOnlyWhenBothSidesAreGiven) {
    struct Case {
        cv::Size requested;
        std::vector<std::pair<int, double>> expectedSets;
    };
    const Case cases[] = {
        {{1280, 720}, {{cv::CAP_PROP_FRAME_WIDTH, 1280.0}, {cv::CAP_PROP_FRAME_HEIGHT, 720.0}}},
        {{1280, 0}, {}},
        {{0, 720}, {}},
        {{0, 0}, {}},
    };
    for (const auto& c : cases) {
        lmtest::FakeCamera camera{fastVideo};
        SourceHandler handler(0, c.requested);
        handler.start();
        handler.stop();
        EXPECT_EQ(camera.setProperties(), c.expectedSets) << c.requested;
    }
}

TEST_F(SourceHandlerThreads, PauseHoldsACamera) {
    lmtest::FakeCamera camera{slowVideo};
    SourceHandler handler(0, {0, 0});
    handler.start();
    pollUntil(handler, isNew);
    handler.pause();
    const std::uint32_t atPause = handler.getNextFrame().frameNumber;
    std::this_thread::sleep_for(200ms);
    const std::uint32_t held = handler.getNextFrame().frameNumber;
    EXPECT_LE(held, atPause + 1);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handler.getNextFrame().frameNumber, held);
    handler.unpause();
    EXPECT_GT(pollUntil(handler, [&](const auto& r) { return r.frameNumber > held; }).frameNumber, held);
}

TEST_F(SourceHandlerThreads, SwitchingSourcesRestartsOnlyARunningHandler) {
    lmtest::FakeCamera camera{slowVideo};
    SourceHandler handler(0, {640, 480});
    handler.start();
    pollUntil(handler, [](const auto& r) { return r.frameNumber >= 3; });

    handler.useVideoFile(fastVideo, false, true);
    EXPECT_TRUE(handler.isVideoFile());
    EXPECT_FALSE(handler.isUsbCamera());
    // Started afresh on the file: numbering begins again.
    const auto first = pollUntil(handler, isNew);
    ASSERT_EQ(first.status, SourceHandler::NEW_FRAME);
    EXPECT_EQ(first.frameNumber, 1u);
    EXPECT_EQ(handler.getSourceFps(), 30);

    handler.useVideoStream(pipeline(100000));
    EXPECT_TRUE(handler.isVideoStream());
    const auto fromStream = pollUntil(handler, isNew);
    ASSERT_EQ(fromStream.status, SourceHandler::NEW_FRAME);
    EXPECT_EQ(fromStream.frameNumber, 1u);

    // A stopped handler is only reconfigured.
    handler.stop();
    handler.useUsbCamera(0, {0, 0});
    EXPECT_TRUE(handler.isUsbCamera());
    EXPECT_EQ(camera.openedIndices(), std::vector<int>{0});
    EXPECT_EQ(handler.getSourceResolution(), cv::Size(0, 0));
}

TEST_F(SourceHandlerThreads, AFrameLeftAfterStopIsHandedOutOnce) {
    SourceHandler handler(fastVideo, false, true);
    handler.start();
    const auto first = pollUntil(handler, isNew);
    ASSERT_EQ(first.frameNumber, 1u);
    // The reader reads frame 2 and then waits for the consumer; a stop lets that pass
    // finish with its read, which leaves frame 3 behind.
    std::this_thread::sleep_for(100ms);
    handler.stop();
    const auto left = handler.getNextFrame();
    EXPECT_EQ(left.status, SourceHandler::NEW_FRAME);
    EXPECT_EQ(left.frameNumber, 3u);
    EXPECT_EQ(lmtest::videoFrameIndex(left.frame, SMALL_VIDEO_FRAMES), 2);
    EXPECT_EQ(handler.getNextFrame().status, SourceHandler::NO_NEW_FRAME);
}

TEST_F(SourceHandlerThreads, ConcurrentPollersAndControlCallsAreSafe) {
    SourceHandler handler(fastVideo, true, false);
    handler.start();
    std::atomic<bool> done{false};
    std::atomic<int> received{0};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 2; ++i)
        pollers.emplace_back([&] {
            while (!done) {
                if (handler.getNextFrame().status == SourceHandler::NEW_FRAME) ++received;
                (void)handler.getSourceResolution();
                (void)handler.getSourceFps();
                std::this_thread::sleep_for(1ms);
            }
        });
    for (int i = 0; i < 3; ++i) {
        handler.pause();
        std::this_thread::sleep_for(20ms);
        handler.unpause();
        std::this_thread::sleep_for(60ms);
        handler.stop();
        handler.start();
    }
    std::this_thread::sleep_for(100ms);
    done = true;
    for (auto& t : pollers) t.join();
    EXPECT_GT(received.load(), 0);
}

}  // namespace
