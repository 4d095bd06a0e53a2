#include "hx_engine.h"

#include <exception>
#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "hx_allocator.h"
#include "hx_image.h"
#include "hx_log.h"

namespace hx {

namespace {

std::int64_t totalDetectionMilliseconds(const std::vector<lm::AggregatedBody>& bodies) {
    std::int64_t total = 0;
    for (const auto& body : bodies) total += body.totalDetectionDuration.count();
    return total;
}

const cv::Scalar ROI_COLOUR(255, 255, 255);

void drawRoi(cv::Mat& image, const cv::Rect& roi) {
    if (roi.area() > 0) cv::rectangle(image, roi, ROI_COLOUR, 1, cv::LINE_8, 0);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Lifecycle

Engine::Engine(const Settings& settings, const std::string& httpBindAddress)
    : mLumora(settings),
      mStatusHandler(settings),
      mSourceHandler(0, cv::Size(0, 0)),
      mDataManager(settings, mStatusHandler),
      mHttpServer(std::in_place, settings, httpBindAddress),
      mSettings(settings),
      mRtpStream(mStatusHandler, [this](cv::Mat& picture) { return nextStreamPicture(picture); }) {
    registerEndpoints();
    mDataManager.setHttpEndPoints(*mHttpServer);
}

Engine::~Engine() {
    // No request may reach the engine while it goes: the server waits for running handlers.
    mHttpServer.reset();
    std::lock_guard lifecycle(mLifecycleMutex);
    mRunning = false;
    if (mProcessingThread.joinable()) mProcessingThread.join();
    try {
        // A run the owner did not stop still hands over its people count and aggregations.
        onProcessingStopped();
    } catch (const std::exception& error) {
        harbixLog()->error("Exception occured on process frame: {}", error.what());
    } catch (...) {
        harbixLog()->error("Exception occured on process frame: {}", "unknown exception");
    }
    // The RTP stream goes next, first of the members: it is declared last.
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
    mRunStart = std::chrono::system_clock::now();
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
    // The RTP stream is stopped and restarted around the change.
    const bool wasStreaming = mStatusHandler.isRtpStreaming();
    if (wasStreaming) mRtpStream.stop();
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
    replaceStatusEndpoint();
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
    // The networks the change replaced are free by now, but the allocator keeps their pages
    // for itself: handed back, each change costs only what the new networks hold.
    returnFreedMemory();
    if (wasProcessing) startLocked();
    if (wasStreaming) {
        try {
            startRtpStreamLocked();
        } catch (const std::exception& error) {
            // The new settings stand; only the stream stays off.
            harbixLog()->error("Cannot restart RTP stream: {}", error.what());
        }
    }
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
    return mZoomCenterOffsetAbs;
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

void Engine::endRunAfterCameraFailure() {
    // The operator hears that the camera failed even when the run's last lines cannot be
    // written; that failure still goes on to the processing loop, which reports it.
    try {
        onProcessingStopped();
    } catch (...) {
        mStatusHandler.setVideoSourceStatus(false, true);
        throw;
    }
    mStatusHandler.setVideoSourceStatus(false, true);
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
            endRunAfterCameraFailure();
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
                                            mSettings.rotateMode, mSettings.zoomFactor, mZoomCenterOffsetAbs);
    const cv::Mat display = frame;
    const cv::Mat analysed = image::applyRoi(frame, mRoiAbs);

    const lm::Lumora::FrameTime frameTime = frameTimeOf(result);
    std::vector<lm::Person> people;
    {
        std::lock_guard lumora(mLumoraMutex);
        people = mLumora.analyze(analysed, frameTime);
    }
    image::translateByRoi(people, mRoiAbs, frame);

    std::vector<lm::Body> bodies;
    if (mSettings.peopleCountEnabled) {
        {
            std::lock_guard lumora(mLumoraMutex);
            bodies = mLumora.analyzeBodies(analysed, frameTime);
        }
        mBodyAggregator.newDetections(bodies, frameTime);
        image::translateByRoi(bodies, mRoiAbs, frame);
        addFinishedBodies(mBodyAggregator.getFinalizedAggregations(true));
        mDataManager.newPeopleCountDataPoint({mPeopleCountTotal, mDetectionDurationTotal});
    }

    mCurrentFps = mFps();
    mDataManager.newRawDataPoint(people, result.frameNumber, frameTime);

    std::lock_guard frameLock(mFrameMutex);
    mFrame = display;
    mPeople = people;
    mBodies = bodies;
}

lm::Lumora::FrameTime Engine::frameTimeOf(const lm::help::SourceHandler::FrameResult& result) const {
    if (!result.videoTime) return std::nullopt;
    return mRunStart + *result.videoTime;
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
        default: harbixLog()->warn("Unhandled source type."); throw std::invalid_argument("Unhandled source type.");
    }
    mSourceHandler.start();
    const cv::Size resolution = mSourceHandler.getSourceResolution();
    const auto fps = mSourceHandler.getSourceFps();
    harbixLog()->info("Source resolution : {}x{} @ {} fps", resolution.width, resolution.height, fps);
    mSourceHandler.stop();
    // OpenCV tells an unknown side as 0 or as -1.
    if (resolution.empty()) throw std::runtime_error("Error opening source. Cannot get resolution info");
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
        mZoomCenterOffsetAbs = pixels.zoomCenterOffset;
        log->debug("mAbszoomCenterOffset.x = {} abs mAbszoomCenterOffset.y = {}", mZoomCenterOffsetAbs.x,
                   mZoomCenterOffsetAbs.y);
    }
    std::lock_guard lumora(mLumoraMutex);
    mLumora.setSettings(mSettings);
}

// ---------------------------------------------------------------------------------------
// Preview picture and the RTP stream's pictures

cv::Mat Engine::getCurrentFrame() {
    bool blurFaces = false;
    bool drawResult = false;
    cv::Rect roi;
    {
        std::lock_guard settingsLock(mSettingsMutex);
        blurFaces = mSettings.blurFaces;
        drawResult = mSettings.drawResult;
        roi = mRoiAbs;
    }
    std::vector<cv::Rect> trackedBoxes;
    if (blurFaces) {
        // Apart from the frame lock: the processing step never holds both.
        std::lock_guard lumora(mLumoraMutex);
        trackedBoxes = mLumora.getTrackedBoxes();
    }

    std::lock_guard frameLock(mFrameMutex);
    if (mFrame.empty()) return {};
    // Every caller gets a picture of its own: the preview and the RTP thread never share
    // pixels that another call writes, and the stored frame stays as it was analysed.
    cv::Mat image = mFrame.clone();
    cv::putText(image, fmt::format("FPS : {:.2}", mCurrentFps.load()), cv::Point(20, 20), cv::FONT_HERSHEY_PLAIN, 1.0,
                cv::Scalar(0, 255, 0), 1, cv::LINE_8, false);
    if (blurFaces) {
        // The tracker's boxes are in the pixels of the analysed region.
        const cv::Rect effective = image::effectiveRoi(roi, image);
        for (auto& box : trackedBoxes) box += effective.tl();
        lm::help::blurBoxes(trackedBoxes, image);
        drawRoi(image, effective);
        return image;
    }
    if (!drawResult) return image;
    lm::help::drawPeople(mPeople, image);
    lm::help::drawBodies(mBodies, image);
    drawRoi(image, image::effectiveRoi(roi, image));
    return image;
}

void Engine::startRtpStream() {
    std::lock_guard lifecycle(mLifecycleMutex);
    startRtpStreamLocked();
}

void Engine::stopRtpStream() {
    std::lock_guard lifecycle(mLifecycleMutex);
    mRtpStream.stop();
}

void Engine::startRtpStreamLocked() {
    harbixLog()->info("Start RTP");
    // Before the source is opened again: a stream that ended by itself read it to its end.
    mRtpStream.joinEnded();
    if (!mStatusHandler.isProcessing()) {
        try {
            openSource();
            mSourceHandler.start();
        } catch (const std::runtime_error&) {
            harbixLog()->error("Cannot start RTP stream. Cannot open source.");
            throw;
        }
    }
    const Settings settings = getSettings();
    mRtpStream.start(cv::Size(settings.resolutionWidth, settings.resolutionHeight));
}

bool Engine::nextStreamPicture(cv::Mat& picture) {
    if (!mStatusHandler.isProcessing()) return nextSourcePicture(picture);
    picture = getCurrentFrame();
    return true;
}

bool Engine::nextSourcePicture(cv::Mat& picture) {
    const auto result = mSourceHandler.getNextFrame();
    switch (result.status) {
        case lm::help::SourceHandler::NEW_FRAME: break;
        // Polling faster than the source delivers, or a stream that reconnects by itself:
        // the last picture goes out again.
        case lm::help::SourceHandler::NO_FRAME_YET:
        case lm::help::SourceHandler::NO_NEW_FRAME:
        case lm::help::SourceHandler::STREAM_LOST: return true;
        case lm::help::SourceHandler::CAMERA_ERROR:
        case lm::help::SourceHandler::VIDEO_ENDED: return false;
    }
    const Settings settings = getSettings();
    picture = image::preprocess(result.frame, settings.flipHorizontally, settings.flipVertically, settings.rotateMode,
                                settings.zoomFactor, getZoomCenterOffsetAbs());
    drawRoi(picture, image::effectiveRoi(getRoiAbs(), picture));
    return true;
}

}  // namespace hx
