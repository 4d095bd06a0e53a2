#pragma once
// The logic behind the six public aggregator classes, written once for faces and bodies:
//   TrackAggregation  follows every track until it ends and hands its summary out once;
//   SlidingWindow     keeps the raw records of a recent span and summarises any window of it;
//   LatestPerTrack    keeps the newest record of each track within a span.
// "Now" comes from the library's clock seam; expiry and finalisation use the system clock
// against the records' detection times. None of these takes a lock: calls on one object
// must not overlap.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include <lumora/lm_records.h>

#include "clock.h"
#include "lm_statistics.h"

namespace lm {

// What differs between the face and the body family.
template <class Record>
struct TrackKind;

template <>
struct TrackKind<Person> {
    using Statistics = PersonStatistics;
    using Summary = AggregatedPerson;
    static Summary summarise(const Statistics& s, std::uint32_t id) { return s.convertToAggregatedPerson(id); }
};

template <>
struct TrackKind<Body> {
    using Statistics = BodyStatistics;
    using Summary = AggregatedBody;
    static Summary summarise(const Statistics& s, std::uint32_t id) { return s.convertToAggregatedBody(id); }
};

template <class Record>
class TrackAggregation {
public:
    using Kind = TrackKind<Record>;
    using Statistics = typename Kind::Statistics;
    using Summary = typename Kind::Summary;

    // Folds the records in, then moves every track silent for longer than the
    // finalisation delay out of the map: as a summary unless it was a false positive.
    // An empty batch is valid and still finalises. Silence is measured up to `now`: the
    // system clock, or the time of the frame the records come from.
    void newDetections(const std::vector<Record>& records) { newDetections(records, clock::systemNow()); }

    void newDetections(const std::vector<Record>& records, TimePoint now) {
        for (const Record& record : records) mStatistics[record.id].update(record);
        for (auto it = mStatistics.begin(); it != mStatistics.end();) {
            if (!it->second.isFinalized(now)) {
                ++it;
                continue;
            }
            if (!it->second.isFalsePositive()) mFinalized.push_back(Kind::summarise(it->second, it->first));
            it = mStatistics.erase(it);
        }
    }

    std::vector<Summary> getFinalizedAggregations(bool clean) {
        std::vector<Summary> result = mFinalized;
        if (clean) mFinalized.clear();
        return result;
    }

    // Summaries of the tracks still in the map, without any finalisation test.
    std::vector<Summary> getOngoingAggregations() const { return summariseCounted(mStatistics); }

    std::vector<Summary> getAllAggregations() const {
        std::vector<Summary> result = getOngoingAggregations();
        result.insert(result.end(), mFinalized.begin(), mFinalized.end());
        return result;
    }

    void cleanFinalizedAggregations() { mFinalized.clear(); }

    void cleanAll() {
        mFinalized.clear();
        mStatistics.clear();
    }

    // One summary per id over the given records, false positives left out; nothing is
    // finalised.
    template <class Iterator>
    static std::vector<Summary> aggregateOffline(Iterator first, Iterator last) {
        StatisticsMap statistics;
        for (; first != last; ++first) statistics[first->id].update(*first);
        return summariseCounted(statistics);
    }

    static std::vector<Summary> aggregateOffline(const std::vector<Record>& records) {
        return aggregateOffline(records.begin(), records.end());
    }

    std::size_t trackCount() const { return mStatistics.size(); }
    std::size_t finalizedCount() const { return mFinalized.size(); }

private:
    using StatisticsMap = std::unordered_map<std::uint32_t, Statistics>;

    static std::vector<Summary> summariseCounted(const StatisticsMap& statistics) {
        std::vector<Summary> result;
        result.reserve(statistics.size());
        for (const auto& [id, s] : statistics)
            if (!s.isFalsePositive()) result.push_back(Kind::summarise(s, id));
        return result;
    }

