#pragma once
// The analysis library's facade: one object that takes settings and runs frames through
// the face pipeline (detection, attribute estimators, tracking, durations) or the body
// pipeline (detection, appearance encoding, tracking). Results come back by value.
// The facade takes no lock: calls on one object must not overlap.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "lumora/lm_export.h"
#include "lumora/lm_records.h"
#include "lumora/lm_settings.h"

namespace lm {

class LUMORA_EXPORT Lumora {
public:
    // Loads every model; throws when the settings are refused or a model cannot be loaded.
    explicit Lumora(const Settings& settings);
    ~Lumora();
    Lumora(Lumora&& other) noexcept;
    Lumora& operator=(Lumora&& other) noexcept;
    Lumora(const Lumora&) = delete;
    Lumora& operator=(const Lumora&) = delete;

    // A frame's own time, for a source with a clock of its own: a video file's frame shows
    // at the run's start plus its place in the file. Given, it is the records' detection
    // time and the trackers' clock (intervals, rate class, misses, durations), so a file
    // gives the same ids and durations however fast it is analysed. Without it the records
    // carry the moment of detection and the trackers follow the steady clock.
    using FrameTime = std::optional<TimePoint>;

    // Faces of one frame of a stream, with track ids, smoothed age and gender, durations.
    std::vector<Person> analyze(const cv::Mat& frame, const FrameTime& frameTime = std::nullopt);
    // Faces of one still image: no tracking, ids and durations stay 0.
    std::vector<Person> analyzeSingleImage(const cv::Mat& frame);
    // Tracked bodies of one frame of a stream.
    std::vector<Body> analyzeBodies(const cv::Mat& frame, const FrameTime& frameTime = std::nullopt);

    void setSettings(const Settings& settings);
    Settings getSettings() const;

    std::vector<cv::Rect> getTrackedBoxes();
    std::uint32_t getCountOfFaces() const;
    std::uint32_t getCountOfBodies() const;
    void resetTracker(bool resetCounter);
    void resetBodyTracker(bool resetCounter);

    class LUMORA_NO_EXPORT LumoraImpl;

private:
    std::unique_ptr<LumoraImpl> mImpl;
};

// The library's version, "3.0.0".
LUMORA_EXPORT std::string getVersion();

// Start time (system clock, ns) and duration (ns) of each pipeline step of the last frame:
// 0 face detection, 1 age/gender, 2 head pose, 3 smile, 4 face mask, 5 emotions,
// 6 tracking step, 7 whole face analysis and body detection, 8 body encoding,
// 9 body tracking, 10 whole body analysis; 11 to 15 stay 0.
namespace scoped_timer {
LUMORA_EXPORT extern std::array<std::int64_t, 16> time_points;
LUMORA_EXPORT extern std::array<std::int64_t, 16> time_deltas;
}  // namespace scoped_timer

}  // namespace lm
