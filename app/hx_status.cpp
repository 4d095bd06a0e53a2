#include "hx_status.h"

#include <fmt/format.h>

#include "hx_format.h"

namespace hx {

StatusHandler::StatusHandler(const Settings& settings)
    : mStatusPushHandler(settings.statusPushEnabled, settings.statusPushUrl, false) {}

std::string StatusHandler::statusEventText(StatusPushCode code, const std::string& description) {
    return fmt::format("{{ \"status_code\" : {}, \"description\" : \"{}\"}}", static_cast<std::int32_t>(code),
                       format::escapeJson(description));
}

void StatusHandler::newStatusEvent(StatusPushCode code, const std::string& description) {
    mStatusPushHandler.newMessage(statusEventText(code, description));
}

void StatusHandler::setVideoSourceStatus(bool ok, bool push) {
    mVideoSourceStatus = ok;
    if (!push) return;
    if (ok)
        newStatusEvent(StatusPushCode::VIDEO_SOURCE_OPEN, "Video source open");
    else
        newStatusEvent(StatusPushCode::VIDEO_SOURCE_ERROR, "Video source error");
}

void StatusHandler::setRuntimeError(const std::string& description, bool push) {
    {
        std::lock_guard lock(mMutex);
        mRuntimeErrorDescription = description;
        mRuntimeError = true;
    }
    if (push) newStatusEvent(StatusPushCode::RUNTIME_ERROR, description);
}

void StatusHandler::clearRuntimeError() {
    std::lock_guard lock(mMutex);
    mRuntimeErrorDescription.clear();
    mRuntimeError = false;
}

void StatusHandler::setSettingsError(const std::string& description, bool push) {
    {
        std::lock_guard lock(mMutex);
        mSettingsErrorDescription = description;
        mSettingsError = true;
    }
    if (push) newStatusEvent(StatusPushCode::SETTINGS_ERROR, description);
}

void StatusHandler::clearSettingsError() {
    std::lock_guard lock(mMutex);
    mSettingsErrorDescription.clear();
    mSettingsError = false;
}

std::string StatusHandler::getInternalErrorDescription() const {
    std::lock_guard lock(mMutex);
    if (mRuntimeError) return mRuntimeErrorDescription;
    if (mSettingsError) return mSettingsErrorDescription;
    return "none";
}

StatusHandler::EngineInitError StatusHandler::getEngineInitError() const {
    std::lock_guard lock(mMutex);
    if (mSettingsError) return {APIErrorCode::SETTINGS_ERROR, mSettingsErrorDescription};
    if (!mVideoSourceStatus) return {APIErrorCode::VIDEO_SOURCE_ERROR, "Video source error"};
    if (!mRuntimeError) return {APIErrorCode::SUCCESS, ""};
    return {APIErrorCode::RUNTIME_ERROR, mRuntimeErrorDescription};
}

bool StatusHandler::hasEngineInitError() const { return mSettingsError || !mVideoSourceStatus || mRuntimeError; }

bool StatusHandler::hasSettingsError() const { return mSettingsError; }

void StatusHandler::setProcessing(bool processing) {
    mProcessing = processing;
    // Called on a copy, outside the lock, so that a callback may use the status handler.
    std::vector<std::function<void(bool)>> callbacks;
    {
        std::lock_guard lock(mMutex);
        callbacks = mProcessingStateChangedCallbacks;
    }
    for (const auto& callback : callbacks) callback(processing);
}

bool StatusHandler::isProcessing() const { return mProcessing; }

void StatusHandler::registerProcessingStateChangedCallback(std::function<void(bool)> callback) {
    std::lock_guard lock(mMutex);
    mProcessingStateChangedCallbacks.push_back(std::move(callback));
}

bool StatusHandler::isRtpStreaming() const { return mRtpStreaming; }
void StatusHandler::setRtpStreaming(bool streaming) { mRtpStreaming = streaming; }

StatusHandler::SourceStatus StatusHandler::getPrevSourceHandlerStatus() const { return mPrevSourceHandlerStatus; }
void StatusHandler::setPrevSourceHandlerStatus(SourceStatus status) { mPrevSourceHandlerStatus = status; }

}  // namespace hx
