#pragma once
// The data manager owns every analysis output of the program and fans each frame out to
// them: raw CSV lines, the raw push and the raw pull document, the face aggregator whose
// finished tracks it emits once per aggregation period, the live statistics and the
// proof-of-play reports; and once per people-count period the people count. When a
// processing run ends it emits what is still open.
//
// What it guarantees:
// - every face track is emitted once: periodically when it has finished, or at the end of
//   the run that saw it, after which the aggregator starts empty (the tracker numbers the
//   next run's tracks from 1 again);
// - the face aggregator sees every analysed frame, empty ones included, so tracks finish
//   when they expire and not when the next person appears;
// - a document is queued for push and stored for pull before its CSV lines are written,
//   and a CSV failure does not keep the other outputs of the frame from their data: the
//   first such failure is thrown once everything else is done.
//
// It takes no lock: the engine keeps its calls from overlapping (frames and people counts
// on the processing thread; flush, settings and processing changes while no frame runs).

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <lumora/lm_aggregator.h>
#include <lumora/lm_records.h>

#include "hx_current_stats.h"
#include "hx_daily_csv.h"
#include "hx_format.h"
#include "hx_pop.h"
#include "hx_pull_data.h"
#include "hx_push_handler.h"
#include "hx_scheduler.h"
#include "hx_settings.h"
#include "hx_status.h"

namespace hx::http {
class Server;
}

namespace hx {

// Where the data manager's outputs read the time; tests replace them.
struct DataManagerClocks {
    SteadyClockFunction periods = std::chrono::steady_clock::now;  // the two timers
    DailyCsvFile::Clock csvDates = {};                             // the daily files' dates
    ProofOfPlay::SystemClockFunction contentItems = std::chrono::system_clock::now;
};

class DataManager {
public:
    using Clocks = DataManagerClocks;

    DataManager(const hx::Settings& settings, StatusHandler& statusHandler, Clocks clocks = {});
    // Flushes what is still open (a failure is logged), then stops the push queues.
    ~DataManager();
    DataManager(const DataManager&) = delete;
    DataManager& operator=(const DataManager&) = delete;

    // While processing is stopped. The periods start again from zero with their new length.
    void setSettings(const hx::Settings& settings);
    // Registers the pull, live-statistics and proof-of-play endpoints; once.
    void setHttpEndPoints(http::Server& server);

    // Every analysed frame, with or without people.
    // `frameTime`: the frame's own time for a video file, against which the face tracks'
    // silence is measured (see lm::Lumora::FrameTime); else the system clock.
    void newRawDataPoint(const std::vector<lm::Person>& people, unsigned int frameNumber,
                         const std::optional<lm::TimePoint>& frameTime = std::nullopt);
    // The run's running totals of finished body tracks.
    void newPeopleCountDataPoint(const PeopleCountData& data);
    // At the end of a run: emits every open aggregation and the people count, then forgets
    // the aggregations.
    void flushRemainingAggregations();
    void onProcessingStatusChange(bool processing);

    static std::vector<std::string> getRawCsvData(const std::vector<lm::Person>& people, unsigned int frameNumber);
    static std::vector<std::string> getAggregatedCsvData(const std::vector<lm::AggregatedPerson>& people,
                                                         unsigned int periodSeconds);

private:
    // Runs one CSV write; keeps its failure, if it is the first, for throwIfCsvFailed.
    void writeCsv(const std::function<void()>& write);
    void throwIfCsvFailed();
    void emitAggregations(const std::vector<lm::AggregatedPerson>& aggregations, bool storeForPull);
    void emitPeopleCount(bool storeForPull);
    unsigned int aggregationPeriodSeconds() const;

    StatusHandler& mStatusHandler;
    DailyCsv mDailyCsv;
    PushHandler mRawPush;
    PushHandler mAggregatedPush;
    PushHandler mPeopleCountPush;
    PullData mPullData;
    lm::Aggregator mAggregator;
    std::string mInstanceName;
    SteadyClockFunction mPeriodClock;
    Timer mAggregationTimer;
    Timer mPeopleCountTimer;
    PeopleCountData mCurrentPeopleCount;
    PeopleCountData mPreviousPeopleCount;
    CurrentStats mCurrentStats;
    ProofOfPlay mProofOfPlay;
    std::exception_ptr mCsvFailure;
    // Shared with the callback registered at the status handler, which outlives this object.
    std::shared_ptr<std::atomic<DataManager*>> mSelf;
};

}  // namespace hx
