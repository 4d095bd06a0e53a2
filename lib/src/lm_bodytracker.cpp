#include "lm_bodytracker.h"

namespace lm {

namespace {

constexpr std::int32_t MIN_HITS = 5;

// Rows by network type (NORMAL, then QUANTIZED) and rate class (FPS_30, FPS_10, FPS_5):
// IoU, distance, size, appearance weights, match threshold, hits to confirm. The
// quantized network shares one row between FPS_10 and FPS_5. The NORMAL FPS_10 threshold
// is 0.6 where 0.7 was written: at 0.7 about one in 25 of a walker's own next detections
// falls under it while no other walker's reaches 0.6 (measured on labelled walkers by
// lumora-continuation-scores), so at 10 fps every walker kept changing ids.
constexpr ObjectTracker::WeightTable BODY_WEIGHTS = {{
    {{
        {0.87526035f, 1.0f, 0.1f, 0.23859002f, 0.45912042f, MIN_HITS},
        {0.77343154f, 0.76043946f, 0.80093485f, 0.22624433f, 0.6f, MIN_HITS},
        {0.8434761f, 0.43075415f, 0.5638526f, 0.14722142f, 0.49632552f, MIN_HITS},
    }},
    {{
        {0.17478684f, 0.10919283f, 0.13952006f, 0.766247f, 0.20341767f, MIN_HITS},
        {0.308119f, 0.14259087f, 0.5364094f, 0.95508504f, 0.3240823f, MIN_HITS},
        {0.308119f, 0.14259087f, 0.5364094f, 0.95508504f, 0.3240823f, MIN_HITS},
    }},
}};

}  // namespace

BodyTracker::BodyTracker() : ObjectTracker(BODY_WEIGHTS, &Settings::bodyTrackFps) {}

const ObjectTracker::WeightTable& BodyTracker::weightTable() { return BODY_WEIGHTS; }

}  // namespace lm
