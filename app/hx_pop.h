#pragma once
// Proof-of-play reports: the audience of each content item that a display plays. A content
// system opens an item on "/data/pop/start" and closes it on "/data/pop/stop"; in between,
// every analysed frame's faces are fed to a face aggregator of the item's own. Closing sums
// the item's summaries up into its audience metrics and reports them: as the stop answer,
// pushed to the content-report URL, and as CSV lines. Several items may be open at once.
//
// Items live within one processing run: they can only be opened while the analysis runs
// (checked under the same mutex as the item table, so a stop cannot slip in between), are
// discarded when processing stops and, unclosed, an hour after their start. Discarded items
// produce no report; each one is logged with its content id.
//
// One mutex guards the item table, the switches, the instance name and the CSV files. The
// endpoints run on HTTP worker threads, newDetections on the processing thread.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <lumora/lm_aggregator.h>
#include <lumora/lm_records.h>

#include "hx_daily_csv.h"
#include "hx_format.h"
#include "hx_http.h"
#include "hx_push_handler.h"
#include "hx_settings.h"
#include "hx_status.h"

namespace hx::http {
class Server;
}

namespace hx {

class ProofOfPlay {
public:
    using SystemTime = std::chrono::system_clock::time_point;
    // Gives "now" for the items' start, age and duration; tests replace it.
    using SystemClockFunction = std::function<SystemTime()>;

    // An unclosed item is dropped once it is older than this.
    static constexpr std::chrono::seconds MAX_ITEM_AGE{3600};

    struct PopData {
        lm::Aggregator aggregator;
        lm::BodyAggregator bodyAggregator;  // kept with the item; bodies are not reported
        SystemTime start;
        std::string contentId;
        std::string contentName;
        std::string campaignId;
        std::string displayId;
    };

    ProofOfPlay(const hx::Settings& settings, StatusHandler& statusHandler,
                SystemClockFunction now = std::chrono::system_clock::now, DailyCsvFile::Clock csvClock = {});
    // Open items are discarded without a report.
    ~ProofOfPlay();
    ProofOfPlay(const ProofOfPlay&) = delete;
    ProofOfPlay& operator=(const ProofOfPlay&) = delete;

    void setSettings(const hx::Settings& settings);
    void setHttpEndPoints(http::Server& server);
    http::HandlerFunction getPopStartHandler();
    http::HandlerFunction getPopStopHandler();

    // Throws std::invalid_argument "Content ID already exists" for an open id, and
    // AnalysisNotRunning while processing is stopped.
    void newPopAggregator(const std::string& contentId, const std::string& contentName, const std::string& campaignId,
                          const std::string& displayId);
    // Closes the item and returns its report document; empty when the id is not open. A CSV
    // failure throws and leaves the item open.
    std::string finalizePopAggregator(const std::string& contentId);
    // Feeds every open item; drops the items older than MAX_ITEM_AGE first.
    void newDetections(const std::vector<lm::Person>& people);
    // A stop discards every open item.
    void onProcessingStatusChange(bool processing);

    // The metrics of one item's summaries (counts and sums by the reporting rules).
    static format::AudienceMetrics sumUp(const std::vector<lm::AggregatedPerson>& aggregations);

    class AnalysisNotRunning : public std::runtime_error {
    public:
        AnalysisNotRunning() : std::runtime_error("Analysis is not running") {}
    };

private:
    // The refusal that the endpoints answer before reading the body, if any.
    struct Refusal {
        int httpStatus;
        std::string body;
    };
    std::optional<Refusal> refusal();
    void handleStart(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);
    void handleStop(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response);
    void writeCsv(const std::vector<lm::AggregatedPerson>& aggregations, const format::AudienceMetrics& metrics);

    PushHandler mPush;
    bool mTovexEnabled;
    bool mTovexPushEnabled;
    bool mTovexCsvEnabled;
    std::string mInstanceName;
    std::unordered_map<std::string, PopData> mContents;
    std::mutex mMutex;
    DailyCsv mDailyCsv;
    StatusHandler& mStatusHandler;
    SystemClockFunction mNow;
    // Shared with the callback registered at the status handler, which outlives this object.
    std::shared_ptr<std::atomic<ProofOfPlay*>> mSelf;
};

}  // namespace hx
