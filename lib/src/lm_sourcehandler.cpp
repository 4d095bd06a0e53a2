#include "lumora/lm_sourcehandler.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "lm_sourcehandler_internal.h"
#include "lumora/lm_camera_backend.h"

namespace lm::help {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Fallback pacing when the source reports no usable rate.
constexpr int FILE_DEFAULT_DELAY_MS = 33;
constexpr int LIVE_DEFAULT_DELAY_MS = 16;
constexpr double MAX_REPORTED_FPS = 200.0;

void logError(const std::string& message) {
    if (auto logger = spdlog::get("LumoraLog")) logger->error(message);
}

// The back end of every camera handler that was given none of its own.
struct ProcessCamera {
    std::mutex mutex;
    CameraBackend backend = CameraBackend::v4l2();
};

ProcessCamera& processCamera() {
    static ProcessCamera camera;
    return camera;
}

CameraBackend currentCameraBackend() {
    auto& camera = processCamera();
    std::lock_guard<std::mutex> lock(camera.mutex);
    return camera.backend;
}

// A request answered without a frame.
SourceHandler::FrameResult withoutFrame(SourceHandler::Status status, std::uint32_t frameNumber) {
    SourceHandler::FrameResult result;
    result.status = status;
    result.frameNumber = frameNumber;
    return result;
}

}  // namespace

CameraBackend CameraBackend::v4l2() {
    return {[](cv::VideoCapture& capture, int index) { return capture.open(index, cv::CAP_V4L2); },
            [](cv::VideoCapture& capture, int id, double value) { return capture.set(id, value); }};
}

CameraBackend setCameraBackend(CameraBackend backend) {
    if (!backend.open || !backend.set)
        throw std::invalid_argument("A camera back end needs both an open and a set function");
    auto& camera = processCamera();
    std::lock_guard<std::mutex> lock(camera.mutex);
    std::swap(camera.backend, backend);
    return backend;
}

// ---------------------------------------------------------------------------------------
// Implementation object

SourceHandler::SourceHandlerImpl::SourceHandlerImpl(int cameraIndex, const cv::Size& requestedSize)
    : mSourceKind(USB_CAMERA), mCameraIndex(cameraIndex), mRequestedSize(requestedSize) {}

SourceHandler::SourceHandlerImpl::SourceHandlerImpl(const std::string& path, bool loop, bool waitForConsumer)
    : mSourceKind(VIDEO_FILE), mFilePath(path), mLoop(loop), mWaitForConsumer(waitForConsumer) {}

SourceHandler::SourceHandlerImpl::SourceHandlerImpl(const std::string& url)
    : mSourceKind(VIDEO_STREAM), mStreamUrl(url) {}

SourceHandler::SourceHandlerImpl::~SourceHandlerImpl() { stop(); }

void SourceHandler::SourceHandlerImpl::start() {
    std::lock_guard<std::mutex> control(mControlMutex);
    startLocked();
}

void SourceHandler::SourceHandlerImpl::stop() {
    std::lock_guard<std::mutex> control(mControlMutex);
    stopLocked();
}

void SourceHandler::SourceHandlerImpl::startLocked() {
    if (mRunning) return;
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mFrameNumber = 0;
        mConsumed = false;
        mFrame = cv::Mat();
    }
    openSource();
    if (!mCapture.isOpened()) {
        mCapture.release();
        throw std::runtime_error("Could not open source");
    }
    mRunning = true;
    mPaused = false;
    // A lambda, not a member pointer: the thread's state type would otherwise name this class
    // in type information that the shared library exports.
    mThread = std::thread([this] { threadLoop(); });
}

void SourceHandler::SourceHandlerImpl::stopLocked() {
    if (!mRunning && !mThread.joinable()) return;
    changeAndWake([this] {
        mRunning = false;
        mPaused = false;
    });
    // The capture is released only once the grabbing thread can no longer touch it.
    if (mThread.joinable()) mThread.join();
    mCapture.release();
    std::lock_guard<std::mutex> lock(mPropertiesMutex);
    mSourceWidth = mSourceHeight = mSourceFps = 0.0;
}

void SourceHandler::SourceHandlerImpl::pause() {
    changeAndWake([this] { mPaused = true; });
}

void SourceHandler::SourceHandlerImpl::unpause() {
    changeAndWake([this] { mPaused = false; });
}

void SourceHandler::SourceHandlerImpl::changeAndWake(const std::function<void()>& change) {
    {
        std::lock_guard<std::mutex> lock(mMutex);
        change();
        ++mWakeups;
    }
    mCondition.notify_one();
}

void SourceHandler::SourceHandlerImpl::useUsbCamera(int cameraIndex, const cv::Size& requestedSize) {
    switchSource(USB_CAMERA, [&] {
        mCameraIndex = cameraIndex;
        mRequestedSize = requestedSize;
    });
}

