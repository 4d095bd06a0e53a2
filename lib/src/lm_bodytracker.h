#pragma once
// The body tracker: the object tracker with the body weights, which include the weight of
// the appearance similarity between a detection and a track's stored vectors.

#include "tracker.h"

namespace lm {

class BodyTracker : public ObjectTracker {
public:
    // The scale the body tracker's appearance similarity is taken with (the float with
    // bits 0x420E7796), see Encoder::similarity.
    static constexpr float SIMILARITY_SCALE = 35.616783f;

    BodyTracker();
    ~BodyTracker() override = default;

    // The rows of weights by network type and rate class.
    static const WeightTable& weightTable();
};

}  // namespace lm
