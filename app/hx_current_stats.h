#pragma once
// Live statistics: who has been in front of the camera during a recent time window, served
// on "/data/current_aggregations" (one summary per person) and "/data/current_detections"
// (the newest record of each person). The records of the last currentStatsDuration seconds
// are kept in two library stores, fed on the processing thread and read (which prunes them)
// on the HTTP server's worker threads; one mMutex serialises every call on either store.
//
// A batch older than the newest stored record (the system clock stepped back) would be
// refused by the sliding window for as long as the old records live; instead both stores
// start again from that batch and one warning is logged, so the analysis keeps running.

#include <chrono>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <lumora/lm_aggregator.h>
#include <lumora/lm_records.h>

#include "hx_http.h"
#include "hx_settings.h"

namespace hx::http {
class Server;
}

namespace hx {

class CurrentStats {
public:
    explicit CurrentStats(const hx::Settings& settings);
    CurrentStats(const CurrentStats&) = delete;
    CurrentStats& operator=(const CurrentStats&) = delete;

    // Records already stored stay until they expire under the new window.
    void setSettings(const hx::Settings& settings);
    // Stores the frame's records; ignored while the output is switched off.
    void newDetections(const std::vector<lm::Person>& people);

    // The window documents for the last `windowMs` milliseconds (0: everything stored).
    std::string getCurrentAggregations(int windowMs);
    std::string getCurrentDetections(int windowMs);

    http::HandlerFunction getCurrentAggregationsHandler();
    http::HandlerFunction getCurrentDetectionsHandler();
    // Registers both endpoints; they answer whatever the switch says later.
    void setHttpEndPoints(http::Server& server);

private:
    // What `take` reads from a store, with the instance name of the same moment; the JSON
    // is written after the lock is released.
    template <typename Take>
    auto takeWithName(Take take) {
        std::lock_guard lock(mMutex);
        return std::pair{take(), mInstanceName};
    }

    using Producer = std::string (CurrentStats::*)(int);

    static std::chrono::milliseconds maxWindow(const hx::Settings& settings);
    http::HandlerFunction windowHandler(Producer produce, const std::string& disabledText);
    bool isEnabled();

    bool mEnabled;
    lm::SlidingWindowAggregator mSlidingWindowAggregator;
    lm::LastDetections mLastDetections;
    std::string mInstanceName;
    std::mutex mMutex;  // every call on the two stores, mEnabled and mInstanceName
};

}  // namespace hx
