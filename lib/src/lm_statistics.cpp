#include "lm_statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "clock.h"

namespace lm {

namespace {

// An attribute is sampled only from a face that is large enough and turned far enough
// towards the camera for its estimator to be reliable.
struct PoseGate {
    int minSide;   // pixels, the smaller of box width and height
    int maxYaw;    // degrees, absolute
    int maxPitch;  // degrees, absolute
};

constexpr PoseGate FACE_MASK_GATE{20, 50, 40};
constexpr PoseGate AGE_GENDER_GATE{20, 30, 40};
constexpr PoseGate EMOTIONS_GATE{30, 15, 15};

bool passes(const PoseGate& gate, const Person& person) {
    const int side = std::min(person.boundingBox.width, person.boundingBox.height);
    // The unset angle (-360) gives 360 here, so a face without head pose passes no gate.
    const int yaw = std::abs(static_cast<int>(person.headpose.yaw));
    const int pitch = std::abs(static_cast<int>(person.headpose.pitch));
    return side >= gate.minSide && yaw <= gate.maxYaw && pitch <= gate.maxPitch;
}

bool allFinite(const Emotions& scores) {
    return std::all_of(scores.begin(), scores.end(), [](float s) { return std::isfinite(s); });
}

void raiseTo(float& maximum, float value) {
    if (std::isfinite(value) && value > maximum) maximum = value;
}

Milliseconds averagePerSession(Milliseconds total, std::uint32_t sessions) {
    return sessions == 0 ? Milliseconds{0} : total / static_cast<std::int64_t>(sessions);
}

}  // namespace

TimePoint windowStart(TimePoint now, Milliseconds span) {
    using Ticks = TimePoint::duration;
    constexpr std::int64_t TICKS_PER_MS = std::chrono::duration_cast<Ticks>(Milliseconds{1}).count();
    std::int64_t spanTicks = 0;
    std::int64_t startTicks = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(span.count()), TICKS_PER_MS, &spanTicks) ||
        __builtin_sub_overflow(static_cast<std::int64_t>(now.time_since_epoch().count()), spanTicks, &startTicks)) {
        return span.count() > 0 ? TimePoint::min() : TimePoint::max();
    }
    return TimePoint(Ticks(startTicks));
}

bool TrackTiming::isFinalized() const { return isFinalized(clock::systemNow()); }

bool TrackTiming::isFinalized(TimePoint now) const { return isExpired(lastDetectionTime, now, FINALIZATION_DELAY); }

bool TrackTiming::isFalsePositive() const { return detectionDuration < MIN_TRACK_DURATION; }

bool TrackTiming::recordTiming(TimePoint detectionTime, Milliseconds cumulativeDuration) {
    detectionDuration = cumulativeDuration;
    const bool first = lastDetectionTime == TimePoint{};
    if (first) {
        initialDetectionTime = detectionTime;
        initialDetectionDuration = cumulativeDuration;
    }
    lastDetectionTime = detectionTime;
    return first;
}

void PersonStatistics::update(const Person& person) {
    if (person.faceMask != UNSET_SCORE && std::isfinite(person.faceMask) && passes(FACE_MASK_GATE, person)) {
        faceMaskSum += person.faceMask;
        ++faceMaskCount;
    }
    // Ages below zero are not ages: summed as unsigned they would wreck the mean.
    if (person.age >= 0 && passes(AGE_GENDER_GATE, person)) {
        ageSum += static_cast<std::uint32_t>(person.age);
        ++ageCount;
    }
    if (person.gender != 0.0f && std::isfinite(person.gender) && passes(AGE_GENDER_GATE, person)) {
        genderSum += person.gender;
        ++genderCount;
    }
    // Only the neutral score tells whether emotions were estimated; a sample with any
    // non-finite score is dropped whole so that the seven sums share one count.
    if (person.emotions[0] != UNSET_SCORE && allFinite(person.emotions) && passes(EMOTIONS_GATE, person)) {
        for (std::size_t i = 0; i < emotionsSum.size(); ++i) emotionsSum[i] += person.emotions[i];
        ++emotionsCount;
    }

    if (person.isViewing && !isViewing) ++viewingSessions;
    if (person.isDwelling && !isDwelling) ++dwellSessions;
    isViewing = person.isViewing;
    isDwelling = person.isDwelling;

    // Both maxima start at 0, so an unset smile (-1) never raises them.
    if (person.isViewing) raiseTo(smileViewing, person.smile);
    raiseTo(smileMaximum, person.smile);

    totalViewingDuration = person.totalViewingDuration;
    totalDwellDuration = person.totalDwellDuration;
    if (recordTiming(person.detectionTime, person.detectionDuration)) {
        initialTotalViewingDuration = person.totalViewingDuration;
        initialTotalDwellDuration = person.totalDwellDuration;
    }
}

AggregatedPerson PersonStatistics::convertToAggregatedPerson(std::uint32_t id) const {
    AggregatedPerson result;
    result.id = id;
    if (ageCount != 0) result.avgAge = static_cast<std::int32_t>(ageSum / ageCount);
    if (genderCount != 0) result.avgGender = static_cast<float>(genderSum / genderCount);
    result.faceMask = faceMaskCount != 0 && faceMaskSum / faceMaskCount >= 0.5;
    if (emotionsCount != 0) {
        for (std::size_t i = 0; i < emotionsSum.size(); ++i)
            result.avgEmotions[i] = static_cast<float>(emotionsSum[i] / emotionsCount);
    }
    result.smileViewing = smileViewing;
    result.smileMaximum = smileMaximum;
    result.viewingSessions = viewingSessions;
    result.dwellSessions = dwellSessions;
    result.initialDetectionTime = initialDetectionTime;
    // Totals count only what happened from the track's first record on.
    result.totalDetectionDuration = detectionDuration - initialDetectionDuration;
    result.totalViewingDuration = totalViewingDuration - initialTotalViewingDuration;
    result.averageViewingDuration = averagePerSession(result.totalViewingDuration, viewingSessions);
    result.totalDwellDuration = totalDwellDuration - initialTotalDwellDuration;
    result.averageDwellDuration = averagePerSession(result.totalDwellDuration, dwellSessions);
    return result;
}

void BodyStatistics::update(const Body& body) { recordTiming(body.detectionTime, body.detectionDuration); }

AggregatedBody BodyStatistics::convertToAggregatedBody(std::uint32_t id) const {
    AggregatedBody result;
    result.id = id;
    result.initialDetectionTime = initialDetectionTime;
    result.totalDetectionDuration = detectionDuration - initialDetectionDuration;
    return result;
}

}  // namespace lm
