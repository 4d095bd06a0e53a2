#pragma once
// The latest raw, aggregated and people count documents, served on "/data/raw",
// "/data/aggregated" and "/data/peopleCount" so that a client can poll for the newest data.
//
// A document stays until the next one replaces it; an empty document never replaces one.
// A disabled document is answered 404; the endpoints are registered once either way.
// Documents are stored from the processing thread and read on the HTTP server's worker
// threads: each document has its own mutex, held only to swap or take a shared snapshot,
// never while an answer is written to the network.

#include <memory>
#include <mutex>
#include <string>

#include "hx_settings.h"

namespace Poco::Net {
class HTTPServerRequest;
class HTTPServerResponse;
}  // namespace Poco::Net

namespace hx::http {
class Server;
}

namespace hx {

class PullData {
public:
    class PullDataHandler {
    public:
        explicit PullDataHandler(bool enabled);

        // Keeps the document for the following requests; an empty one is ignored.
        void setData(const std::string& document);
        void reload(bool enabled);
        // 200 with the latest document (empty before the first), or 404 when disabled.
        void dataHandler(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);

    private:
        std::mutex mMutex;
        bool mEnabled;
        // Shared and immutable, so a request takes a snapshot without copying the text.
        std::shared_ptr<const std::string> mData;
    };

    explicit PullData(const hx::Settings& settings);
    PullData(const PullData&) = delete;
    PullData& operator=(const PullData&) = delete;

    void setSettings(const hx::Settings& settings);
    void newRawDataPoint(const std::string& document);
    void newAggregatedDataPoint(const std::string& document);
    void newPeopleCountDataPoint(const std::string& document);
    // Registers the three endpoints. The handlers refer to this object, which must outlive
    // their registration.
    void setHttpEndPoints(hx::http::Server& server);

private:
    PullDataHandler mRaw;
    PullDataHandler mAggregated;
    PullDataHandler mPeopleCount;
};

}  // namespace hx
