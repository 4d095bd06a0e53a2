// The RTP stream received on 127.0.0.1:5000 by a GStreamer pipeline that decodes it, the
// stream's own ends, and the preview picture that the stream and the preview window carry.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "hx_engine.h"
#include "hx_rtp_stream.h"
#include "support/api_envelope.h"
#include "support/child_process.h"
#include "support/http_receiver.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/test_videos.h"
#include "support/video_file_settings.h"
#include "support/wait_until.h"

namespace {

using namespace std::chrono_literals;

using lmtest::envelope;
using lmtest::FACE_SQUARE;
using lmtest::waitUntil;

void writeFaceVideo(const std::string& path, int frames) {
    lmtest::writeSquaresVideo(path, frames, 25.0, {FACE_SQUARE});
}

// OpenCL comes up on the main thread, not on an engine thread (whose alternate signal stack
// from the OpenCL runtime AddressSanitizer cannot release).
const bool OPENCL_ON_MAIN_THREAD = [] {
    (void)cv::ocl::useOpenCL();
    return true;
}();

bool commandWorks(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// The RTP port is fixed: test processes (also of other build trees) take turns on it.
class PortLock {
public:
    PortLock() : mFd(::open("/tmp/lumora-test-rtp-5000.lock", O_CREAT | O_RDWR, 0666)) {
        if (mFd >= 0) ::flock(mFd, LOCK_EX);
    }
    ~PortLock() {
        if (mFd >= 0) ::close(mFd);
    }

private:
    int mFd;
};

// A receiver that decodes H.264 in RTP from port 5000; every decoded frame prints a
// "chain" line of the fake sink.
lmtest::ChildProcess startReceiver() {
    return lmtest::ChildProcess({"/usr/bin/gst-launch-1.0", "-v", "udpsrc", "port=5000",
                                 "caps=application/x-rtp,media=video,encoding-name=H264,clock-rate=90000,payload=96",
                                 "!", "rtph264depay", "!", "avdec_h264", "!", "videoconvert", "!", "fakesink",
                                 "silent=false", "sync=false"});
}

class EngineRtp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!commandWorks("gst-inspect-1.0 udpsrc") || !commandWorks("gst-inspect-1.0 rtph264depay") ||
            !commandWorks("gst-inspect-1.0 avdec_h264") || !commandWorks("gst-inspect-1.0 x264enc"))
            GTEST_SKIP() << "GStreamer with udpsrc, rtph264depay, avdec_h264 and x264enc is needed";
        writeFaceVideo(mVideoPath, 30);
    }

    hx::Settings settings() const {
        hx::Settings s = lmtest::videoFileSettings(mVideoPath);
        s.processAllFrames = false;
        return s;
    }

    lmtest::TempDir mDir;
    std::string mVideoPath = mDir.file("faces.avi");
};

TEST_F(EngineRtp, StreamIsDecodedByAReceiverAndStopsWithRtpStop) {
    PortLock port;
    const hx::Settings s = settings();
    hx::Engine engine(s, "127.0.0.1");
    const std::string url = "http://127.0.0.1:" + std::to_string(s.httpInterfacePort);
    auto receiver = startReceiver();
    std::this_thread::sleep_for(500ms);  // the receiver binds its port

    // Without analysis the stream reads the source itself.
    auto answer = lmtest::httpRequest("POST", url + "/rtp/start");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, envelope(0, "RTP stream started"));
    EXPECT_TRUE(engine.getStatusHandler().isRtpStreaming());
    EXPECT_EQ(lmtest::httpRequest("POST", url + "/rtp/start").body, envelope(1202, "RTP stream is already active"));
    ASSERT_TRUE(receiver.waitForOutput("chain", 30s, 5)) << receiver.output();

    // With analysis it carries the annotated picture; switching needs no restart.
    EXPECT_EQ(lmtest::httpRequest("POST", url + "/start").body, envelope(0, ""));
    const std::size_t before = receiver.count("chain");
    EXPECT_TRUE(receiver.waitForOutput("chain", 30s, before + 5)) << receiver.output();
    EXPECT_EQ(lmtest::httpRequest("POST", url + "/stop").body, envelope(0, ""));

    answer = lmtest::httpRequest("POST", url + "/rtp/stop");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, envelope(0, "RTP stream is stopped"));
    EXPECT_EQ(lmtest::httpRequest("POST", url + "/rtp/stop").body, envelope(1203, "RTP stream is already stopped"));
    EXPECT_FALSE(engine.getStatusHandler().isRtpStreaming());

    // No more packets: the decoded count stands still.
    std::this_thread::sleep_for(500ms);
    const std::size_t stopped = receiver.count("chain");
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(receiver.count("chain"), stopped);

    // A new start after a stop streams again.
    EXPECT_EQ(lmtest::httpRequest("POST", url + "/rtp/start").body, envelope(0, "RTP stream started"));
    EXPECT_TRUE(receiver.waitForOutput("chain", 30s, stopped + 3)) << receiver.output();
    EXPECT_EQ(lmtest::httpRequest("POST", url + "/rtp/stop").body, envelope(0, "RTP stream is stopped"));
}

