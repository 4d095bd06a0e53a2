#include "lumora/lm_sourcehandler.h"

#include <chrono>
#include <exception>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "lm_sourcehandler_internal.h"

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

}  // namespace

CameraBackend CameraBackend::v4l2() {
    return {[](cv::VideoCapture& capture, int index) { return capture.open(index, cv::CAP_V4L2); },
            [](cv::VideoCapture& capture, int id, double value) { return capture.set(id, value); }};
}

// ---------------------------------------------------------------------------------------
// Implementation object

SourceHandler::SourceHandlerImpl::SourceHandlerImpl(int cameraIndex_, const cv::Size& requestedSize_,
                                                    CameraBackend camera_)
    : sourceKind(USB_CAMERA), cameraIndex(cameraIndex_), requestedSize(requestedSize_), camera(std::move(camera_)) {}

SourceHandler::SourceHandlerImpl::SourceHandlerImpl(const std::string& path, bool loop_, bool waitForConsumer_)
    : sourceKind(VIDEO_FILE),
      filePath(path),
      loop(loop_),
      waitForConsumer(waitForConsumer_),
      camera(CameraBackend::v4l2()) {}

SourceHandler::SourceHandlerImpl::SourceHandlerImpl(const std::string& url)
    : sourceKind(VIDEO_STREAM), streamUrl(url), camera(CameraBackend::v4l2()) {}

SourceHandler::SourceHandlerImpl::~SourceHandlerImpl() { stop(); }

void SourceHandler::SourceHandlerImpl::start() {
    std::lock_guard<std::mutex> control(controlMutex);
    startLocked();
}

void SourceHandler::SourceHandlerImpl::stop() {
    std::lock_guard<std::mutex> control(controlMutex);
    stopLocked();
}

void SourceHandler::SourceHandlerImpl::startLocked() {
    if (running) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        frameNumber = 0;
        consumed = false;
        frame = cv::Mat();
    }
    openSource();
    if (!capture.isOpened()) {
        capture.release();
        throw std::runtime_error("Could not open source");
    }
    running = true;
    paused = false;
    thread = std::thread(&SourceHandlerImpl::threadLoop, this);
}

void SourceHandler::SourceHandlerImpl::stopLocked() {
    if (!running && !thread.joinable()) return;
    changeAndWake([this] {
        running = false;
        paused = false;
    });
    // The capture is released only once the grabbing thread can no longer touch it.
    if (thread.joinable()) thread.join();
    capture.release();
    std::lock_guard<std::mutex> lock(propertiesMutex);
    sourceWidth = sourceHeight = sourceFps = 0.0;
}

void SourceHandler::SourceHandlerImpl::pause() {
    changeAndWake([this] { paused = true; });
}

void SourceHandler::SourceHandlerImpl::unpause() {
    changeAndWake([this] { paused = false; });
}

void SourceHandler::SourceHandlerImpl::changeAndWake(const std::function<void()>& change) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        change();
        ++wakeups;
    }
    condition.notify_one();
}

void SourceHandler::SourceHandlerImpl::useUsbCamera(int index, const cv::Size& size) {
    std::lock_guard<std::mutex> control(controlMutex);
    const bool wasRunning = running;
    stopLocked();
    sourceKind = USB_CAMERA;
    cameraIndex = index;
    requestedSize = size;
    filePath.clear();
    streamUrl.clear();
    loop = waitForConsumer = false;
    if (wasRunning) startLocked();
}

void SourceHandler::SourceHandlerImpl::useVideoFile(const std::string& path, bool loop_, bool waitForConsumer_) {
    std::lock_guard<std::mutex> control(controlMutex);
    const bool wasRunning = running;
    stopLocked();
    sourceKind = VIDEO_FILE;
    cameraIndex = 0;
    requestedSize = cv::Size(0, 0);
    filePath = path;
    streamUrl.clear();
    loop = loop_;
    waitForConsumer = waitForConsumer_;
    if (wasRunning) startLocked();
}

void SourceHandler::SourceHandlerImpl::useVideoStream(const std::string& url) {
    std::lock_guard<std::mutex> control(controlMutex);
    const bool wasRunning = running;
    stopLocked();
    sourceKind = VIDEO_STREAM;
    cameraIndex = 0;
    requestedSize = cv::Size(0, 0);
    filePath.clear();
    streamUrl = url;
    loop = waitForConsumer = false;
    if (wasRunning) startLocked();
}

