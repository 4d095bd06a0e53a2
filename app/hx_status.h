#pragma once
// The program's shared state: whether the analysis runs, whether the RTP stream runs,
// whether the video source is usable, and the pending settings and runtime errors. From
// them it derives the engine-initialisation error the HTTP interface reports. Changes of the
// source and new errors go out as status events through a push queue of its own, and the
// parts of the program that registered are told whenever processing starts or stops.
//
// Every operation may be called from any thread: the flags are atomic, and each error's
// flag and text change together under a mutex that also guards the callback list.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <lumora/lm_sourcehandler.h>

#include "hx_push_handler.h"
#include "hx_settings.h"

namespace hx {

class StatusHandler {
public:
    // Codes of the pushed status events.
    enum class StatusPushCode : std::int32_t {
        VIDEO_SOURCE_OPEN = 1010,
        VIDEO_SOURCE_ERROR = 1011,
        RUNTIME_ERROR = 1020,
        SETTINGS_ERROR = 1021,
    };

    // Codes of the answers of the HTTP interface.
    enum class APIErrorCode : std::int32_t {
        SUCCESS = 0,  // as engine-initialisation error: none
        SETTINGS_ERROR = 1101,
        VIDEO_SOURCE_ERROR = 1103,
        RUNTIME_ERROR = 1104,
        ANALYSIS_ALREADY_RUNNING = 1200,
        ANALYSIS_NOT_RUNNING = 1201,
        RTP_ALREADY_ACTIVE = 1202,
        RTP_ALREADY_STOPPED = 1203,
        FEATURE_DISABLED = 1300,
        BAD_REQUEST = 1400,
        INTERNAL_ERROR = 1500,
    };

    struct EngineInitError {
        APIErrorCode code;
        std::string description;
    };

    // The video source's frame status last seen by the frame loop.
    using SourceStatus = lm::help::SourceHandler::Status;
    static constexpr SourceStatus NO_FRAME_YET = lm::help::SourceHandler::NO_FRAME_YET;

    // The status push switch and URL are taken from these settings once; later settings
    // do not reach them.
    explicit StatusHandler(const Settings& settings);
    StatusHandler(const StatusHandler&) = delete;
    StatusHandler& operator=(const StatusHandler&) = delete;

    // Queues a status event; the description is escaped for JSON.
    void newStatusEvent(StatusPushCode code, const std::string& description);

    void setVideoSourceStatus(bool ok, bool push);
    void setRuntimeError(const std::string& description, bool push);
    void clearRuntimeError();
    void setSettingsError(const std::string& description, bool push);
    void clearSettingsError();

    // The runtime error's text, else the settings error's, else "none".
    std::string getInternalErrorDescription() const;
    // A settings error hides a source failure, which hides a runtime error.
    EngineInitError getEngineInitError() const;
    bool hasEngineInitError() const;
    bool hasSettingsError() const;

    // Stores the flag, then calls every registered callback with it, in registration order,
    // on the calling thread, whether or not the flag changed. A callback's exception leaves
    // here and the callbacks after it are not called.
    void setProcessing(bool processing);
    bool isProcessing() const;
    void registerProcessingStateChangedCallback(std::function<void(bool)> callback);

    bool isRtpStreaming() const;
    void setRtpStreaming(bool streaming);
    SourceStatus getPrevSourceHandlerStatus() const;
    void setPrevSourceHandlerStatus(SourceStatus status);

    // The text of one status event.
    static std::string statusEventText(StatusPushCode code, const std::string& description);

private:
    std::atomic<bool> mRtpStreaming{false};
    std::atomic<bool> mVideoSourceStatus{false};
    std::atomic<bool> mSettingsError{false};
    std::atomic<bool> mRuntimeError{false};
    std::string mRuntimeErrorDescription;
    std::string mSettingsErrorDescription;
    std::atomic<bool> mProcessing{false};
    std::atomic<SourceStatus> mPrevSourceHandlerStatus{NO_FRAME_YET};
    mutable std::mutex mMutex;  // guards the two texts and the callback list
    std::vector<std::function<void(bool)>> mProcessingStateChangedCallbacks;
    PushHandler mStatusPushHandler;
};

}  // namespace hx
