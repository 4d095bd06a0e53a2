#include "hx_engine.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

#include <fmt/format.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <spdlog/spdlog.h>

#include "hx_format.h"
#include "hx_product.h"

namespace hx {

namespace {

std::shared_ptr<spdlog::logger> harbixLog() {
    auto log = spdlog::get("HarbixLog");
    return log ? log : spdlog::default_logger();
}

std::int32_t area(const cv::Rect& rect) { return rect.width * rect.height; }

std::int64_t totalDetectionMilliseconds(const std::vector<lm::AggregatedBody>& bodies) {
    std::int64_t total = 0;
    for (const auto& body : bodies) total += body.totalDetectionDuration.count();
    return total;
}

template <typename Record>
void translateBoxes(std::vector<Record>& records, const cv::Rect& roi, const cv::Mat& frame) {
    const cv::Rect effective = image::effectiveRoi(roi, frame);
    if (area(effective) <= 0) return;
    for (auto& record : records) {
        record.boundingBox.x += effective.x;
        record.boundingBox.y += effective.y;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Image preprocessing

namespace image {

cv::Mat preprocess(const cv::Mat& frame, bool flipHorizontally, bool flipVertically, Settings::RotateMode rotateMode,
                   float zoomFactor, cv::Point zoomCenterOffset) {
    cv::Mat result = frame.clone();
    if (flipHorizontally) cv::flip(result, result, 1);
    if (flipVertically) cv::flip(result, result, 0);
    switch (rotateMode) {
        case Settings::ROTATE_90: cv::rotate(result, result, cv::ROTATE_90_CLOCKWISE); break;
        case Settings::ROTATE_180: cv::rotate(result, result, cv::ROTATE_180); break;
        case Settings::ROTATE_270: cv::rotate(result, result, cv::ROTATE_90_COUNTERCLOCKWISE); break;
        case Settings::ROTATE_0: break;
    }
    if (zoomFactor != 1.0f) {
        const cv::Point center(result.cols / 2 + zoomCenterOffset.x, result.rows / 2 + zoomCenterOffset.y);
        zoom(result, result, zoomFactor, center);
    }
    return result;
}

void zoom(const cv::Mat& in, cv::Mat& out, float factor, const cv::Point& center) {
    if (factor < 1.0f) harbixLog()->error("Zoom factor should be bigger than x1.0");
    const int cols = in.cols;
    const int rows = in.rows;
    cv::Rect window(0, 0, cols, rows);
    // Below 1 the window would be larger than the image; the whole image is taken instead.
    // A factor that is not a number zooms nothing either.
    if (factor >= 1.0f) {
        const float wf = static_cast<float>(cols) / factor;
        const float hf = static_cast<float>(rows) / factor;
        // At least one pixel, so that a huge factor on a tiny image still has a window.
        window.width = std::max(1, static_cast<int>(wf));
        window.height = std::max(1, static_cast<int>(hf));
        window.x = center.x - static_cast<int>(wf * 0.5f);
        window.y = center.y - static_cast<int>(hf * 0.5f);
        if (window.x < 0) window.x = 0;
        if (window.y < 0) window.y = 0;
        if (window.x + window.width > cols) window.x = cols - window.width;
        if (window.y + window.height > rows) window.y = rows - window.height;
    }
    // Resizing into the image it reads from would overwrite the window while reading it.
    const cv::Mat view = in(window);
    const cv::Mat source = in.data == out.data ? view.clone() : view;
    cv::resize(source, out, cv::Size(cols, rows), 0, 0, cv::INTER_LINEAR);
}

cv::Rect effectiveRoi(const cv::Rect& roi, const cv::Mat& frame) {
    if (area(roi) <= 0) return {};
    const cv::Rect clipped = lm::help::clipRect(roi, frame);
    return area(clipped) > 0 ? clipped : cv::Rect();
}

cv::Mat applyRoi(const cv::Mat& frame, const cv::Rect& roi) {
    const cv::Rect effective = effectiveRoi(roi, frame);
    return area(effective) > 0 ? frame(effective) : frame;
}

void translateByRoi(std::vector<lm::Person>& people, const cv::Rect& roi, const cv::Mat& frame) {
    translateBoxes(people, roi, frame);
}

void translateByRoi(std::vector<lm::Body>& bodies, const cv::Rect& roi, const cv::Mat& frame) {
    translateBoxes(bodies, roi, frame);
}

std::int32_t toPixels(float fraction, int dimension) {
    return static_cast<std::int32_t>(std::ceil(fraction * static_cast<float>(dimension)));
}

PixelSettings toPixelSettings(const Settings& settings, cv::Size frameSize) {
    const int width = frameSize.width;
    const int height = frameSize.height;
    PixelSettings pixels;
    const int x = toPixels(settings.ROI_X, width);
    const int y = toPixels(settings.ROI_Y, height);
    const int w = toPixels(settings.ROI_W, width);
    const int h = toPixels(settings.ROI_H, height);
    harbixLog()->debug("Abs roi from settings: {} {} {} {} ", x, y, w, h);
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + w, width);
    const int bottom = std::min(y + h, height);
    if (right - left > 0 && bottom - top > 0) pixels.roi = cv::Rect(left, top, right - left, bottom - top);
    pixels.maxFaceSize = toPixels(settings.maxFaceSize, width);
    pixels.minFaceSize = toPixels(settings.minFaceSize, width);
    pixels.zoomCenterOffset = cv::Point(toPixels(settings.zoomCenterOffset_X, width),
                                        toPixels(settings.zoomCenterOffset_Y, height));
    return pixels;
}

}  // namespace image

// ---------------------------------------------------------------------------------------
// Lifecycle

Engine::Engine(const Settings& settings, const std::string& httpBindAddress)
    : mLumora(settings),
      mStatusHandler(settings),
      mSourceHandler(0, cv::Size(0, 0)),
      mDataManager(settings, mStatusHandler),
      mHttpServer(std::in_place, settings, httpBindAddress),
      mSettings(settings) {
    registerEndpoints();
    mDataManager.setHttpEndPoints(*mHttpServer);
}

Engine::~Engine() {
    // No request may reach the engine while it goes: the server waits for running handlers.
    mHttpServer.reset();
    {
        std::lock_guard lifecycle(mLifecycleMutex);
        mRunning = false;
        if (mProcessingThread.joinable()) mProcessingThread.join();
        try {
            // A run the owner did not stop still hands over its people count and
            // aggregations.
            onProcessingStopped();
        } catch (const std::exception& error) {
            harbixLog()->error("Exception occured on process frame: {}", error.what());
        } catch (...) {
            harbixLog()->error("Exception occured on process frame: {}", "unknown exception");
        }
    }
    mStatusHandler.setRtpStreaming(false);
    if (mRtpThread.joinable()) mRtpThread.join();
}

void Engine::registerEndpoints() {
    http::Server& server = *mHttpServer;
    server.addEndpoint("/", http::simpleHandler(fmt::format("{} - {}", product::name(), product::version())));
    server.addEndpoint("/status", statusEndpointHandler());
}

http::HandlerFunction Engine::statusEndpointHandler() const {
    // The status document is served once the control endpoints are in; until then the path
    // answers like any path that is not registered.
    return http::notFoundHandler();
}

void Engine::start() {
    std::lock_guard lifecycle(mLifecycleMutex);
    startLocked();
}

void Engine::stop() {
    std::lock_guard lifecycle(mLifecycleMutex);
    stopLocked();
}

void Engine::joinEndedProcessingThread() {
    // With processing off the thread has cleared mRunning itself and ends after its last
    // step (the end-of-run work or the error report), so this join is short.
    if (mProcessingThread.joinable()) mProcessingThread.join();
}

void Engine::startLocked() {
    if (mStatusHandler.hasSettingsError() || mStatusHandler.isProcessing()) return;
    joinEndedProcessingThread();
    try {
        openSource();
        mSourceHandler.start();
        mStatusHandler.setVideoSourceStatus(true, true);
    } catch (const std::runtime_error& error) {
        harbixLog()->error("Cannot start engine: {}", error.what());
        mStatusHandler.setVideoSourceStatus(false, true);
        return;
    }
    mStatusHandler.clearRuntimeError();
    harbixLog()->info("Start engine");
    mStatusHandler.setPrevSourceHandlerStatus(lm::help::SourceHandler::NO_FRAME_YET);
    mRunning = true;
    mRunEndPending = true;
    // Marked on before the thread runs, so that the outputs have reset their periods and
    // totals before the first frame's data reaches them.
    mStatusHandler.setProcessing(true);
    mProcessingThread = std::thread(&Engine::processingLoop, this);
}

void Engine::stopLocked() {
    if (mStatusHandler.hasSettingsError()) return;
    haltLocked();
}

void Engine::haltLocked() {
    if (!mStatusHandler.isProcessing()) return;
    harbixLog()->info("Stop");
    mRunning = false;
    if (mProcessingThread.joinable()) mProcessingThread.join();
    onProcessingStopped();
}

void Engine::setSettings(const Settings& settings) {
    std::lock_guard lifecycle(mLifecycleMutex);
    const bool wasProcessing = mStatusHandler.isProcessing();
    // Not stop(): a settings error must not leave a run going while its settings change.
    if (wasProcessing) haltLocked();
    joinEndedProcessingThread();
    // The RTP stream is stopped and restarted around the change once it exists.
    {
        std::lock_guard settingsLock(mSettingsMutex);
        mSettings = settings;
    }
    {
        std::lock_guard lumora(mLumoraMutex);
        mLumora.setSettings(mSettings);
    }
    mDataManager.setSettings(mSettings);
    mHttpServer->setSettings(mSettings);
    mHttpServer->removeEndpoint("/status");
    mHttpServer->addEndpoint("/status", statusEndpointHandler());
    try {
        openSource();
        mStatusHandler.setVideoSourceStatus(true, true);
    } catch (const std::runtime_error& error) {
        harbixLog()->error("Cannot start engine: {}", error.what());
        haltLocked();
        mStatusHandler.setVideoSourceStatus(false, true);
        return;
    }
    if (!mSourceHandler.isVideoFile()) {
        std::lock_guard lumora(mLumoraMutex);
        mLumora.resetTracker(false);
        mLumora.resetBodyTracker(false);
    }
    if (wasProcessing) startLocked();
}

float Engine::getFps() const { return mCurrentFps; }

Settings Engine::getSettings() const {
    std::lock_guard settingsLock(mSettingsMutex);
    return mSettings;
}

cv::Rect Engine::getRoiAbs() const {
    std::lock_guard settingsLock(mSettingsMutex);
    return mRoiAbs;
}

cv::Point Engine::getZoomCenterOffsetAbs() const {
    std::lock_guard settingsLock(mSettingsMutex);
    return mAbszoomCenterOffset;
}

void Engine::processingLoop() {
    try {
        while (mRunning) processFrame();
        return;
    } catch (const std::exception& error) {
        // cv::Exception and the library's and outputs' errors alike.
        harbixLog()->error("Exception occured on process frame: {}", error.what());
        mStatusHandler.setRuntimeError(error.what(), true);
    } catch (...) {
        harbixLog()->error("Exception occured on process frame: {}", "unknown exception");
        mStatusHandler.setRuntimeError("unknown exception", true);
    }
    mRunning = false;
    try {
        mStatusHandler.setProcessing(false);
    } catch (const std::exception& error) {
        harbixLog()->error("Exception occured on process frame: {}", error.what());
    } catch (...) {
        harbixLog()->error("Exception occured on process frame: {}", "unknown exception");
    }
}

void Engine::onProcessingStopped() {
    // Claimed once per run: the processing thread at the end of a file and a stop that
    // arrives at the same moment never both do it.
    if (!mRunEndPending.exchange(false)) return;
    endRun();
}

void Engine::endRun() {
    mSourceHandler.stop();
    // Tracks still open count for this run; the aggregator keeps them for the next one.
    addFinishedBodies(mBodyAggregator.getAllAggregations());
    const PeopleCountData totals{mPeopleCountTotal, mDetectionDurationTotal};
    mPeopleCountTotal = 0;
    mDetectionDurationTotal = 0;
    // A failed CSV line is thrown only once the run is closed, so that it never leaves the
    // face tracks or the processing flag behind.
    std::exception_ptr outputFailure;
    try {
        mDataManager.newPeopleCountDataPoint(totals);
        mDataManager.flushRemainingAggregations();
    } catch (...) {
        outputFailure = std::current_exception();
    }
    {
        std::lock_guard lumora(mLumoraMutex);
        mLumora.resetTracker(true);
    }
    mStatusHandler.setProcessing(false);
    if (outputFailure) std::rethrow_exception(outputFailure);
}

void Engine::addFinishedBodies(const std::vector<lm::AggregatedBody>& finished) {
    mPeopleCountTotal += static_cast<std::int32_t>(finished.size());
    mDetectionDurationTotal += totalDetectionMilliseconds(finished);
}

// ---------------------------------------------------------------------------------------
// Frame step and source opening

void Engine::processFrame() {
    auto result = mSourceHandler.getNextFrame();
    const auto status = result.status;
    const auto previous = mStatusHandler.getPrevSourceHandlerStatus();
    switch (status) {
        case lm::help::SourceHandler::VIDEO_ENDED:
            harbixLog()->info("Video Ended");
            mRunning = false;
            onProcessingStopped();
            break;
        case lm::help::SourceHandler::CAMERA_ERROR:
            harbixLog()->error("Failed loading frame");
            mRunning = false;
            onProcessingStopped();
            mStatusHandler.setVideoSourceStatus(false, true);
            break;
        case lm::help::SourceHandler::STREAM_LOST:
            if (previous != lm::help::SourceHandler::STREAM_LOST)
                harbixLog()->warn("Video stream lost .. trying to reconnect");
            break;
        case lm::help::SourceHandler::NEW_FRAME:
            if (previous == lm::help::SourceHandler::STREAM_LOST) harbixLog()->info("Video stream reconnected");
            break;
        case lm::help::SourceHandler::NO_FRAME_YET:
        case lm::help::SourceHandler::NO_NEW_FRAME: break;
    }
    mStatusHandler.setPrevSourceHandlerStatus(status);
    if (status != lm::help::SourceHandler::NEW_FRAME) return;

    const cv::Mat frame = image::preprocess(result.frame, mSettings.flipHorizontally, mSettings.flipVertically,
                                            mSettings.rotateMode, mSettings.zoomFactor, mAbszoomCenterOffset);
    const cv::Mat display = frame;
    const cv::Mat analysed = image::applyRoi(frame, mRoiAbs);

    std::vector<lm::Person> people;
    {
        std::lock_guard lumora(mLumoraMutex);
        people = mLumora.analyze(analysed);
    }
    image::translateByRoi(people, mRoiAbs, frame);

    std::vector<lm::Body> bodies;
    if (mSettings.peopleCountEnabled) {
        {
            std::lock_guard lumora(mLumoraMutex);
            bodies = mLumora.analyzeBodies(analysed);
        }
        mBodyAggregator.newDetections(bodies);
        image::translateByRoi(bodies, mRoiAbs, frame);
        addFinishedBodies(mBodyAggregator.getFinalizedAggregations(true));
        mDataManager.newPeopleCountDataPoint({mPeopleCountTotal, mDetectionDurationTotal});
    }

    mCurrentFps = mFps();
    mDataManager.newRawDataPoint(people, result.frameNumber);

    std::lock_guard frameLock(mFrameMutex);
    mFrame = display;
    mPeople = people;
    mBodies = bodies;
}

void Engine::openSource() {
    switch (mSettings.sourceType) {
        case Settings::WEBCAM:
            mSourceHandler.useUsbCamera(mSettings.webcamIndex,
                                        cv::Size(mSettings.resolutionWidth, mSettings.resolutionHeight));
            harbixLog()->info("Opening webcam source : {}", mSettings.webcamIndex);
            break;
        case Settings::VIDEO_FILE:
            mSourceHandler.useVideoFile(mSettings.videoFilePath, mSettings.loopVideo, mSettings.processAllFrames);
            harbixLog()->info("Opening file source : {}", mSettings.videoFilePath);
            break;
        case Settings::VIDEO_STREAM:
            mSourceHandler.useVideoStream(mSettings.videoStreamUrl);
            harbixLog()->info("Opening IP stream source : {}", mSettings.videoStreamUrl);
            break;
        default:
            harbixLog()->warn("Unhandled source type.");
            throw std::invalid_argument("Unhandled source type.");
    }
    mSourceHandler.start();
    const cv::Size resolution = mSourceHandler.getSourceResolution();
    const auto fps = mSourceHandler.getSourceFps();
    harbixLog()->info("Source resolution : {}x{} @ {} fps", resolution.width, resolution.height, fps);
    mSourceHandler.stop();
    if (area(cv::Rect(cv::Point(), resolution)) == 0)
        throw std::runtime_error("Error opening source. Cannot get resolution info");
    calculateRelativePoints(resolution);
}

void Engine::calculateRelativePoints(cv::Size frameSize) {
    const image::PixelSettings pixels = image::toPixelSettings(mSettings, frameSize);
    auto log = harbixLog();
    {
        std::lock_guard settingsLock(mSettingsMutex);
        mRoiAbs = pixels.roi;
        log->debug("ROI intersection result mRoiAbs.x= {} mRoiAbs.y= {}, mRoiAbs.w= {} mRoiAbs.h= {}", mRoiAbs.x,
                   mRoiAbs.y, mRoiAbs.width, mRoiAbs.height);
        lm::Settings& library = mSettings;
        library.maxFaceSize = pixels.maxFaceSize;
        library.minFaceSize = pixels.minFaceSize;
        log->debug("abs maxFaceSize = {} abs minFaceSize = {}", library.maxFaceSize, library.minFaceSize);
        mAbszoomCenterOffset = pixels.zoomCenterOffset;
        log->debug("mAbszoomCenterOffset.x = {} abs mAbszoomCenterOffset.y = {}", mAbszoomCenterOffset.x,
                   mAbszoomCenterOffset.y);
    }
    std::lock_guard lumora(mLumoraMutex);
    mLumora.setSettings(mSettings);
}

}  // namespace hx
