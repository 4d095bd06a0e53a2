// The engine's control endpoints over HTTP: the run's start and stop, the settings, the
// RTP stream and the status. All but the product's answer hold the API lock, so that no two
// control requests, nor a request and a preview key, interleave.

#include "hx_engine.h"

#include <exception>
#include <stdexcept>
#include <string>

#include <Poco/Dynamic/Var.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "hx_format.h"
#include "hx_log.h"
#include "hx_product.h"

namespace hx {

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

void Engine::replaceStatusEndpoint() {
    mHttpServer->removeEndpoint("/status");
    mHttpServer->addEndpoint("/status", getHttpGetStatusHandler());
}

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
