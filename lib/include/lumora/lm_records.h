#pragma once
// The plain records the library hands out: one face or body in one frame, one
// detection for the tracker, and the summaries of finished tracks. Attributes that
// were not estimated keep the fixed unset values given as member defaults here.

#include <array>
#include <chrono>
#include <cstdint>

#include <opencv2/core/types.hpp>

namespace lm {

using TimePoint = std::chrono::system_clock::time_point;
using Milliseconds = std::chrono::milliseconds;

constexpr int UNSET_AGE = -1;
constexpr float UNSET_SCORE = -1.0f;
constexpr std::int16_t UNSET_ANGLE = -360;

struct WorldPosition {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
};

struct Headpose {
    std::int16_t yaw = UNSET_ANGLE;
    std::int16_t pitch = UNSET_ANGLE;
    std::int16_t roll = UNSET_ANGLE;
};

struct Headgaze {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Emotion scores in this order: neutral, anger, disgust, fear, happiness, sadness, surprise.
using Emotions = std::array<float, 7>;
constexpr Emotions UNSET_EMOTIONS = {-1.0f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f, -1.0f};

// One face in one frame.
struct Person {
    std::uint32_t id = 0;
    std::int32_t age = UNSET_AGE;
    float gender = 0.0f;  // > 0 female, < 0 male, 0 not estimated
    float smile = UNSET_SCORE;
    float faceMask = UNSET_SCORE;
    Emotions emotions = UNSET_EMOTIONS;
    float detectionConfidence = 0.0f;
    bool isViewing = false;
    bool isDwelling = false;
    cv::Rect boundingBox;
    WorldPosition worldPosition;
    Headpose headpose;
    Headgaze headgaze;
    std::int32_t distanceFromCamera = 0;
    TimePoint detectionTime{};
    Milliseconds detectionDuration{0};
    Milliseconds totalViewingDuration{0};
    Milliseconds currentViewingDuration{0};
    Milliseconds totalDwellDuration{0};
    Milliseconds currentDwellDuration{0};
};

// One detected object as the object tracker sees it.
struct Detection {
    std::uint32_t id = 0;
    cv::Rect boundingBox;
    float detectionConfidence = 0.0f;
    TimePoint detectionTime{};
    Milliseconds detectionDuration{0};
};

// One body in one frame: the same fields as a Detection, as its own type.
struct Body {
    std::uint32_t id = 0;
    cv::Rect boundingBox;
    float detectionConfidence = 0.0f;
    TimePoint detectionTime{};
    Milliseconds detectionDuration{0};
};

// One face track summarised.
struct AggregatedPerson {
    std::uint32_t id = 0;
    std::int32_t avgAge = UNSET_AGE;
    float avgGender = 0.0f;
    bool faceMask = false;
    Emotions avgEmotions = UNSET_EMOTIONS;
    float smileViewing = 0.0f;
    float smileMaximum = 0.0f;
    std::uint32_t viewingSessions = 0;
    std::uint32_t dwellSessions = 0;
    TimePoint initialDetectionTime{};
    Milliseconds totalDetectionDuration{0};
    Milliseconds totalViewingDuration{0};
    Milliseconds averageViewingDuration{0};
    Milliseconds totalDwellDuration{0};
    Milliseconds averageDwellDuration{0};
};

// One body track summarised.
struct AggregatedBody {
    std::uint32_t id = 0;
    TimePoint initialDetectionTime{};
    Milliseconds totalDetectionDuration{0};
};

}  // namespace lm
