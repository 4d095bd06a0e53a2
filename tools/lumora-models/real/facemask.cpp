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
    const LandmarkMaps maps = landmarkFeatureMaps(g, weights, g.parameter("image", {1, 3, 112, 112}));
    // 4 x 4 cells of each map: 28 = 4 x 7 exactly; 14 in windows of 5 every 3 (0-4, ..., 9-13).
    const Port fineCells = g.avgPool("fine_cells", maps.fine, 7, 7, Padding::Valid);
    const Port coarseCells = g.avgPool("coarse_cells", maps.coarse, 5, 3, Padding::Valid);
    // Joined channel-wise before the one reshape: OpenCV reshapes a batch of N to [N, 1, K],
    // which a concatenation of two such rows along axis 1 would refuse.
    const Port cells = g.concat("cells", {fineCells, coarseCells}, 1);
    const Port features = g.reshape(MASK_FEATURES, cells, {1, MASK_FEATURE_COUNT});

    // softmax(0, -60, z) = (1 - sigmoid(z), 0, sigmoid(z)) to float precision.
    Tensor kernel({MASK_FEATURE_COUNT, 3}, 0.0f);
    for (int64_t i = 0; i < MASK_FEATURE_COUNT; ++i) kernel.at({i, 2}) = readout.weights[i];
    const Tensor bias({3}, {0.0f, UNUSED_CLASS_LOGIT, readout.bias});
    g.result(g.softmax("model/mask/Softmax", g.dense("model/mask/logits", features, kernel, bias), 1));
    return g;
}

}  // namespace lm::models::real
