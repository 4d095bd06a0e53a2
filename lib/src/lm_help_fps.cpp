#include "lumora/lm_help_fps.h"

#include <cstdint>

#include "clock.h"

namespace lm::help {

float Fps::operator()() {
    const auto now = clock::systemNow();
    const auto previous = mPrevious;
    mPrevious = now;
    const auto elapsedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now - previous).count();
    const std::int64_t elapsedMs = elapsedNs / 1000000;
    return 1000.0f / static_cast<float>(elapsedMs);
}

}  // namespace lm::help