TEST_F(EngineRtp, SourceThatCannotBeOpenedIsRefused) {
    hx::Settings s = settings();
    s.videoFilePath = mDir.file("missing.avi");
    hx::Engine engine(s, "127.0.0.1");
    const auto answer =
        lmtest::httpRequest("POST", "http://127.0.0.1:" + std::to_string(s.httpInterfacePort) + "/rtp/start");
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body, envelope(1103, "Cannot start RTP stream. Cannot open video source."));
    EXPECT_FALSE(engine.getStatusHandler().isRtpStreaming());
}

TEST_F(EngineRtp, EndOfVideoEndsAStreamWithoutAnalysis) {
    PortLock port;
    hx::Settings s = settings();
    s.loopVideo = false;
    writeFaceVideo(mVideoPath, 5);
    hx::Engine engine(s, "127.0.0.1");
    engine.startRtpStream();
    EXPECT_TRUE(waitUntil([&] { return !engine.getStatusHandler().isRtpStreaming(); }));
    // Stopping a stream that ended itself is a no-op, and a new one can start.
    engine.stopRtpStream();
    engine.startRtpStream();
    EXPECT_TRUE(waitUntil([&] { return !engine.getStatusHandler().isRtpStreaming(); }));
}

// ---------------------------------------------------------------------------------------
// The stream on its own, fed by the test's pictures

struct StreamEndCase {
    std::string name;
    std::function<bool(cv::Mat&)> thirdPicture;  // every other call gives a picture
    std::string logged;
    std::string runtimeError;  // "none" for none
};

TEST(RtpStream, EndsByItselfWhenItsPicturesEndOrFail) {
    if (!commandWorks("gst-inspect-1.0 x264enc")) GTEST_SKIP() << "GStreamer's x264enc is needed";
    PortLock port;
    const std::vector<StreamEndCase> cases = {
        {"no more pictures", [](cv::Mat&) { return false; }, "Video source error occured during RTP stream.", "none"},
        {"the source throws", [](cv::Mat&) -> bool { throw std::runtime_error("camera unplugged"); },
         "Exception occured on RTP stream: camera unplugged", "camera unplugged"},
        {"the source throws something else", [](cv::Mat&) -> bool { throw 7; },
         "Exception occured on RTP stream: unknown exception", "unknown exception"},
    };
    // Of another size than the writer's, so that each one is scaled on its way out.
    const cv::Mat picture(240, 320, CV_8UC3, cv::Scalar::all(128));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lmtest::LogCapture log;
        hx::StatusHandler status{hx::Settings{}};
        status.setVideoSourceStatus(true, false);
        std::atomic<int> calls{0};
        hx::RtpStream stream(status, [&](cv::Mat& next) {
            if (++calls != 3) {
                next = picture;
                return true;
            }
            return c.thirdPicture(next);
        });
        stream.start(cv::Size(640, 480));
        ASSERT_TRUE(waitUntil([&] { return !status.isRtpStreaming(); }));
        EXPECT_EQ(calls, 3);
        EXPECT_EQ(log.count(c.logged), 1u);
        EXPECT_EQ(status.getInternalErrorDescription(), c.runtimeError);
        // Ended by itself: a stop has nothing to stop, and a new start streams again.
        stream.stop();
        EXPECT_EQ(log.count("Stop RTP"), 0u);
        stream.start(cv::Size(640, 480));
        EXPECT_TRUE(waitUntil([&] { return calls > 4; }));
        EXPECT_TRUE(status.isRtpStreaming());
        stream.stop();
        EXPECT_EQ(log.count("Stop RTP"), 1u);
        EXPECT_FALSE(status.isRtpStreaming());
    }
}

// ---------------------------------------------------------------------------------------
// Preview picture

class EnginePreview : public ::testing::Test {
protected:
    lmtest::TempDir mDir;
};

// Pixels that differ between two pictures of the same size.
int changedPixels(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    cv::cvtColor(difference, difference, cv::COLOR_BGR2GRAY);
    return cv::countNonZero(difference > 40);
}

struct PreviewCase {
    std::string name;
    bool drawResult;
    bool blurFaces;
    bool roi;
    bool faceChanged;   // the face square is drawn on or blurred
    bool outlineDrawn;  // the region of interest's outline is on the picture
};

