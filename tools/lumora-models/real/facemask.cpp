#include "real/facemask.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <string>

namespace lm::models::real {

namespace {

// Holds the unused middle class at zero probability: e^-60 vanishes beside e^0 and e^z.
constexpr float UNUSED_CLASS_LOGIT = -60.0f;

}  // namespace

IrGraph convertFacemask(const WeightsDir& weights) { return convertFacemask(weights, fittedMaskReadout()); }

IrGraph convertFacemask(const WeightsDir& weights, const CellReadout& readout) {
    return convertCellReadout(weights, readout, "facemask", "model/mask/Softmax");
}

IrGraph convertCellReadout(const WeightsDir& weights, const CellReadout& readout, const std::string& name,
                           const std::string& output) {
    if (readout.weights.size() != static_cast<std::size_t>(MASK_FEATURE_COUNT))
        throw std::invalid_argument("the read-out of " + name + " has " + std::to_string(readout.weights.size()) +
                                    " weights, the features " + std::to_string(MASK_FEATURE_COUNT));
    IrGraph g(name);
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
    g.result(g.softmax(output, g.dense(output + "/logits", features, kernel, bias), 1));
    return g;
}

std::string cellReadoutSource(const CellReadout& readout, const std::string& comment, const std::string& header,
                              const std::string& function) {
    std::ostringstream out;
    out << comment << "#include \"" << header
        << "\"\n\n"
           "#include <iterator>\n\n"
           "namespace lm::models::real {\n\n"
           "namespace {\n\n"
           "// clang-format off\n"
           "const float WEIGHTS[] = {\n    ";
    out << std::showpoint << std::setprecision(9);
    for (std::size_t i = 0; i < readout.weights.size(); ++i)
        out << (i == 0 ? "" : i % 6 == 0 ? ",\n    " : ", ") << readout.weights[i] << "f";
    out << "};\n// clang-format on\n"
           "const float BIAS = "
        << readout.bias
        << "f;\n\n}  // namespace\n\n"
           "const CellReadout& "
        << function
        << "() {\n"
           "    static const CellReadout readout{std::vector<float>(std::begin(WEIGHTS), std::end(WEIGHTS)), BIAS};\n"
           "    return readout;\n}\n\n"
           "}  // namespace lm::models::real\n";
    return out.str();
}

}  // namespace lm::models::real
