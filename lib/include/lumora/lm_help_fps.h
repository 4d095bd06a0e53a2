#pragma once
// The frame-rate meter of the processing loop.

#include <chrono>

#include "lumora/lm_export.h"

namespace lm::help {

// Frame-rate meter: each call reports the rate implied by the time since the previous
// call, in whole milliseconds, unsmoothed (infinity within one millisecond). A new meter
// starts at the clock's epoch, so call it once when built to make the first reading useful.
class LUMORA_EXPORT Fps {
public:
    float operator()();

private:
    std::chrono::system_clock::time_point mPrevious{};
};

}  // namespace lm::help
