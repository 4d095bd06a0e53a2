#include "hx_status.h"

#include <fmt/format.h>

#include "hx_format.h"

namespace hx {

StatusHandler::StatusHandler(const Settings& settings)
    : statusPushHandler(settings.statusPushEnabled, settings.statusPushUrl, false) {}

std::string StatusHandler::statusEventText(StatusPushCode code, const std::string& description) {
    return fmt::format("{{ \"status_code\" : {}, \"description\" : \"{}\"}}", static_cast<std::int32_t>(code),
                       format::escapeJson(description));
}

void StatusHandler::newStatusEvent(StatusPushCode code, const std::string& description) {
    statusPushHandler.newMessage(statusEventText(code, description));
}

void StatusHandler::setVideoSourceStatus(bool ok, bool push) {
    videoSourceStatus = ok;
    if (!push) return;
    if (ok)
        newStatusEvent(StatusPushCode::VIDEO_SOURCE_OPEN, "Video source open");
    else
        newStatusEvent(StatusPushCode::VIDEO_SOURCE_ERROR, "Video source error");
}

void StatusHandler::setRuntimeError(const std::string& description, bool push) {
    {
        std::lock_guard lock(mutex);
        runtimeErrorDescription = description;
        runtimeError = true;
    }
    if (push) newStatusEvent(StatusPushCode::RUNTIME_ERROR, description);
}

void StatusHandler::clearRuntimeError() {
    std::lock_guard lock(mutex);
    runtimeErrorDescription.clear();
    runtimeError = false;
}

void StatusHandler::setSettingsError(const std::string& description, bool push) {
    {
        std::lock_guard lock(mutex);
        settingsErrorDescription = description;
        settingsError = true;
    }
    if (push) newStatusEvent(StatusPushCode::SETTINGS_ERROR, description);
}

void StatusHandler::clearSettingsError() {
    std::lock_guard lock(mutex);
    settingsErrorDescription.clear();
    settingsError = false;
}

std::string StatusHandler::getInternalErrorDescription() const {
    std::lock_guard lock(mutex);
    if (runtimeError) return runtimeErrorDescription;
    if (settingsError) return settingsErrorDescription;
    return "none";
}

StatusHandler::EngineInitError StatusHandler::getEngineInitError() const {
    std::lock_guard lock(mutex);
    if (settingsError) return {APIErrorCode::SETTINGS_ERROR, settingsErrorDescription};
    if (!videoSourceStatus) return {APIErrorCode::VIDEO_SOURCE_ERROR, "Video source error"};
    if (!runtimeError) return {APIErrorCode::SUCCESS, ""};
    return {APIErrorCode::RUNTIME_ERROR, runtimeErrorDescription};
}

bool StatusHandler::hasEngineInitError() const { return settingsError || !videoSourceStatus || runtimeError; }

bool StatusHandler::hasSettingsError() const { return settingsError; }

void StatusHandler::setProcessing(bool processing) {
    this->processing = processing;
    // Called on a copy, outside the lock, so that a callback may use the status handler.
    std::vector<std::function<void(bool)>> callbacks;
    {
        std::lock_guard lock(mutex);
        callbacks = processingStateChangedCallbacks;
    }
    for (const auto& callback : callbacks) callback(processing);
}

bool StatusHandler::isProcessing() const { return processing; }

void StatusHandler::registerProcessingStateChangedCallback(std::function<void(bool)> callback) {
    std::lock_guard lock(mutex);
    processingStateChangedCallbacks.push_back(std::move(callback));
}

bool StatusHandler::isRtpStreaming() const { return rtpStreaming; }
void StatusHandler::setRtpStreaming(bool streaming) { rtpStreaming = streaming; }

StatusHandler::SourceStatus StatusHandler::getPrevSourceHandlerStatus() const { return prevSourceHandlerStatus; }
void StatusHandler::setPrevSourceHandlerStatus(SourceStatus status) { prevSourceHandlerStatus = status; }

}  // namespace hx
