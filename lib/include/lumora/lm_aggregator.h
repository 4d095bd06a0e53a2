#pragma once
// Aggregators turn the per-frame records of faces and bodies into one summary per track.
//   Aggregator / BodyAggregator: follows every track until it has been silent for more than
//     5,001 ms and then hands its summary out once; tracks under 1,000 ms are dropped.
//   SlidingWindowAggregator / SlidingWindowBodyAggregator: keeps the raw records of the
//     last maxWindowDuration and summarises any shorter window on demand.
//   LastDetections / LastBodyDetections: keeps the newest record of each track within
//     maxWindowDuration.
// Expiry and finalisation compare the system clock at the moment of a call with the
// records' detection times, so records must carry wall-clock times; the track aggregators
// can instead be given the time of the frame the records come from (a video file's own
// clock, see Lumora::FrameTime). Results built from a
// track map come in no defined order. No aggregator takes a lock: calls on one object
// must not overlap, not even the queries (the sliding and last-detection queries prune).
// Aggregators can be moved, not copied; a moved-from object may only be destroyed or
// assigned to.

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "lumora/lm_export.h"
#include "lumora/lm_records.h"

namespace lm {

class LUMORA_EXPORT Aggregator {
public:
    Aggregator();
    ~Aggregator();
    Aggregator(Aggregator&& other) noexcept;
    Aggregator& operator=(Aggregator&& other) noexcept;
    Aggregator(const Aggregator&) = delete;
    Aggregator& operator=(const Aggregator&) = delete;

    // Folds a frame's records in and finalises the tracks that have ended; an empty
    // frame is valid and only finalises. A track has ended when it has been silent for
    // more than 5,001 ms before `now`: the frame's own time when given, else the system
    // clock.
    void newDetections(const std::vector<Person>& persons, const std::optional<TimePoint>& now = std::nullopt);
    // The finalised summaries in finalisation order; `clean` empties the list afterwards.
    std::vector<AggregatedPerson> getFinalizedAggregations(bool clean);
    // Summaries of the tracks not yet finalised (false positives left out).
    std::vector<AggregatedPerson> getOngoingAggregations() const;
    // The ongoing summaries followed by the uncollected finalised ones.
    std::vector<AggregatedPerson> getAllAggregations() const;
    void cleanFinalizedAggregations();
    // Forgets the finalised list and every ongoing track.
    void cleanAll();
    // One summary per id over the given records (false positives left out).
    static std::vector<AggregatedPerson> aggregateOffline(const std::vector<Person>& persons);

private:
    class LUMORA_NO_EXPORT AggregatorImpl;
    std::unique_ptr<AggregatorImpl> mImpl;
};

class LUMORA_EXPORT BodyAggregator {
public:
    BodyAggregator();
    ~BodyAggregator();
    BodyAggregator(BodyAggregator&& other) noexcept;
    BodyAggregator& operator=(BodyAggregator&& other) noexcept;
    BodyAggregator(const BodyAggregator&) = delete;
    BodyAggregator& operator=(const BodyAggregator&) = delete;

    // As Aggregator::newDetections.
    void newDetections(const std::vector<Body>& bodies, const std::optional<TimePoint>& now = std::nullopt);
    std::vector<AggregatedBody> getFinalizedAggregations(bool clean);
    std::vector<AggregatedBody> getOngoingAggregations() const;
    std::vector<AggregatedBody> getAllAggregations() const;
    void cleanFinalizedAggregations();
    void cleanAll();
    static std::vector<AggregatedBody> aggregateOffline(const std::vector<Body>& bodies);

private:
    class LUMORA_NO_EXPORT BodyAggregatorImpl;
    std::unique_ptr<BodyAggregatorImpl> mImpl;
};

class LUMORA_EXPORT SlidingWindowAggregator {
public:
    explicit SlidingWindowAggregator(std::chrono::milliseconds maxWindowDuration);
    ~SlidingWindowAggregator();
    SlidingWindowAggregator(SlidingWindowAggregator&& other) noexcept;
    SlidingWindowAggregator& operator=(SlidingWindowAggregator&& other) noexcept;
    SlidingWindowAggregator(const SlidingWindowAggregator&) = delete;
    SlidingWindowAggregator& operator=(const SlidingWindowAggregator&) = delete;

