#pragma once
// The video source reader: a USB camera, a video file or a network stream, read on a
// grabbing thread of its own at the source's pace. Only the latest frame is kept; a
// consumer polls it with getNextFrame and learns from the status whether it is new and,
// when it is not, why.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "lumora/lm_export.h"
#include "lumora/lm_help.h"

namespace lm::help {

class LUMORA_EXPORT SourceHandler {
public:
    // The outcome of one frame request.
    enum Status : std::uint8_t {
        NEW_FRAME = 0,     // a frame not handed out before
        NO_FRAME_YET = 1,  // nothing read since start
        NO_NEW_FRAME = 2,  // the latest frame was already handed out
        CAMERA_ERROR = 3,  // the latest camera read gave no frame
        STREAM_LOST = 4,   // the latest stream read gave no frame; reconnecting
        VIDEO_ENDED = 5,   // the latest file read gave no frame
    };

    struct FrameResult {
        Status status = NO_FRAME_YET;
        std::uint32_t frameNumber = 0;
        cv::Mat frame;  // a private copy for NEW_FRAME, empty otherwise
        // A video file's NEW_FRAME: where the frame lies on the file's own clock, (frame
        // number - 1) / the file's frame rate, rising on across a loop. Empty otherwise.
        std::optional<std::chrono::milliseconds> videoTime;
    };

    // A camera, opened through the camera back end (lm_camera_backend.h); a requested
    // size with a zero side asks for no size.
    SourceHandler(int cameraIndex, const cv::Size& requestedSize);
    // A video file; loop starts it again at its end, waitForConsumer reads no further
    // until the latest frame has been taken.
    SourceHandler(const std::string& path, bool loop, bool waitForConsumer);
    // A network stream (or a capture pipeline), reconnected when it drops.
    explicit SourceHandler(const std::string& url);
    ~SourceHandler();
    SourceHandler(const SourceHandler&) = delete;
    SourceHandler& operator=(const SourceHandler&) = delete;
    SourceHandler(SourceHandler&&) = delete;
    SourceHandler& operator=(SourceHandler&&) = delete;

    // Opens the source and starts reading; throws std::runtime_error "Could not open
    // source" when it cannot be opened. Does nothing when already running.
    void start();
    void stop();
    // Suspends reading a camera or a file; a stream is read on.
    void pause();
    void unpause();

    // Switch the source; a running handler is stopped and started again on the new one.
    void useUsbCamera(int cameraIndex, const cv::Size& requestedSize);
    void useVideoFile(const std::string& path, bool loop, bool waitForConsumer);
    void useVideoStream(const std::string& url);

    bool isUsbCamera() const;
    bool isVideoFile() const;
    bool isVideoStream() const;

    FrameResult getNextFrame();
    // Frame size of the open source; 0 x 0 when nothing is open.
    cv::Size getSourceResolution() const;
    // The rate the source is paced at: 1000 / frame delay in whole milliseconds.
    std::int64_t getSourceFps() const;

    class LUMORA_NO_EXPORT SourceHandlerImpl;

private:
    std::unique_ptr<SourceHandlerImpl> mImpl;
};

}  // namespace lm::help
