#include "hx_pop.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include <Poco/JSON/Object.h>
#include <Poco/JSON/Parser.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <spdlog/spdlog.h>

#include "hx_http.h"
#include "hx_http_server.h"
#include "hx_log.h"

namespace hx {

namespace {

using Code = StatusHandler::APIErrorCode;
using Status = Poco::Net::HTTPResponse::HTTPStatus;

// This object writes only the two content-report files; the other outputs belong to the
// data manager, which must be the only one to open them.
hx::Settings contentFilesOnly(hx::Settings settings) {
    settings.rawCsvEnabled = false;
    settings.aggregatedCsvEnabled = false;
    settings.peopleCountCsvEnabled = false;
    return settings;
}

// The request body as an object whose members are all present; members are read as texts,
// so a number becomes its decimal text.
std::vector<std::string> readMembers(Poco::Net::HTTPServerRequest& request, const std::vector<std::string>& keys) {
    Poco::JSON::Parser parser;
    const auto object = parser.parse(request.stream()).extract<Poco::JSON::Object::Ptr>();
    if (object.isNull()) throw std::invalid_argument("Missing fields in body");
    for (const auto& key : keys)
        if (!object->has(key)) throw std::invalid_argument("Missing fields in body");
    std::vector<std::string> values;
    values.reserve(keys.size());
    for (const auto& key : keys) values.push_back(object->getValue<std::string>(key));
    return values;
}

std::int32_t saturated(std::int64_t value) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                                              std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

ProofOfPlay::ProofOfPlay(const hx::Settings& settings, StatusHandler& statusHandler, SystemClockFunction now,
                         DailyCsvFile::Clock csvClock)
    : mPush(settings.tovexPushEnabled, settings.tovexPushUrl, false),
      mTovexEnabled(settings.tovexEnabled),
      mTovexPushEnabled(settings.tovexPushEnabled),
      mTovexCsvEnabled(settings.tovexCsvEnabled),
      mInstanceName(settings.instanceName),
      mDailyCsv(contentFilesOnly(settings), std::move(csvClock)),
      mStatusHandler(statusHandler),
      mNow(std::move(now)),
      mSelf(std::make_shared<std::atomic<ProofOfPlay*>>(this)) {
    // The status handler keeps its callbacks for ever: the callback goes quiet once this
    // object is gone.
    mStatusHandler.registerProcessingStateChangedCallback([self = mSelf](bool processing) {
        if (ProofOfPlay* target = self->load()) target->onProcessingStatusChange(processing);
    });
}

ProofOfPlay::~ProofOfPlay() { mSelf->store(nullptr); }

void ProofOfPlay::setSettings(const hx::Settings& settings) {
    std::lock_guard lock(mMutex);
    mPush.setSettings(settings.tovexPushEnabled, settings.tovexPushUrl);
    mInstanceName = settings.instanceName;
    mTovexEnabled = settings.tovexEnabled;
    mTovexPushEnabled = settings.tovexPushEnabled;
    mTovexCsvEnabled = settings.tovexCsvEnabled;
    mDailyCsv.setSettings(contentFilesOnly(settings));
}

void ProofOfPlay::setHttpEndPoints(http::Server& server) {
    server.addEndpoint("/data/pop/start", getPopStartHandler());
    server.addEndpoint("/data/pop/stop", getPopStopHandler());
}

http::HandlerFunction ProofOfPlay::getPopStartHandler() {
    return [this](Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
        handleStart(request, response);
    };
}

http::HandlerFunction ProofOfPlay::getPopStopHandler() {
    return [this](Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
        handleStop(request, response);
    };
}

std::optional<ProofOfPlay::Refusal> ProofOfPlay::refusal() {
    bool enabled = false;
    {
        std::lock_guard lock(mMutex);
        enabled = mTovexEnabled;
    }
    if (!enabled)
        return Refusal{Status::HTTP_OK, format::getAPIResponseStr(Code::FEATURE_DISABLED, "Tovex is disabled")};
    if (mStatusHandler.hasEngineInitError()) {
        const auto error = mStatusHandler.getEngineInitError();
        return Refusal{Status::HTTP_INTERNAL_SERVER_ERROR, format::getAPIResponseStr(error.code, error.description)};
    }
    if (!mStatusHandler.isProcessing())
        return Refusal{Status::HTTP_INTERNAL_SERVER_ERROR,
                       format::getAPIResponseStr(Code::ANALYSIS_NOT_RUNNING, "Analysis is not running")};
    return std::nullopt;
}

void ProofOfPlay::handleStart(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    response.setChunkedTransferEncoding(true);
    response.setContentType("application/json");
    if (const auto refused = refusal()) {
        http::sendAnswer(response, static_cast<Status>(refused->httpStatus), refused->body);
        return;
    }
    std::string body;
    Status status = Status::HTTP_OK;
    try {
        const auto fields = readMembers(request, {"content_id", "content_name", "campaign_id", "display_id"});
        newPopAggregator(fields[0], fields[1], fields[2], fields[3]);
        body = format::getAPIResponseStr(Code::SUCCESS, "");
    } catch (const AnalysisNotRunning& error) {
        // Processing stopped while the request was read.
        status = Status::HTTP_INTERNAL_SERVER_ERROR;
        body = format::getAPIResponseStr(Code::ANALYSIS_NOT_RUNNING, error.what());
    } catch (const std::exception& error) {
        body = format::getAPIResponseStr(Code::BAD_REQUEST, error.what());
    }
    http::sendAnswer(response, status, body);
}

void ProofOfPlay::handleStop(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
    if (const auto refused = refusal()) {
        http::sendAnswer(response, static_cast<Status>(refused->httpStatus), refused->body);
        return;
    }
    std::string body;
    try {
        const std::string contentId = readMembers(request, {"content_id"}).front();
        const std::string report = finalizePopAggregator(contentId);
        if (!report.empty()) {
            bool pushEnabled = false;
            {
                std::lock_guard lock(mMutex);
                pushEnabled = mTovexPushEnabled;
            }
            // Queued before answering: a client that hangs up must not lose the report.
            if (pushEnabled) mPush.newMessage(report);
        }
        body = report.empty() ? "{}" : report;
    } catch (const std::exception& error) {
        body = format::getAPIResponseStr(Code::BAD_REQUEST, error.what());
    }
    http::sendAnswer(response, Status::HTTP_OK, body);
}

void ProofOfPlay::newPopAggregator(const std::string& contentId, const std::string& contentName,
                                   const std::string& campaignId, const std::string& displayId) {
    std::lock_guard lock(mMutex);
    // A stop clears the table under this mutex, so an item inserted now belongs to a run
    // that is still going and is cleared with it.
    if (!mStatusHandler.isProcessing()) throw AnalysisNotRunning();
    if (mContents.count(contentId) != 0) throw std::invalid_argument("Content ID already exists");
    PopData item;
    item.start = mNow();
    item.contentId = contentId;
    item.contentName = contentName;
    item.campaignId = campaignId;
    item.displayId = displayId;
    mContents.emplace(contentId, std::move(item));
}

format::AudienceMetrics ProofOfPlay::sumUp(const std::vector<lm::AggregatedPerson>& aggregations) {
    format::AudienceMetrics metrics;
    std::int64_t viewing = 0;
    std::int64_t detection = 0;
    std::int64_t dwell = 0;
    for (const auto& person : aggregations) {
        if (person.avgGender > 0.0f)
            ++metrics.femaleCount;
        else
            ++metrics.maleCount;
        if (person.viewingSessions != 0) ++metrics.viewers;
        if (person.dwellSessions != 0) ++metrics.impressions;
        viewing += person.totalViewingDuration.count();
        detection += person.totalDetectionDuration.count();
        dwell += person.totalDwellDuration.count();
    }
    const auto ots = static_cast<std::int64_t>(aggregations.size());
    metrics.ots = saturated(ots);
    // Sums and averages are taken in 64 bits; only the reported fields are 32-bit.
    metrics.totalViewingDuration = saturated(viewing);
    metrics.totalDetectionDuration = saturated(detection);
    metrics.totalDwellDuration = saturated(dwell);
    metrics.averageViewingDuration = ots == 0 ? 0 : saturated(viewing / ots);
    metrics.averageDetectionDuration = ots == 0 ? 0 : saturated(detection / ots);
    metrics.averageDwellDuration = ots == 0 ? 0 : saturated(dwell / ots);
    return metrics;
}

std::string ProofOfPlay::finalizePopAggregator(const std::string& contentId) {
    std::lock_guard lock(mMutex);
    const auto item = mContents.find(contentId);
    if (item == mContents.end()) return {};
    const PopData& data = item->second;
    const auto aggregations = data.aggregator.getAllAggregations();

    format::AudienceMetrics metrics = sumUp(aggregations);
    metrics.timeStart = data.start;
    metrics.contentDuration = std::chrono::duration_cast<std::chrono::nanoseconds>(mNow() - data.start);
    metrics.instanceName = mInstanceName;
    metrics.contentId = data.contentId;
    metrics.contentName = data.contentName;
    metrics.campaignId = data.campaignId;
    metrics.displayId = data.displayId;

    std::string report = format::aggregatedPoPToJson(aggregations, metrics);
    if (mTovexCsvEnabled) writeCsv(aggregations, metrics);
    mContents.erase(item);
    return report;
}

void ProofOfPlay::writeCsv(const std::vector<lm::AggregatedPerson>& aggregations,
                           const format::AudienceMetrics& metrics) {
    std::vector<std::string> lines;
    lines.reserve(aggregations.size());
    for (const auto& person : aggregations) lines.push_back(format::aggregatedPersonPerContent(person, metrics));
    mDailyCsv.newAggregatedPerContentDataPoint(lines);
    mDailyCsv.newAggregatedTotalPerContentDataPoint(format::aggregatedTotalAudiencePerContent(metrics));
}

void ProofOfPlay::newDetections(const std::vector<lm::Person>& people) {
    std::lock_guard lock(mMutex);
    const SystemTime current = mNow();
    for (auto item = mContents.begin(); item != mContents.end();) {
        if (current - item->second.start > MAX_ITEM_AGE) {
            harbixLog()->warn("Content item {} discarded without a report: not stopped within {} seconds", item->first,
                              MAX_ITEM_AGE.count());
            item = mContents.erase(item);
            continue;
        }
        item->second.aggregator.newDetections(people);
        ++item;
    }
}

void ProofOfPlay::onProcessingStatusChange(bool processing) {
    if (processing) return;
    std::lock_guard lock(mMutex);
    for (const auto& [contentId, item] : mContents)
        harbixLog()->warn("Content item {} discarded without a report: analysis stopped", contentId);
    mContents.clear();
}

}  // namespace hx
