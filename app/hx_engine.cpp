#include "hx_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <stdexcept>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "hx_format.h"
#include "hx_log.h"
#include "hx_product.h"

namespace hx {

namespace {

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
    pixels.zoomCenterOffset =
        cv::Point(toPixels(settings.zoomCenterOffset_X, width), toPixels(settings.zoomCenterOffset_Y, height));
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
    server.addEndpoint("/start", getHttpStartHandler());
    server.addEndpoint("/stop", getHttpStopHandler());
    server.addEndpoint("/settings/set", getHttpSetSettingsHandler());
    server.addEndpoint("/settings/get", getHttpGetSettingsHandler());
    server.addEndpoint("/settings/store", getHttpStoreSettingsHandler());
    server.addEndpoint("/settings/getDefaults", getHttpGetDefaultSettingsHandler());
    server.addEndpoint("/rtp/start", getRtpStartHandler());
    server.addEndpoint("/rtp/stop", getRtpStopHandler());
    server.addEndpoint("/status", getHttpGetStatusHandler());
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
    // The RTP stream is stopped and restarted around the change.
    const bool wasStreaming = mStatusHandler.isRtpStreaming();
    if (wasStreaming) stopRtpStreamLocked();
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
    mHttpServer->addEndpoint("/status", getHttpGetStatusHandler());
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
        default: harbixLog()->warn("Unhandled source type."); throw std::invalid_argument("Unhandled source type.");
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

// ---------------------------------------------------------------------------------------
// Preview picture and RTP stream

namespace {

const cv::Scalar ROI_COLOUR(255, 255, 255);

void drawRoi(cv::Mat& image, const cv::Rect& roi) {
    if (area(roi) > 0) cv::rectangle(image, roi, ROI_COLOUR, 1, cv::LINE_8, 0);
}

// The GStreamer pipeline of the RTP stream: H.264 for low latency, to port 5000 of loopback.
std::string rtpPipeline() {
    return "appsrc ! videoconvert ! x264enc tune=zerolatency bitrate=500 speed-preset=superfast ! rtph264pay ! "
           "udpsink host=127.0.0.1 port=5000";
}

}  // namespace

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
    stopRtpStreamLocked();
}

void Engine::startRtpStreamLocked() {
    std::lock_guard rtp(mRtpMutex);
    harbixLog()->info("Start RTP");
    if (mRtpThread.joinable()) mRtpThread.join();
    if (!mStatusHandler.isProcessing()) {
        try {
            openSource();
            mSourceHandler.start();
        } catch (const std::runtime_error&) {
            harbixLog()->error("Cannot start RTP stream. Cannot open source.");
            throw;
        }
    }
    Settings settings = getSettings();
    mRtpFrameSize = cv::Size(settings.resolutionWidth, settings.resolutionHeight);
    mRtpWriter.open(rtpPipeline(), cv::CAP_GSTREAMER, 0, 10.0, mRtpFrameSize, true);
    if (!mRtpWriter.isOpened()) {
        harbixLog()->error("Cannot start RTP stream. Cannot open video writer.");
        throw RtpWriterError("Cannot start RTP stream. Cannot open video writer.");
    }
    mStatusHandler.setRtpStreaming(true);
    mRtpThread = std::thread(&Engine::streamFrame, this);
}

void Engine::stopRtpStreamLocked() {
    std::lock_guard rtp(mRtpMutex);
    if (!mStatusHandler.isRtpStreaming()) return;
    harbixLog()->info("Stop RTP");
    mStatusHandler.setRtpStreaming(false);
    if (mRtpThread.joinable()) mRtpThread.join();
    mRtpWriter.release();
}

void Engine::streamFrame() {
    try {
        cv::Mat image;
        while (mStatusHandler.isRtpStreaming()) {
            if (mStatusHandler.isProcessing()) {
                image = getCurrentFrame();
            } else if (!nextRtpSourceImage(image)) {
                harbixLog()->error("Video source error occured during RTP stream.");
                mStatusHandler.setRtpStreaming(false);
                return;
            }
            writeRtpImage(image);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    } catch (const std::exception& error) {
        harbixLog()->error("Exception occured on RTP stream: {}", error.what());
        mStatusHandler.setRtpStreaming(false);
        mStatusHandler.setRuntimeError(error.what(), true);
    } catch (...) {
        harbixLog()->error("Exception occured on RTP stream: {}", "unknown exception");
        mStatusHandler.setRtpStreaming(false);
        mStatusHandler.setRuntimeError("unknown exception", true);
    }
}

bool Engine::nextRtpSourceImage(cv::Mat& image) {
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
    image = image::preprocess(result.frame, settings.flipHorizontally, settings.flipVertically, settings.rotateMode,
                              settings.zoomFactor, getZoomCenterOffsetAbs());
    drawRoi(image, image::effectiveRoi(getRoiAbs(), image));
    return true;
}

void Engine::writeRtpImage(const cv::Mat& image) {
    if (image.empty()) return;
    // The writer was opened for the configured size; a source of another size or a turned
    // picture is scaled to it.
    if (image.size() == mRtpFrameSize) {
        mRtpWriter.write(image);
        return;
    }
    cv::Mat scaled;
    cv::resize(image, scaled, mRtpFrameSize);
    mRtpWriter.write(scaled);
}

// ---------------------------------------------------------------------------------------
// Control endpoints

namespace {

using Request = Poco::Net::HTTPServerRequest;
using Response = Poco::Net::HTTPServerResponse;
using Code = StatusHandler::APIErrorCode;

struct Answer {
    std::string body;
    bool serverError = false;  // status 500 instead of 200
};

enum class Headers { CHUNKED, CORS };

void send(Response& response, Headers headers, const Answer& answer) {
    response.setContentType("application/json");
    if (headers == Headers::CORS)
        response.set("Access-Control-Allow-Origin", "*");
    else
        response.setChunkedTransferEncoding(true);
    if (answer.serverError) response.setStatus(Poco::Net::HTTPResponse::HTTP_INTERNAL_SERVER_ERROR);
    response.sendBuffer(answer.body.data(), answer.body.size());
}

// The engine-initialisation error as an answer: status 500 when there is one.
Answer initErrorAnswer(const StatusHandler& status) {
    const auto error = status.getEngineInitError();
    return {format::getAPIResponseStr(error.code, error.description), status.hasEngineInitError()};
}

Poco::JSON::Object::Ptr parseObject(Request& request) {
    Poco::JSON::Parser parser;
    const Poco::Dynamic::Var root = parser.parse(request.stream());
    return root.extract<Poco::JSON::Object::Ptr>();
}

}  // namespace

std::unique_lock<std::mutex> Engine::lockApi() { return std::unique_lock(mApiMutex); }

http::HandlerFunction Engine::getHttpStartHandler() {
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        Answer answer;
        if (mStatusHandler.isProcessing()) {
            answer = {format::getAPIResponseStr(Code::ANALYSIS_ALREADY_RUNNING, "Analysis is already running"), true};
        } else {
            start();
            answer = initErrorAnswer(mStatusHandler);
        }
        send(response, Headers::CHUNKED, answer);
    };
}

http::HandlerFunction Engine::getHttpStopHandler() {
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        Answer answer;
        if (!mStatusHandler.isProcessing()) {
            answer = {format::getAPIResponseStr(Code::ANALYSIS_NOT_RUNNING, "Analysis not running"), true};
        } else {
            stop();
            answer = initErrorAnswer(mStatusHandler);
        }
        send(response, Headers::CHUNKED, answer);
    };
}

