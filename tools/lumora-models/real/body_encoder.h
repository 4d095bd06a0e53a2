#pragma once
// The body appearance descriptor. Two feature maps of CenterNet's person-trained MobileNet
// v3 backbone, computed on the 128 x 256 body crop, are averaged over horizontal stripes of
// the crop (stride 8: 32 channels in 8 stripes; stride 16: 64 channels in 4 stripes), so
// that a red shirt over blue jeans differs from the other way round. The 512 stripe means
// are standardised, then whitened against the ways one person's crops differ (pose, size,
// light), with statistics and a projection fitted on labelled crops of walkers
// (lumora-pair-scores --fit), and scaled to one length, as the body tracker's similarity
// expects. The colour grid that came before stays buildable, to measure against it.

#include <vector>

#include "real/converters.h"

namespace lm::models::real {

// The output of the unstandardised network: stripe means, channel by channel.
const char* const BODY_FEATURES = "features";
constexpr int BODY_FEATURE_COUNT = 512;

// z = (x - mean) / deviation per feature, y = projection z; the descriptor is y scaled
// to `length`.
struct BodyFeatureStatistics {
    std::vector<float> mean;        // BODY_FEATURE_COUNT values
    std::vector<float> deviation;   // BODY_FEATURE_COUNT values, all above zero
    std::vector<float> projection;  // BODY_FEATURE_COUNT rows of BODY_FEATURE_COUNT, row-major
    float length = 0.0f;            // above zero
};

// The committed statistics (body_encoder_statistics.cpp, written by the fitting mode).
const BodyFeatureStatistics& fittedBodyFeatureStatistics();

// The stripe means alone, [1, BODY_FEATURE_COUNT], named BODY_FEATURES: what the fitting reads.
IrGraph convertBodyFeatures(const WeightsDir& weights);

// The descriptor with those statistics; throws std::invalid_argument when they do not hold
// BODY_FEATURE_COUNT values each (the projection their square), or a deviation or the
// length is not above zero.
IrGraph convertBodyEncoder(const WeightsDir& weights, const BodyFeatureStatistics& statistics);

}  // namespace lm::models::real
