#pragma once
// The time between two consecutive updates of a tracker, on one of two clocks. A frame that
// carries its own time (a video file's frame: the run's start plus its place in the video)
// is measured on that time, so a file gives the same intervals however fast it is analysed;
// a frame without one (a camera, a stream) is measured on the steady clock.

#include <chrono>
#include <optional>

#include "clock.h"
#include "lumora/lm_records.h"

namespace lm {

class UpdateInterval {
public:
    struct Step {
        std::chrono::milliseconds elapsed{0};
        // False on the frames' clock when there is no earlier frame time to measure from,
        // or the frame time did not move forward: the interval (0) tells nothing of the rate.
        bool measured = true;
    };

    UpdateInterval() : mLastSteady(clock::steadyNow()) {}

    // The interval since the previous call. Both references move on every call, so a
    // change between the two clocks never measures across the other clock's stretch.
    Step next(const std::optional<TimePoint>& frameTime) {
        const clock::SteadyTime now = clock::steadyNow();
        const auto steadyElapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - mLastSteady);
        mLastSteady = now;
        const std::optional<TimePoint> previousFrame = mLastFrame;
        mLastFrame = frameTime;
        if (!frameTime) return {steadyElapsed, true};
        if (!previousFrame || *frameTime <= *previousFrame) return {std::chrono::milliseconds(0), false};
        return {std::chrono::duration_cast<std::chrono::milliseconds>(*frameTime - *previousFrame), true};
    }

    // The next interval is measured from now, and a frame time starts afresh.
    void restart() {
        mLastSteady = clock::steadyNow();
        mLastFrame.reset();
    }

private:
    clock::SteadyTime mLastSteady;
    std::optional<TimePoint> mLastFrame;
};

}  // namespace lm
