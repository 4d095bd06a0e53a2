#pragma once
// The video source's implementation object. Public only inside the library and its tests.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include "lumora/lm_sourcehandler.h"

namespace lm::help {

class SourceHandler::SourceHandlerImpl {
public:
    enum Kind : std::int32_t { USB_CAMERA = 0, VIDEO_FILE = 1, VIDEO_STREAM = 2 };

    SourceHandlerImpl(int cameraIndex, const cv::Size& requestedSize);
    SourceHandlerImpl(const std::string& path, bool loop, bool waitForConsumer);
    explicit SourceHandlerImpl(const std::string& url);
    ~SourceHandlerImpl();
    SourceHandlerImpl(const SourceHandlerImpl&) = delete;
    SourceHandlerImpl& operator=(const SourceHandlerImpl&) = delete;

    void start();
    void stop();
    void pause();
    void unpause();

    void useUsbCamera(int cameraIndex, const cv::Size& requestedSize);
    void useVideoFile(const std::string& path, bool loop, bool waitForConsumer);
    void useVideoStream(const std::string& url);

    bool isUsbCamera() const { return mSourceKind == USB_CAMERA; }
    bool isVideoFile() const { return mSourceKind == VIDEO_FILE; }
    bool isVideoStream() const { return mSourceKind == VIDEO_STREAM; }

    FrameResult getNextFrame();
    cv::Size getSourceResolution() const;
    std::int64_t getSourceFps() const;
    // The pace of the source in whole milliseconds.
    int getSourceFrameDelay() const;
    // A video file's frame's place on the file's own clock; empty for the other kinds.
    std::optional<std::chrono::milliseconds> videoTimeOf(std::uint32_t frameNumber) const;

    // Only for tests: a kind outside the three, to reach the open error.
    void setSourceKindForTest(std::int32_t kind) { mSourceKind = kind; }

    // A lost stream is opened again this long after the failed read.
    static constexpr std::chrono::seconds RECONNECT_WAIT{5};

private:
    // Stops a running source, makes `kind` the new one, lets `describe` fill in its fields,
    // and starts it again if it was running.
    void switchSource(std::int32_t kind, const std::function<void()>& describe);
    void startLocked();
    void stopLocked();
    void openSource();
    // Through the process-wide camera back end as it is at this open (setCameraBackend).
    void openCamera();
    void threadLoop();
    void readFrame();
    void waitForReconnect(std::unique_lock<std::mutex>& lock);
    // Wakes the grabbing thread after changing a flag it waits on; under the mutex, so the
    // thread cannot miss it between testing the flag and starting to wait.
    void changeAndWake(const std::function<void()>& change);
    void rememberSourceProperties();

    cv::VideoCapture mCapture;
    cv::Mat mFrame;
    // Read without the mutex by a consumer that finds the frame already taken.
    std::atomic<std::uint32_t> mFrameNumber{0};
    std::atomic<bool> mConsumed{false};
    std::atomic<std::int32_t> mSourceKind{USB_CAMERA};
    int mCameraIndex = 0;
    std::string mFilePath;
    std::string mStreamUrl;
    cv::Size mRequestedSize{0, 0};
    bool mLoop = false;
    bool mWaitForConsumer = false;
    std::thread mThread;
    std::mutex mMutex;
    std::condition_variable mCondition;
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mPaused{false};

    // Counts wake-ups (under the mutex), so the reconnect wait ends on any of them.
    std::uint64_t mWakeups = 0;
    // start, stop and the switches from several threads must not interleave.
    std::mutex mControlMutex;
    // The source's size and rate as seen right after it was opened: asked for by other
    // threads while a read may be blocking on the capture.
    mutable std::mutex mPropertiesMutex;
    double mSourceWidth = 0.0;
    double mSourceHeight = 0.0;
    double mSourceFps = 0.0;
};

}  // namespace lm::help
