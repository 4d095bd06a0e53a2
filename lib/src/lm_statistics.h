#pragma once
// The running summary of one face track or one body track while its per-frame records
// arrive. A summary knows when its track has ended (no record for more than 5,001 ms of
// wall-clock time) and whether the track was too short to count (under 1,000 ms), and
// turns itself into the track's result record.
//
// Both are plain structures: value-initialise them ({}) when a track id is first seen.
// Sums and sample counts are 64 bits wide so that a track that lasts for weeks cannot
// wrap them; non-finite scores are never summed, so one bad sample cannot spoil a mean.

#include <array>
#include <cstdint>

#include <lumora/lm_records.h>

namespace lm {

// A track whose latest record is older than this has ended.
constexpr Milliseconds FINALIZATION_DELAY{5001};
// A track, or a stored record, whose cumulative detection duration stays below this is
// treated as a false detection.
constexpr Milliseconds MIN_TRACK_DURATION{1000};

// The earliest detection time that still lies inside a window of the given span ending
// at now. Saturates instead of overflowing: a span longer than the clock can express
// keeps everything, a hugely negative one keeps nothing.
TimePoint windowStart(TimePoint now, Milliseconds span);

// A record is expired when it lies before the window; one exactly `span` old stays.
inline bool isExpired(TimePoint detectionTime, TimePoint now, Milliseconds span) {
    return detectionTime < windowStart(now, span);
}

// What face and body tracks share: when the track started and was last seen, and its
// cumulative detection duration at the first and the latest record.
struct TrackTiming {
    TimePoint initialDetectionTime{};
    Milliseconds detectionDuration{0};
    Milliseconds initialDetectionDuration{0};
    TimePoint lastDetectionTime{};  // the zero time point: no record yet

    // No record for more than FINALIZATION_DELAY by the system clock, or before `now`.
    bool isFinalized() const;
    bool isFinalized(TimePoint now) const;
    // The latest cumulative duration is under MIN_TRACK_DURATION.
    bool isFalsePositive() const;

    // Takes the latest record's time and duration; returns true for the track's first record.
    bool recordTiming(TimePoint detectionTime, Milliseconds cumulativeDuration);
};

struct PersonStatistics : TrackTiming {
    double faceMaskSum = 0.0;
    std::uint64_t faceMaskCount = 0;
    std::uint64_t ageSum = 0;
    std::uint64_t ageCount = 0;
    double genderSum = 0.0;
    std::uint64_t genderCount = 0;
    std::array<double, 7> emotionsSum{};  // order of lm::Emotions
    std::uint64_t emotionsCount = 0;
    bool isViewing = false;  // flags of the previous record, for counting rising edges
    bool isDwelling = false;
    std::uint32_t viewingSessions = 0;
    std::uint32_t dwellSessions = 0;
    float smileViewing = 0.0f;  // largest smile while viewing
    float smileMaximum = 0.0f;  // largest smile overall
    Milliseconds totalViewingDuration{0};
    Milliseconds totalDwellDuration{0};
    Milliseconds initialTotalViewingDuration{0};
    Milliseconds initialTotalDwellDuration{0};

    void update(const Person& person);
    AggregatedPerson convertToAggregatedPerson(std::uint32_t id) const;
};

struct BodyStatistics : TrackTiming {
    void update(const Body& body);
    AggregatedBody convertToAggregatedBody(std::uint32_t id) const;
};

}  // namespace lm
