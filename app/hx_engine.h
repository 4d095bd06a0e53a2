#pragma once
// The processing engine: owns the analysis library, the video source, the data outputs and
// the HTTP server, and runs the analysis on a processing thread of its own. Each frame is
// taken from the source, mirrored, rotated and zoomed as the settings ask, cut to the region
// of interest, analysed for faces (and bodies when people counting is on), handed to the data
// outputs and kept for the preview.
//
// What it guarantees:
// - start, stop and setSettings may be called from any thread at any time; they run one at
//   a time, and no more than one processing thread ever runs;
// - the end-of-run work (source stopped, people count and open aggregations flushed, face
//   tracker reset) runs exactly once per run, whether the run ends by stop, by the end of a
//   video file or by a failed camera read;
// - nothing thrown while a frame is processed leaves the processing thread: it is recorded
//   as the runtime error and processing is marked off;
// - calls into the library facade never overlap (one lock of the engine's own around each).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>

#include <lumora/lm_aggregator.h>
#include <lumora/lm_help.h>
#include <lumora/lm_lumora.h>
#include <lumora/lm_records.h>
#include <lumora/lm_sourcehandler.h>

#include "hx_data_manager.h"
#include "hx_http.h"
#include "hx_http_server.h"
#include "hx_rtp_stream.h"
#include "hx_settings.h"
#include "hx_status.h"

namespace hx {

class Engine {
public:
    // Builds the library (which loads every network), the status handler, the source, the
    // data outputs and the HTTP server (listening on `httpBindAddress` from then on), and
    // registers the endpoints. Opens no source and starts no thread.
    explicit Engine(const Settings& settings, const std::string& httpBindAddress = "0.0.0.0");
    // Stops the HTTP server first, so that no request reaches a half-destroyed engine, then
    // ends a run still going (with its end-of-run work) and joins the engine's threads.
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Opens the source and starts the analysis; a source that cannot be opened is logged and
    // reported through the status handler (error 1103, event 1011). Does nothing while
    // processing runs or a settings error is pending.
    void start();
    // Ends the analysis and runs the end-of-run work. Does nothing while processing is off or
    // a settings error is pending.
    void stop();
    // Applies checked settings: stops what runs, applies them to the library, the outputs and
    // the HTTP server, reopens the source and restarts what had been running.
    void setSettings(const Settings& settings);

    // The processing rate measured at the last analysed frame.
    float getFps() const;
    // The program's shared state, for readers of the status.
    const StatusHandler& getStatusHandler() const { return mStatusHandler; }
    // The engine's settings; its library part carries the face-size limits in pixels.
    Settings getSettings() const;
    // The region of interest and zoom-centre offset in pixels of the source, as last opened.
    cv::Rect getRoiAbs() const;
    cv::Point getZoomCenterOffsetAbs() const;

    // The last analysed frame annotated as the settings ask (frame rate; blurred faces, or
    // drawn people and bodies; the region of interest); empty before the first analysed
    // frame. Every call returns a picture of its own that no other call writes into.
    cv::Mat getCurrentFrame();
    // Starts the H.264 RTP stream to 127.0.0.1:5000 (opening the source when no analysis
    // runs). Throws what opening the source throws, and RtpWriterError when the GStreamer
    // writer cannot be opened; in both cases nothing is streaming afterwards.
    void startRtpStream();
    // Stops the stream; the video source is left as it is.
    void stopRtpStream();

    // The lock the control endpoints hold: the preview's keys take it too.
    std::unique_lock<std::mutex> lockApi();

    // The control endpoints (in hx_engine_control.cpp); "/status" answers 404 while
    // statusPullEnabled is off.
    http::HandlerFunction getHttpStartHandler();
    http::HandlerFunction getHttpStopHandler();
    http::HandlerFunction getHttpSetSettingsHandler();
    http::HandlerFunction getHttpGetSettingsHandler();
    http::HandlerFunction getHttpStoreSettingsHandler();
    http::HandlerFunction getHttpGetDefaultSettingsHandler();
    http::HandlerFunction getRtpStartHandler();
    http::HandlerFunction getRtpStopHandler();
    http::HandlerFunction getHttpGetStatusHandler();

private:
    void registerEndpoints();
    // Registers "/status" again, for a change of statusPullEnabled.
    void replaceStatusEndpoint();

    // The bodies of start, stop and setSettings, run under mLifecycleMutex.
    void startLocked();
    void stopLocked();
    // stop without the settings-error gate, for setSettings.
    void haltLocked();
    // Joins a processing thread that has ended (or is ending) by itself.
    void joinEndedProcessingThread();

    void processingLoop();
    void processFrame();
    // A video file's frame shows at the run's start plus its place in the file; a camera's
    // or a stream's frame has no time of its own.
    lm::Lumora::FrameTime frameTimeOf(const lm::help::SourceHandler::FrameResult& result) const;
    // Runs the end-of-run work if this run's has not run yet.
    void onProcessingStopped();
    void endRun();
    // The end of a run whose camera failed, and the report of the failed source.
    void endRunAfterCameraFailure();
    void addFinishedBodies(const std::vector<lm::AggregatedBody>& finished);
    void openSource();
    void calculateRelativePoints(cv::Size frameSize);

    // startRtpStream's body, run under mLifecycleMutex.
    void startRtpStreamLocked();
    // What the stream sends: the annotated picture while the analysis runs, else the
    // picture read from the source itself.
    bool nextStreamPicture(cv::Mat& picture);
    // The next picture read from the source itself; false when the source has ended or
    // failed. Without a new frame the picture stays as it was.
    bool nextSourcePicture(cv::Mat& picture);

    lm::Lumora mLumora;
    StatusHandler mStatusHandler;
    lm::help::SourceHandler mSourceHandler;
    DataManager mDataManager;
    // Held in place so that the destructor can stop it before anything else goes.
    std::optional<http::Server> mHttpServer;
    Settings mSettings;
    lm::help::Fps mFps{};
    cv::Rect mRoiAbs;
    cv::Point mZoomCenterOffsetAbs;
    std::thread mProcessingThread;
    mutable std::mutex mFrameMutex;  // mFrame, mPeople, mBodies
    std::mutex mApiMutex;            // held by the engine's HTTP handlers
    std::atomic<bool> mRunning{false};
    cv::Mat mFrame;
    std::vector<lm::Person> mPeople;
    std::vector<lm::Body> mBodies;
    std::atomic<float> mCurrentFps{0.0f};
    lm::BodyAggregator mBodyAggregator;
    lm::TimePoint mRunStart;  // when the current run started, the origin of a file's clock
    std::int32_t mPeopleCountTotal = 0;
    std::int64_t mDetectionDurationTotal = 0;  // milliseconds

    // Every call into mLumora (analysis, settings, tracker resets, tracked boxes) holds this
    // lock and no other engine lock is taken while it is held.
    mutable std::mutex mLumoraMutex;
    // Serialises start, stop and setSettings among the controlling threads (main thread and
    // HTTP workers). Never taken by the processing or RTP threads, so joining them under it
    // cannot deadlock. Taken after mApiMutex and before the RTP stream's own lock.
    std::mutex mLifecycleMutex;
    // Set when a run starts; whoever clears it first (stop, or the processing thread at the
    // end of a file or after a camera failure) does that run's end-of-run work.
    std::atomic<bool> mRunEndPending{false};
    // The settings and pixel values read by getters on other threads.
    mutable std::mutex mSettingsMutex;
    // Declared last so that it goes first: its thread reads the members above until it has
    // been joined.
    RtpStream mRtpStream;
};

}  // namespace hx
