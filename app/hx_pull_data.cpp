#include "hx_pull_data.h"

#include <ostream>

#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>

#include "hx_http.h"
#include "hx_http_server.h"

namespace hx {

PullData::PullDataHandler::PullDataHandler(bool enabled)
    : mEnabled(enabled), mData(std::make_shared<const std::string>()) {}

void PullData::PullDataHandler::setData(const std::string& document) {
    if (document.empty()) return;
    auto stored = std::make_shared<const std::string>(document);  // built outside the lock
    std::lock_guard lock(mMutex);
    mData = std::move(stored);
}

void PullData::PullDataHandler::reload(bool enabled) {
    std::lock_guard lock(mMutex);
    mEnabled = enabled;
}

void PullData::PullDataHandler::dataHandler(Poco::Net::HTTPServerRequest& request,
                                            Poco::Net::HTTPServerResponse& response) {
    std::shared_ptr<const std::string> snapshot;
    {
        std::lock_guard lock(mMutex);
        if (mEnabled) snapshot = mData;
    }
    if (!snapshot) {
        http::notFoundHandler()(request, response);
        return;
    }
    response.set("Access-Control-Allow-Origin", "*");
    response.setChunkedTransferEncoding(true);
    response.setContentType("application/json");
    response.send() << *snapshot;
}

PullData::PullData(const hx::Settings& settings)
    : mRaw(settings.rawPullEnabled),
      mAggregated(settings.aggregatedPullEnabled),
      mPeopleCount(settings.peopleCountPullEnabled) {}

void PullData::setSettings(const hx::Settings& settings) {
    mRaw.reload(settings.rawPullEnabled);
    mAggregated.reload(settings.aggregatedPullEnabled);
    mPeopleCount.reload(settings.peopleCountPullEnabled);
}

void PullData::newRawDataPoint(const std::string& document) { mRaw.setData(document); }

void PullData::newAggregatedDataPoint(const std::string& document) { mAggregated.setData(document); }

void PullData::newPeopleCountDataPoint(const std::string& document) { mPeopleCount.setData(document); }

void PullData::setHttpEndPoints(hx::http::Server& server) {
    const auto bind = [](PullDataHandler& handler) {
        return [&handler](Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) {
            handler.dataHandler(request, response);
        };
    };
    server.addEndpoint("/data/raw", bind(mRaw));
    server.addEndpoint("/data/aggregated", bind(mAggregated));
    server.addEndpoint("/data/peopleCount", bind(mPeopleCount));
}

}  // namespace hx