TEST_F(EnginePreview, PictureFollowsTheDrawingAndBlurringSwitches) {
    const std::string video = mDir.file("faces.avi");
    writeFaceVideo(video, 20);
    cv::VideoCapture capture(video);
    cv::Mat original;
    ASSERT_TRUE(capture.read(original));

    const std::vector<PreviewCase> cases = {
        {"plain", false, false, true, false, false},
        {"drawn", true, false, true, true, true},
        {"drawn without region", true, false, false, true, false},
        {"blurred", false, true, true, true, true},
        {"blurred wins over drawn", true, true, true, true, true},
    };
    // The region covers the whole frame but for a margin, so its outline lies off the face.
    const cv::Rect roi(64, 48, 640 - 128, 480 - 96);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        hx::Settings s = lmtest::videoFileSettings(video);
        s.drawResult = c.drawResult;
        s.blurFaces = c.blurFaces;
        if (c.roi) {
            s.ROI_X = 0.1f;
            s.ROI_Y = 0.1f;
            s.ROI_W = 0.8f;
            s.ROI_H = 0.8f;
        }
        hx::Engine engine(s, "127.0.0.1");
        EXPECT_TRUE(engine.getCurrentFrame().empty()) << "nothing analysed yet";
        engine.start();
        // Faces are drawn or blurred once the tracker holds the face.
        cv::Mat picture;
        ASSERT_TRUE(waitUntil([&] {
            picture = engine.getCurrentFrame();
            return !picture.empty() &&
                   (!c.faceChanged || changedPixels(picture(FACE_SQUARE), original(FACE_SQUARE)) > 0);
        })) << "the face never changed";
        engine.stop();
        ASSERT_EQ(picture.size(), original.size());

        // The frame-rate text, top left, is on every picture.
        EXPECT_GT(changedPixels(picture(cv::Rect(0, 0, 200, 30)), original(cv::Rect(0, 0, 200, 30))), 0);
        // The outline: the region's top edge, away from the text and the face.
        const cv::Rect edge(roi.x + 250, roi.y, 100, 1);
        EXPECT_EQ(changedPixels(picture(edge), original(edge)) > 0, c.outlineDrawn);
        if (!c.faceChanged) {
            EXPECT_EQ(changedPixels(picture(FACE_SQUARE), original(FACE_SQUARE)), 0);
        }

        // Two pictures are never the same pixels, and drawing one does not change another.
        const cv::Mat first = engine.getCurrentFrame();
        const cv::Mat firstCopy = first.clone();
        const cv::Mat second = engine.getCurrentFrame();
        EXPECT_NE(first.data, second.data);
        EXPECT_EQ(cv::norm(first, firstCopy, cv::NORM_INF), 0.0);
    }
}

// ---------------------------------------------------------------------------------------
// Preview window of the program under a virtual display, driven by keys

TEST(HarbixPreview, KeyStartsTheAnalysisAndQEndsTheProgram) {
    if (!commandWorks("command -v xvfb-run") || !commandWorks("command -v xdotool") ||
        !commandWorks("command -v xauth"))
        GTEST_SKIP() << "xvfb-run, xauth and xdotool are needed";
    lmtest::TempDir dir;
    const std::string video = dir.file("faces.avi");
    writeFaceVideo(video, 20);
    const hx::Settings s = lmtest::videoFileSettings(video);
    const std::string settingsPath = dir.file("settings.json");
    s.saveSettingsAsJson(settingsPath);
    const std::string displayFile = dir.file("display");

    // xvfb-run picks a free display; the shell tells the test which, then becomes harbix.
    lmtest::ChildProcess program(
        {"/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "/bin/sh", "-c",
         "printf '%s\\n%s\\n' \"$DISPLAY\" \"$XAUTHORITY\" > '" + displayFile + "'; exec \"$0\" \"$@\"", LUMORA_HARBIX,
         "-s", settingsPath, "-or"});
    ASSERT_TRUE(program.waitForOutput("Start engine", 120s)) << program.output();
    std::string display, authority;
    {
        std::ifstream in(displayFile);
        std::getline(in, display);
        std::getline(in, authority);
    }
    ASSERT_FALSE(display.empty());
    const std::string env = "DISPLAY='" + display + "' XAUTHORITY='" + authority + "' ";
    // The window appears with the first analysed picture.
    std::string window;
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::string command = env + "xdotool search --name '^Test$' 2>/dev/null";
            FILE* pipe = ::popen(command.c_str(), "r");
            if (pipe == nullptr) return false;
            char line[64] = {};
            const bool found = std::fgets(line, sizeof line, pipe) != nullptr;
            ::pclose(pipe);
            window = found ? std::string(line).substr(0, std::string(line).find('\n')) : "";
            return found;
        },
        60s))
        << program.output();
    auto key = [&](const std::string& name) {
        // Through the X test extension to the focused window: keys sent to a window as
        // synthetic events lose their shift state.
        ASSERT_TRUE(commandWorks(env + "xdotool windowfocus --sync " + window + " key " + name));
    };

    // A shifted key (S) does not reach OpenCV's Qt window under Xvfb, whichever way xdotool
    // sends it: the run is stopped over HTTP here, and s starts it again.
    const std::string url = "http://127.0.0.1:" + std::to_string(s.httpInterfacePort);
    ASSERT_EQ(lmtest::httpRequest("POST", url + "/stop").status, 200);
    EXPECT_TRUE(program.waitForOutput("] Stop\n", 30s)) << program.output();
    key("s");
    EXPECT_TRUE(program.waitForOutput("Start engine", 30s, 2)) << program.output();
    // s while running does nothing.
    key("s");
    key("q");
    EXPECT_EQ(program.wait(60s), 0) << program.output();
    EXPECT_TRUE(program.waitForOutput("Clean exit", 1s));
    EXPECT_EQ(program.count("] Stop\n"), 2u) << "stopped over HTTP and by the end of the program";
    EXPECT_EQ(program.count("Start engine"), 2u);
}

}  // namespace
