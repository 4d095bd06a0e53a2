#pragma once
// Sample records for the tests and benchmarks of the writers and the statistics.
//
// The writers' samples give every field a value of its own, so that a line or document
// that swaps, drops or misformats a field shows it; their times carry milliseconds and a
// sub-millisecond rest, which the writers must cut, never round.

#include <chrono>
#include <cstdint>

#include <lumora/lm_records.h>

namespace lmtest {

using namespace std::chrono_literals;

// 2021-03-04 12:34:56 UTC, in seconds since the epoch.
inline constexpr std::int64_t MARCH_4_2021_123456 = 1614861296;

inline lm::TimePoint at(std::int64_t seconds, std::chrono::nanoseconds rest = 0ns) {
    return lm::TimePoint(std::chrono::seconds(seconds) + rest);
}

// 2021-03-04 12:34:56.007999 UTC: written as 12:34:56.007 or 12:34:56.
inline const lm::TimePoint SAMPLE_TIME = at(MARCH_4_2021_123456, 7ms + 999us);

// A viewing face with every estimate set.
inline lm::Person samplePerson() {
    lm::Person p;
    p.id = 42;
    p.age = 31;
    p.gender = 0.87f;
    p.smile = 0.53f;
    p.faceMask = 0.25f;
    p.emotions = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f};
    p.detectionConfidence = 0.875f;
    p.isViewing = true;
    p.boundingBox = cv::Rect(10, 20, 30, 40);
    p.worldPosition = {1, -2, 300};
    p.headpose.yaw = -15;
    p.headpose.pitch = 5;
    p.headpose.roll = -3;
    p.headgaze = {7, -8};
    p.distanceFromCamera = 150;
    p.detectionTime = SAMPLE_TIME;
    p.detectionDuration = 1500ms;
    p.totalViewingDuration = 800ms;
    p.currentViewingDuration = 300ms;
    p.totalDwellDuration = 1200ms;
    p.currentDwellDuration = 200ms;
    return p;
}

// The summary of a track that was viewed twice and dwelt three times.
inline lm::AggregatedPerson sampleAggregated(float avgGender = -0.5f) {
    lm::AggregatedPerson a;
    a.id = 7;
    a.avgAge = 40;
    a.avgGender = avgGender;
    a.faceMask = true;
    a.avgEmotions = {0.5f, 0.0f, 0.0f, 0.0f, 0.25f, 0.0f, 1.0f};
    a.smileViewing = 0.53f;
    a.smileMaximum = 0.75f;
    a.viewingSessions = 2;
    a.dwellSessions = 3;
    a.initialDetectionTime = SAMPLE_TIME;
    a.totalDetectionDuration = 9000ms;
    a.totalViewingDuration = 4000ms;
    a.averageViewingDuration = 2000ms;
    a.totalDwellDuration = 3000ms;
    a.averageDwellDuration = 1000ms;
    return a;
}

// A face with every attribute estimated, facing the camera, large enough for every gate
// of the statistics with room to spare.
inline lm::Person estimatedFace() {
    lm::Person p;
    p.id = 1;
    p.age = 30;
    p.gender = 0.8f;
    p.smile = 0.4f;
    p.faceMask = 0.9f;
    p.emotions = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f, 0.7f};
    p.boundingBox = cv::Rect(0, 0, 40, 40);
    p.headpose = {0, 0, 0};
    p.detectionTime = lm::TimePoint(1000h);
    return p;
}

}  // namespace lmtest
