#include "real/facemask.h"

#include <stdexcept>
#include <string>

namespace lm::models::real {

namespace {

// Holds the unused middle class at zero probability: e^-60 vanishes beside e^0 and e^z.
constexpr float UNUSED_CLASS_LOGIT = -60.0f;

}  // namespace

IrGraph convertFacemask(const WeightsDir& weights) { return convertFacemask(weights, fittedMaskReadout()); }

IrGraph convertFacemask(const WeightsDir& weights, const MaskReadout& readout) {
    if (readout.weights.size() != static_cast<std::size_t>(MASK_FEATURE_COUNT))
        throw std::invalid_argument("the mask read-out has " + std::to_string(readout.weights.size()) +
                                    " weights, the features " + std::to_string(MASK_FEATURE_COUNT));
    IrGraph g("facemask");
    const Port map = ageGenderFeatureMap(g, weights, g.parameter("image", {1, 3, 112, 112}));
    // Rows 0-3 and 3-6 of the 7 x 7 map, each averaged over the whole width.
    const Port halves = g.op("AvgPool", "halves", {map},
                             {{"kernel", "4,7"},
                              {"strides", "3,1"},
                              {"pads_begin", "0,0"},
                              {"pads_end", "0,0"},
                              {"auto_pad", "valid"},
                              {"rounding_type", "floor"},
                              {"exclude-pad", "true"}},
                             {1, 512, 2, 1});
    const Port features = g.reshape(MASK_FEATURES, halves, {1, MASK_FEATURE_COUNT});

    // softmax(0, -60, z) = (1 - sigmoid(z), 0, sigmoid(z)) to float precision.
    Tensor kernel({MASK_FEATURE_COUNT, 3}, 0.0f);
    for (int64_t i = 0; i < MASK_FEATURE_COUNT; ++i) kernel.at({i, 2}) = readout.weights[i];
    const Tensor bias({3}, {0.0f, UNUSED_CLASS_LOGIT, readout.bias});
    g.result(g.softmax("model/mask/Softmax", g.dense("model/mask/logits", features, kernel, bias), 1));
    return g;
}

}  // namespace lm::models::real