    // Drops what has expired, then stores the records in time order. Throws
    // std::runtime_error "New detections are older than the previously stored ones" when
    // the batch begins before the newest stored record; the batch is then not stored.
    void newDetections(const std::vector<Person>& persons);
    // Summaries per id over the records of the last `window`; 0 takes everything stored.
    std::vector<AggregatedPerson> getAggregations(std::chrono::milliseconds window);
    std::chrono::milliseconds getMaxWindowDuration() const;
    // Takes effect at the next call that drops expired records.
    void setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration);
    void clean();

private:
    class LUMORA_NO_EXPORT SlidingWindowAggregatorImpl;
    std::unique_ptr<SlidingWindowAggregatorImpl> mImpl;
};

class LUMORA_EXPORT SlidingWindowBodyAggregator {
public:
    explicit SlidingWindowBodyAggregator(std::chrono::milliseconds maxWindowDuration);
    ~SlidingWindowBodyAggregator();
    SlidingWindowBodyAggregator(SlidingWindowBodyAggregator&& other) noexcept;
    SlidingWindowBodyAggregator& operator=(SlidingWindowBodyAggregator&& other) noexcept;
    SlidingWindowBodyAggregator(const SlidingWindowBodyAggregator&) = delete;
    SlidingWindowBodyAggregator& operator=(const SlidingWindowBodyAggregator&) = delete;

    void newDetections(const std::vector<Body>& bodies);
    std::vector<AggregatedBody> getAggregations(std::chrono::milliseconds window);
    std::chrono::milliseconds getMaxWindowDuration() const;
    void setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration);
    void clean();

private:
    class LUMORA_NO_EXPORT SlidingWindowBodyAggregatorImpl;
    std::unique_ptr<SlidingWindowBodyAggregatorImpl> mImpl;
};

class LUMORA_EXPORT LastDetections {
public:
    explicit LastDetections(std::chrono::milliseconds maxWindowDuration);
    ~LastDetections();
    LastDetections(LastDetections&& other) noexcept;
    LastDetections& operator=(LastDetections&& other) noexcept;
    LastDetections(const LastDetections&) = delete;
    LastDetections& operator=(const LastDetections&) = delete;

    // Keeps each unexpired record as the newest of its id, replacing the stored one.
    void newDetections(const std::vector<Person>& persons);
    // The newest records of the last `window` (0: maxWindowDuration) whose track has
    // lasted at least 1,000 ms.
    std::vector<Person> getLastDetections(std::chrono::milliseconds window);
    std::chrono::milliseconds getMaxWindowDuration() const;
    void setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration);
    void clean();

private:
    class LUMORA_NO_EXPORT LastDetectionsImpl;
    std::unique_ptr<LastDetectionsImpl> mImpl;
};

class LUMORA_EXPORT LastBodyDetections {
public:
    explicit LastBodyDetections(std::chrono::milliseconds maxWindowDuration);
    ~LastBodyDetections();
    LastBodyDetections(LastBodyDetections&& other) noexcept;
    LastBodyDetections& operator=(LastBodyDetections&& other) noexcept;
    LastBodyDetections(const LastBodyDetections&) = delete;
    LastBodyDetections& operator=(const LastBodyDetections&) = delete;

    void newDetections(const std::vector<Body>& bodies);
    std::vector<Body> getLastDetections(std::chrono::milliseconds window);
    std::chrono::milliseconds getMaxWindowDuration() const;
    void setMaxWindowDuration(std::chrono::milliseconds maxWindowDuration);
    void clean();

private:
    class LUMORA_NO_EXPORT LastBodyDetectionsImpl;
    std::unique_ptr<LastBodyDetectionsImpl> mImpl;
};

}  // namespace lm