void SourceHandler::SourceHandlerImpl::useVideoFile(const std::string& path, bool loop, bool waitForConsumer) {
    switchSource(VIDEO_FILE, [&] {
        mFilePath = path;
        mLoop = loop;
        mWaitForConsumer = waitForConsumer;
    });
}

void SourceHandler::SourceHandlerImpl::useVideoStream(const std::string& url) {
    switchSource(VIDEO_STREAM, [&] { mStreamUrl = url; });
}

// Every field of the previous source is cleared first, so none leaks into the new one.
void SourceHandler::SourceHandlerImpl::switchSource(std::int32_t kind, const std::function<void()>& describe) {
    std::lock_guard<std::mutex> control(mControlMutex);
    const bool wasRunning = mRunning;
    stopLocked();
    mSourceKind = kind;
    mCameraIndex = 0;
    mRequestedSize = cv::Size(0, 0);
    mFilePath.clear();
    mStreamUrl.clear();
    mLoop = mWaitForConsumer = false;
    describe();
    if (wasRunning) startLocked();
}

void SourceHandler::SourceHandlerImpl::openSource() {
    mCapture.release();
    switch (mSourceKind.load()) {
        case VIDEO_FILE: mCapture.open(mFilePath, cv::CAP_ANY); break;
        case VIDEO_STREAM: mCapture.open(mStreamUrl, cv::CAP_GSTREAMER); break;
        case USB_CAMERA: openCamera(); break;
        default: throw std::invalid_argument("Unhandled source type.");
    }
    rememberSourceProperties();
}

void SourceHandler::SourceHandlerImpl::openCamera() {
    const CameraBackend camera = currentCameraBackend();
    camera.open(mCapture, mCameraIndex);
    // A size with a zero side is no request at all.
    if (mRequestedSize.width != 0 && mRequestedSize.height != 0) {
        camera.set(mCapture, cv::CAP_PROP_FRAME_WIDTH, mRequestedSize.width);
        camera.set(mCapture, cv::CAP_PROP_FRAME_HEIGHT, mRequestedSize.height);
    }
}

void SourceHandler::SourceHandlerImpl::rememberSourceProperties() {
    const bool open = mCapture.isOpened();
    std::lock_guard<std::mutex> lock(mPropertiesMutex);
    mSourceWidth = open ? mCapture.get(cv::CAP_PROP_FRAME_WIDTH) : 0.0;
    mSourceHeight = open ? mCapture.get(cv::CAP_PROP_FRAME_HEIGHT) : 0.0;
    mSourceFps = open ? mCapture.get(cv::CAP_PROP_FPS) : 0.0;
}

cv::Size SourceHandler::SourceHandlerImpl::getSourceResolution() const {
    std::lock_guard<std::mutex> lock(mPropertiesMutex);
    return {static_cast<int>(mSourceWidth), static_cast<int>(mSourceHeight)};
}

int SourceHandler::SourceHandlerImpl::getSourceFrameDelay() const {
    double fps = 0.0;
    {
        std::lock_guard<std::mutex> lock(mPropertiesMutex);
        fps = mSourceFps;
    }
    if (fps > 0.0 && fps <= MAX_REPORTED_FPS) return static_cast<int>(1000.0 / fps);
    return mSourceKind == VIDEO_FILE ? FILE_DEFAULT_DELAY_MS : LIVE_DEFAULT_DELAY_MS;
}

std::int64_t SourceHandler::SourceHandlerImpl::getSourceFps() const { return 1000 / getSourceFrameDelay(); }

std::optional<std::chrono::milliseconds> SourceHandler::SourceHandlerImpl::videoTimeOf(
    std::uint32_t frameNumber) const {
    if (mSourceKind != VIDEO_FILE || frameNumber == 0) return std::nullopt;
    double fps = 0.0;
    {
        std::lock_guard<std::mutex> lock(mPropertiesMutex);
        fps = mSourceFps;
    }
    // A file that reports no usable rate is read at the default pace: its clock follows it.
    const double frameMs = fps > 0.0 && fps <= MAX_REPORTED_FPS ? 1000.0 / fps : getSourceFrameDelay();
    return std::chrono::milliseconds(std::llround((frameNumber - 1) * frameMs));
}

// Reads one frame; a back end that throws counts as a failed read, so a broken source
// shows in the status instead of ending the process.
void SourceHandler::SourceHandlerImpl::readFrame() {
    try {
        if (!mCapture.read(mFrame)) mFrame = cv::Mat();
    } catch (const std::exception& e) {
        logError(std::string("Video source read failed: ") + e.what());
        mFrame = cv::Mat();
    }
}