void SourceHandler::SourceHandlerImpl::openSource() {
    capture.release();
    switch (sourceKind.load()) {
        case VIDEO_FILE: capture.open(filePath, cv::CAP_ANY); break;
        case VIDEO_STREAM: capture.open(streamUrl, cv::CAP_GSTREAMER); break;
        case USB_CAMERA:
            camera.open(capture, cameraIndex);
            // A size with a zero side is no request at all.
            if (requestedSize.width != 0 && requestedSize.height != 0) {
                camera.set(capture, cv::CAP_PROP_FRAME_WIDTH, requestedSize.width);
                camera.set(capture, cv::CAP_PROP_FRAME_HEIGHT, requestedSize.height);
            }
            break;
        default: throw std::invalid_argument("Unhandled source type.");
    }
    rememberSourceProperties();
}

void SourceHandler::SourceHandlerImpl::rememberSourceProperties() {
    const bool open = capture.isOpened();
    std::lock_guard<std::mutex> lock(propertiesMutex);
    sourceWidth = open ? capture.get(cv::CAP_PROP_FRAME_WIDTH) : 0.0;
    sourceHeight = open ? capture.get(cv::CAP_PROP_FRAME_HEIGHT) : 0.0;
    sourceFps = open ? capture.get(cv::CAP_PROP_FPS) : 0.0;
}

cv::Size SourceHandler::SourceHandlerImpl::getSourceResolution() const {
    std::lock_guard<std::mutex> lock(propertiesMutex);
    return {static_cast<int>(sourceWidth), static_cast<int>(sourceHeight)};
}

int SourceHandler::SourceHandlerImpl::getSourceFrameDelay() const {
    double fps = 0.0;
    {
        std::lock_guard<std::mutex> lock(propertiesMutex);
        fps = sourceFps;
    }
    if (fps > 0.0 && fps <= MAX_REPORTED_FPS) return static_cast<int>(1000.0 / fps);
    return sourceKind == VIDEO_FILE ? FILE_DEFAULT_DELAY_MS : LIVE_DEFAULT_DELAY_MS;
}

std::int64_t SourceHandler::SourceHandlerImpl::getSourceFps() const { return 1000 / getSourceFrameDelay(); }

// Reads one frame; a back end that throws counts as a failed read, so a broken source
// shows in the status instead of ending the process.
void SourceHandler::SourceHandlerImpl::readFrame() {
    try {
        if (!capture.read(frame)) frame = cv::Mat();
    } catch (const std::exception& e) {
        logError(std::string("Video source read failed: ") + e.what());
        frame = cv::Mat();
    }
}

void SourceHandler::SourceHandlerImpl::waitForReconnect(std::unique_lock<std::mutex>& lock) {
    const std::uint64_t seen = wakeups;
    condition.wait_for(lock, RECONNECT_WAIT, [&] { return !running || wakeups != seen; });
    if (!running) return;
    try {
        openSource();
    } catch (const std::exception& e) {
        logError(std::string("Video stream reconnect failed: ") + e.what());
    }
}

void SourceHandler::SourceHandlerImpl::threadLoop() {
    const auto delay = std::chrono::milliseconds(getSourceFrameDelay());
    auto due = SteadyClock::now();
    const bool isFile = sourceKind == VIDEO_FILE;
    const bool isStream = sourceKind == VIDEO_STREAM;
    while (running) {
        std::unique_lock<std::mutex> lock(mutex);
        // Pace: only a stop cuts this wait short.
        if (condition.wait_until(lock, due, [this] { return !running.load(); })) return;
        if (paused && !isStream) condition.wait(lock, [this] { return !paused || !running; });
        // The first read of a run never waits for the consumer.
        if (isFile && waitForConsumer && !consumed && frameNumber != 0)
            condition.wait(lock, [this] { return consumed || !running; });

        readFrame();
        due = SteadyClock::now() + delay;
        ++frameNumber;
        consumed = false;

        if (frame.empty() && running) {
            if (isFile && loop) {
                // Start over in the same pass; this read is neither counted nor tested.
                try {
                    capture.set(cv::CAP_PROP_POS_FRAMES, 0);
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
    if (consumed) return {NO_NEW_FRAME, frameNumber, cv::Mat()};
    std::unique_lock<std::mutex> lock(mutex);
    const std::uint32_t number = frameNumber;
    if (frame.empty()) {
        if (number == 0) return {NO_FRAME_YET, number, cv::Mat()};
        switch (sourceKind.load()) {
            case VIDEO_STREAM: return {STREAM_LOST, number, cv::Mat()};
            case VIDEO_FILE: return {VIDEO_ENDED, number, cv::Mat()};
            default: return {CAMERA_ERROR, number, cv::Mat()};
        }
    }
    cv::Mat copy = frame.clone();
    consumed = true;
    lock.unlock();
    condition.notify_one();  // a file reader waiting for its consumer goes on
    return {NEW_FRAME, number, std::move(copy)};
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