http::HandlerFunction Engine::getHttpSetSettingsHandler() {
    return [this](Request& request, Response& response) {
        std::lock_guard api(mApiMutex);
        try {
            const Poco::JSON::Object::Ptr object = parseObject(request);
            Settings settings;
            settings.jsonToSettings(object);
            setSettings(settings);
            mStatusHandler.clearSettingsError();
        } catch (const std::exception& error) {
            stop();
            mStatusHandler.setSettingsError(error.what(), true);
        }
        send(response, Headers::CORS, initErrorAnswer(mStatusHandler));
    };
}

http::HandlerFunction Engine::getHttpGetSettingsHandler() {
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        send(response, Headers::CORS, {getSettings().settingsToJsonString(0), false});
    };
}

http::HandlerFunction Engine::getHttpStoreSettingsHandler() {
    return [this](Request& request, Response& response) {
        std::lock_guard api(mApiMutex);
        Answer answer;
        try {
            const Poco::JSON::Object::Ptr object = parseObject(request);
            if (!object->has("file_path")) throw std::invalid_argument("Missing field in body");
            const std::string path = object->get("file_path").convert<std::string>();
            // Written beside the target and renamed over it: a failure leaves the old file.
            getSettings().saveSettingsAsJson(path);
            harbixLog()->info("Settings stored : {}", path);
            mStatusHandler.clearSettingsError();
            answer = initErrorAnswer(mStatusHandler);
        } catch (const std::exception& error) {
            answer = {format::getAPIResponseStr(Code::BAD_REQUEST, error.what()), false};
        }
        send(response, Headers::CORS, answer);
    };
}

http::HandlerFunction Engine::getHttpGetDefaultSettingsHandler() {
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        Settings defaults;
        defaults.neuralNetworksPath = "./networks";
        send(response, Headers::CORS, {defaults.settingsToJsonString(0), false});
    };
}

http::HandlerFunction Engine::getRtpStartHandler() {
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        Answer answer;
        if (mStatusHandler.isRtpStreaming()) {
            answer.body = format::getAPIResponseStr(Code::RTP_ALREADY_ACTIVE, "RTP stream is already active");
        } else {
            try {
                startRtpStream();
                answer.body = format::getAPIResponseStr(Code::SUCCESS, "RTP stream started");
            } catch (const RtpWriterError& error) {
                answer.body = format::getAPIResponseStr(Code::INTERNAL_ERROR, error.what());
            } catch (const std::runtime_error&) {
                answer.body = format::getAPIResponseStr(Code::VIDEO_SOURCE_ERROR,
                                                        "Cannot start RTP stream. Cannot open video source.");
            }
        }
        send(response, Headers::CHUNKED, answer);
    };
}

http::HandlerFunction Engine::getRtpStopHandler() {
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        Answer answer;
        if (!mStatusHandler.isRtpStreaming()) {
            answer.body = format::getAPIResponseStr(Code::RTP_ALREADY_STOPPED, "RTP stream is already stopped");
        } else {
            stopRtpStream();
            answer.body = format::getAPIResponseStr(Code::SUCCESS, "RTP stream is stopped");
        }
        send(response, Headers::CHUNKED, answer);
    };
}

http::HandlerFunction Engine::getHttpGetStatusHandler() {
    if (!getSettings().statusPullEnabled) return http::notFoundHandler();
    return [this](Request&, Response& response) {
        std::lock_guard api(mApiMutex);
        const std::string body =
            fmt::format("{{{},\"rtp_stream\":{},\"processing\":{}}}",
                        format::getEngineInitErrorAsJsonString(mStatusHandler.getEngineInitError()),
                        mStatusHandler.isRtpStreaming(), mStatusHandler.isProcessing());
        send(response, Headers::CORS, {body, false});
    };
}

}  // namespace hx