void SourceHandler::SourceHandlerImpl::waitForReconnect(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t seen = mWakeups;
    mCondition.wait_for(lock, RECONNECT_WAIT, [&] { return !mRunning || mWakeups != seen; });
    if (!mRunning) return;
    try {
        openSource();
    } catch (const std::exception& e) {
        logError(std::string("Video stream reconnect failed: ") + e.what());
    }
}

void SourceHandler::SourceHandlerImpl::threadLoop() {
    const auto delay = std::chrono::milliseconds(getSourceFrameDelay());
    auto due = SteadyClock::now();
    const bool isFile = mSourceKind == VIDEO_FILE;
    const bool isStream = mSourceKind == VIDEO_STREAM;
    while (mRunning) {
        std::unique_lock<std::mutex> lock(mMutex);
        // Pace: only a stop cuts this wait short.
        if (mCondition.wait_until(lock, due, [this] { return !mRunning.load(); })) return;
        if (mPaused && !isStream) mCondition.wait(lock, [this] { return !mPaused || !mRunning; });
        // The first read of a run never waits for the consumer.
        if (isFile && mWaitForConsumer && !mConsumed && mFrameNumber != 0)
            mCondition.wait(lock, [this] { return mConsumed || !mRunning; });

        readFrame();
        due = SteadyClock::now() + delay;
        ++mFrameNumber;
        mConsumed = false;

        if (mFrame.empty() && mRunning) {
            if (isFile && mLoop) {
                // Start over in the same pass; this read is neither counted nor tested.
                try {
                    mCapture.set(cv::CAP_PROP_POS_FRAMES, 0);
                } catch (const std::exception& e) {
                    logError(std::string("Video file rewind failed: ") + e.what());
                }
                readFrame();
            } else if (isStream) {
                waitForReconnect(lock);
            }
        }
    }
}

SourceHandler::FrameResult SourceHandler::SourceHandlerImpl::getNextFrame() {
    // A frame already taken is answered without the mutex, so a consumer polling faster
    // than the source never blocks behind a read.
    if (mConsumed) return withoutFrame(NO_NEW_FRAME, mFrameNumber);
    std::unique_lock<std::mutex> lock(mMutex);
    const std::uint32_t number = mFrameNumber;
    if (mFrame.empty()) {
        if (number == 0) return withoutFrame(NO_FRAME_YET, number);
        switch (mSourceKind.load()) {
            case VIDEO_STREAM: return withoutFrame(STREAM_LOST, number);
            case VIDEO_FILE: return withoutFrame(VIDEO_ENDED, number);
            default: return withoutFrame(CAMERA_ERROR, number);
        }
    }
    cv::Mat copy = mFrame.clone();
    mConsumed = true;
    lock.unlock();
    mCondition.notify_one();  // a file reader waiting for its consumer goes on
    return {NEW_FRAME, number, std::move(copy), videoTimeOf(number)};
}

// ---------------------------------------------------------------------------------------
// Public handler: forwards everything to the implementation object.

SourceHandler::SourceHandler(int cameraIndex, const cv::Size& requestedSize)
    : mImpl(std::make_unique<SourceHandlerImpl>(cameraIndex, requestedSize)) {}
SourceHandler::SourceHandler(const std::string& path, bool loop, bool waitForConsumer)
    : mImpl(std::make_unique<SourceHandlerImpl>(path, loop, waitForConsumer)) {}
SourceHandler::SourceHandler(const std::string& url) : mImpl(std::make_unique<SourceHandlerImpl>(url)) {}
SourceHandler::~SourceHandler() = default;

void SourceHandler::start() { mImpl->start(); }
void SourceHandler::stop() { mImpl->stop(); }
void SourceHandler::pause() { mImpl->pause(); }
void SourceHandler::unpause() { mImpl->unpause(); }
void SourceHandler::useUsbCamera(int cameraIndex, const cv::Size& requestedSize) {
    mImpl->useUsbCamera(cameraIndex, requestedSize);
}
void SourceHandler::useVideoFile(const std::string& path, bool loop, bool waitForConsumer) {
    mImpl->useVideoFile(path, loop, waitForConsumer);
}
void SourceHandler::useVideoStream(const std::string& url) { mImpl->useVideoStream(url); }
bool SourceHandler::isUsbCamera() const { return mImpl->isUsbCamera(); }
bool SourceHandler::isVideoFile() const { return mImpl->isVideoFile(); }
bool SourceHandler::isVideoStream() const { return mImpl->isVideoStream(); }
SourceHandler::FrameResult SourceHandler::getNextFrame() { return mImpl->getNextFrame(); }
cv::Size SourceHandler::getSourceResolution() const { return mImpl->getSourceResolution(); }
std::int64_t SourceHandler::getSourceFps() const { return mImpl->getSourceFps(); }

}  // namespace lm::help