    StatisticsMap mStatistics;
    std::vector<Summary> mFinalized;
};

template <class Record>
class SlidingWindow {
public:
    using Summary = typename TrackKind<Record>::Summary;

    explicit SlidingWindow(Milliseconds maxWindowDuration) : mMaxWindowDuration(maxWindowDuration) {}

    // Prunes, then appends the batch in time order. A batch that begins before the newest
    // stored record (the system clock stepped back) is refused with an exception and the
    // store keeps only its pruned state: its owner decides how to recover.
    void newDetections(const std::vector<Record>& records) {
        prune(clock::systemNow());
        if (records.empty()) return;
        std::vector<Record> sorted = records;
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Record& a, const Record& b) { return a.detectionTime < b.detectionTime; });
        if (!mStored.empty() && mStored.back().detectionTime > sorted.front().detectionTime)
            throw std::runtime_error("New detections are older than the previously stored ones");
        mStored.insert(mStored.end(), sorted.begin(), sorted.end());
    }

    // Summaries per id over the records of the last `window` (0: everything stored).
    std::vector<Summary> getAggregations(Milliseconds window) {
        const TimePoint now = clock::systemNow();
        prune(now);
        auto first = mStored.begin();
        if (window != Milliseconds{0}) {
            const TimePoint start = windowStart(now, window);
            // The store is in ascending time order.
            first = std::partition_point(mStored.begin(), mStored.end(),
                                         [start](const Record& r) { return r.detectionTime < start; });
        }
        return TrackAggregation<Record>::aggregateOffline(first, mStored.end());
    }

    Milliseconds getMaxWindowDuration() const { return mMaxWindowDuration; }
    // Takes effect at the next call that prunes.
    void setMaxWindowDuration(Milliseconds span) { mMaxWindowDuration = span; }
    void clean() { mStored.clear(); }

    std::size_t storedCount() const { return mStored.size(); }

private:
    void prune(TimePoint now) {
        while (!mStored.empty() && isExpired(mStored.front().detectionTime, now, mMaxWindowDuration))
            mStored.pop_front();
    }

    std::deque<Record> mStored;  // ascending detection time
    Milliseconds mMaxWindowDuration;
};

template <class Record>
class LatestPerTrack {
public:
    explicit LatestPerTrack(Milliseconds maxWindowDuration) : mMaxWindowDuration(maxWindowDuration) {}

    // Drops what has expired, then keeps each unexpired record as its id's newest,
    // replacing the stored one whatever its time.
    void newDetections(const std::vector<Record>& records) {
        const TimePoint now = clock::systemNow();
        eraseExpired(now);
        for (const Record& record : records)
            if (!isExpired(record.detectionTime, now, mMaxWindowDuration)) mById[record.id] = record;
    }

    // The stored records of the last `window` (0: the whole span) whose track has lasted
    // long enough not to be a false detection.
    std::vector<Record> getLastDetections(Milliseconds window) {
        const TimePoint now = clock::systemNow();
        eraseExpired(now);
        const TimePoint start = windowStart(now, window == Milliseconds{0} ? mMaxWindowDuration : window);
        std::vector<Record> result;
        for (const auto& [id, record] : mById)
            if (record.detectionTime >= start && record.detectionDuration >= MIN_TRACK_DURATION)
                result.push_back(record);
        return result;
    }

    Milliseconds getMaxWindowDuration() const { return mMaxWindowDuration; }
    void setMaxWindowDuration(Milliseconds span) { mMaxWindowDuration = span; }
    void clean() { mById.clear(); }

    std::size_t storedCount() const { return mById.size(); }

private:
    void eraseExpired(TimePoint now) {
        for (auto it = mById.begin(); it != mById.end();)
            it = isExpired(it->second.detectionTime, now, mMaxWindowDuration) ? mById.erase(it) : std::next(it);
    }

    std::unordered_map<std::uint32_t, Record> mById;
    Milliseconds mMaxWindowDuration;
};

}  // namespace lm
