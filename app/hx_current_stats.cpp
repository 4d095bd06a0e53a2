#include "hx_current_stats.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <spdlog/spdlog.h>

#include "hx_format.h"
#include "hx_http.h"
#include "hx_http_server.h"
#include "hx_log.h"
#include "hx_status.h"

namespace hx {

namespace {

using Code = StatusHandler::APIErrorCode;

// The "duration" member of the request body, in milliseconds. Numbers and numeric texts
// convert; anything else throws (Poco's exceptions are std::exceptions).
std::optional<int> requestedWindow(Poco::Net::HTTPServerRequest& request) {
    Poco::JSON::Parser parser;
    const Poco::Dynamic::Var root = parser.parse(request.stream());
    const auto object = root.extract<Poco::JSON::Object::Ptr>();
    if (object.isNull()) throw std::runtime_error("Request body is not a JSON object");
    if (!object->has("duration")) return std::nullopt;
    return object->get("duration").convert<int>();
}

}  // namespace

CurrentStats::CurrentStats(const hx::Settings& settings)
    : mEnabled(settings.currentStatsEnabled),
      mSlidingWindowAggregator(maxWindow(settings)),
      mLastDetections(maxWindow(settings)),
      mInstanceName(settings.instanceName) {}

std::chrono::milliseconds CurrentStats::maxWindow(const hx::Settings& settings) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(settings.currentStatsDuration) * 1000);
}

void CurrentStats::setSettings(const hx::Settings& settings) {
    std::lock_guard lock(mMutex);
    mEnabled = settings.currentStatsEnabled;
    mInstanceName = settings.instanceName;
    mSlidingWindowAggregator.setMaxWindowDuration(maxWindow(settings));
    mLastDetections.setMaxWindowDuration(maxWindow(settings));
}

void CurrentStats::newDetections(const std::vector<lm::Person>& people) {
    std::lock_guard lock(mMutex);
    if (!mEnabled) return;
    try {
        mSlidingWindowAggregator.newDetections(people);
    } catch (const std::runtime_error& error) {
        // The batch is older than what is stored: the system clock went back. Keeping the
        // old records would refuse every frame until they expire, so start again from here.
        harbixLog()->warn("Live statistics restart from the newest frame: {}", error.what());
        mSlidingWindowAggregator.clean();
        mLastDetections.clean();
        mSlidingWindowAggregator.newDetections(people);
    }
    mLastDetections.newDetections(people);
}

std::string CurrentStats::getCurrentAggregations(int windowMs) {
    const auto [aggregations, name] =
        takeWithName([&] { return mSlidingWindowAggregator.getAggregations(std::chrono::milliseconds(windowMs)); });
    return format::currentAggregationsToJson(aggregations, windowMs, name);
}

std::string CurrentStats::getCurrentDetections(int windowMs) {
    const auto [detections, name] =
        takeWithName([&] { return mLastDetections.getLastDetections(std::chrono::milliseconds(windowMs)); });
    return format::currentDetectionsToJson(detections, windowMs, name);
}

bool CurrentStats::isEnabled() {
    std::lock_guard lock(mMutex);
    return mEnabled;
}

http::HandlerFunction CurrentStats::windowHandler(Producer produce, const std::string& disabledText) {
    return
        [this, produce, disabledText](Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
            using Status = Poco::Net::HTTPResponse::HTTPStatus;
            response.setChunkedTransferEncoding(true);
            response.setContentType("application/json");
            if (!isEnabled()) {
                http::sendAnswer(response, Status::HTTP_INTERNAL_SERVER_ERROR,
                                 format::getAPIResponseStr(Code::FEATURE_DISABLED, disabledText));
                return;
            }
            std::string document;
            try {
                const std::optional<int> window = requestedWindow(request);
                if (!window) {
                    http::sendAnswer(response, Status::HTTP_INTERNAL_SERVER_ERROR,
                                     format::getAPIResponseStr(Code::BAD_REQUEST, "Duration field is missing"));
                    return;
                }
                document = (this->*produce)(*window);
            } catch (const std::exception& error) {
                http::sendAnswer(response, Status::HTTP_INTERNAL_SERVER_ERROR,
                                 format::getAPIResponseStr(Code::INTERNAL_ERROR, error.what()));
                return;
            }
            http::sendAnswer(response, Status::HTTP_OK, document);
        };
}

http::HandlerFunction CurrentStats::getCurrentAggregationsHandler() {
    return windowHandler(&CurrentStats::getCurrentAggregations, "Current stats is disabled");
}

http::HandlerFunction CurrentStats::getCurrentDetectionsHandler() {
    return windowHandler(&CurrentStats::getCurrentDetections, "Current detections is disabled");
}

void CurrentStats::setHttpEndPoints(http::Server& server) {
    server.addEndpoint("/data/current_aggregations", getCurrentAggregationsHandler());
    server.addEndpoint("/data/current_detections", getCurrentDetectionsHandler());
}

}  // namespace hx
