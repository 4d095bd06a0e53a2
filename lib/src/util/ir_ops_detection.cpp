// SSD detection: PriorBox and PriorBoxClustered are evaluated at load time into the
// [2, 4N] constant of boxes and variances; DetectionOutput maps onto OpenCV's layer of the
// same name, which cv::dnn::DetectionModel needs as the last layer of the network.

#include <algorithm>
#include <cmath>
#include <string_view>
#include <utility>

#include "util/ir_network_builder.h"
#include "util/ir_ops.h"

namespace lm::dnn::ir {

namespace {

// OpenCV reads any code_type it does not recognise as CORNER, silently: the IR's prefix
// must go.
constexpr std::string_view CODE_TYPE_PREFIX = "caffe.PriorBoxParameter.";

// The feature map that a prior generator covers and the image its boxes are relative to.
struct PriorGrid {
    int64_t height = 0;
    int64_t width = 0;
    double imageHeight = 0;
    double imageWidth = 0;
};

// The two spatial sizes that a prior generator reads from its inputs: [H, W].
std::pair<int64_t, int64_t> readSize(const Constant& c, const IrLayer& layer, const char* what) {
    if (c.values.size() != 2 || c.values[0] < 1 || c.values[1] < 1 || c.values[0] > MAX_DIM || c.values[1] > MAX_DIM)
        fail(layer.what() + " needs a [height, width] " + what);
    return {static_cast<int64_t>(c.values[0]), static_cast<int64_t>(c.values[1])};
}

PriorGrid readGrid(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 2, 2);
    const auto featureSize = readSize(builder.constantInput(layer, 0, "output size"), layer, "output size");
    const auto imageSize = readSize(builder.constantInput(layer, 1, "image size"), layer, "image size");
    return {featureSize.first, featureSize.second, static_cast<double>(imageSize.first),
            static_cast<double>(imageSize.second)};
}

std::vector<double> readVariances(const IrLayer& layer) {
    std::vector<double> variance = attrList<double>(layer, "variance", std::vector<double>{});
    if (variance.empty()) variance = {0.1};
    if (variance.size() == 1) variance.assign(4, variance[0]);
    if (variance.size() != 4) fail(layer.what() + " needs one or four variances");
    return variance;
}

// The aspect ratios of a PriorBox: 1 first, then the listed ones (and their inverses when
// flipped), each once.
std::vector<double> aspectRatios(const IrLayer& layer, bool flip) {
    std::vector<double> ratios = {1.0};
    for (double r : attrList<double>(layer, "aspect_ratio", std::vector<double>{})) {
        auto known = [&](double v) {
            return std::any_of(ratios.begin(), ratios.end(), [v](double x) { return std::fabs(x - v) < 1e-6; });
        };
        if (r <= 0) fail(layer.what() + " has a non-positive aspect ratio");
        if (!known(r)) ratios.push_back(r);
        if (flip && !known(1.0 / r)) ratios.push_back(1.0 / r);
    }
    return ratios;
}

// Appends a box of the given centre and size, in coordinates relative to the image.
void addBox(std::vector<double>& boxes, const PriorGrid& grid, double cx, double cy, double bw, double bh) {
    boxes.push_back((cx - bw / 2) / grid.imageWidth);
    boxes.push_back((cy - bh / 2) / grid.imageHeight);
    boxes.push_back((cx + bw / 2) / grid.imageWidth);
    boxes.push_back((cy + bh / 2) / grid.imageHeight);
}

// Fills the [2, 4N] output: boxes in the first row, variances in the second.
Constant priorsConstant(const std::vector<double>& boxes, const std::vector<double>& variance, bool clip) {
    Constant priors;
    priors.shape = {2, static_cast<int64_t>(boxes.size())};
    priors.values = boxes;
    if (clip)
        for (double& v : priors.values) v = std::min(1.0, std::max(0.0, v));
    for (size_t i = 0; i < boxes.size(); ++i) priors.values.push_back(variance[i % 4]);
    return priors;
}

}  // namespace

void onPriorBoxClustered(IrNetworkBuilder& builder, const IrLayer& layer) {
    const PriorGrid grid = readGrid(builder, layer);
    const std::vector<double> widths = attrList<double>(layer, "width");
    const std::vector<double> heights = attrList<double>(layer, "height");
    if (widths.empty() || widths.size() != heights.size()) fail(layer.what() + " needs as many widths as heights");
    double stepW = attrNumber<double>(layer, "step_w", 0.0);
    double stepH = attrNumber<double>(layer, "step_h", 0.0);
    const double step = attrNumber<double>(layer, "step", 0.0);
    if (stepW == 0 && stepH == 0) stepW = stepH = step;
    if (stepW == 0) stepW = grid.imageWidth / grid.width;
    if (stepH == 0) stepH = grid.imageHeight / grid.height;
    const double offset = attrNumber<double>(layer, "offset", 0.5);
    requireFoldable(layer, {grid.height, grid.width, static_cast<int64_t>(widths.size()), 8});

    std::vector<double> boxes;
    for (int64_t h = 0; h < grid.height; ++h)
        for (int64_t w = 0; w < grid.width; ++w) {
            const double cx = (w + offset) * stepW, cy = (h + offset) * stepH;
            for (size_t s = 0; s < widths.size(); ++s) addBox(boxes, grid, cx, cy, widths[s], heights[s]);
        }
    builder.setConstant(layer, priorsConstant(boxes, readVariances(layer), attrBool(layer, "clip", false)));
}

void onPriorBox(IrNetworkBuilder& builder, const IrLayer& layer) {
    const PriorGrid grid = readGrid(builder, layer);
    const std::vector<double> minSizes = attrList<double>(layer, "min_size");
    const std::vector<double> maxSizes = attrList<double>(layer, "max_size", std::vector<double>{});
    const bool flip = attrBool(layer, "flip", false);
    const bool scaleAllSizes = attrBool(layer, "scale_all_sizes", true);
    for (const char* key : {"fixed_size", "fixed_ratio", "density"})
        if (!attrList<double>(layer, key, std::vector<double>{}).empty())
            fail(layer.what() + " with " + key + " is not supported");
    const std::vector<double> ratios = aspectRatios(layer, flip);
    if (minSizes.empty() || (!maxSizes.empty() && maxSizes.size() != minSizes.size()))
        fail(layer.what() + " needs min sizes (and as many max sizes)");
    const double step = attrNumber<double>(layer, "step", 0.0);
    const double offset = attrNumber<double>(layer, "offset", 0.5);
    const double stepW = step == 0 ? grid.imageWidth / grid.width : step;
    const double stepH = step == 0 ? grid.imageHeight / grid.height : step;
    requireFoldable(layer, {grid.height, grid.width, static_cast<int64_t>(minSizes.size() * (ratios.size() + 1)), 8});

    std::vector<double> boxes;
    for (int64_t h = 0; h < grid.height; ++h)
        for (int64_t w = 0; w < grid.width; ++w) {
            const double cx = (w + offset) * stepW, cy = (h + offset) * stepH;
            for (size_t s = 0; s < minSizes.size(); ++s) {
                const double minSize = minSizes[s];
                addBox(boxes, grid, cx, cy, minSize, minSize);
                if (!maxSizes.empty()) {
                    const double side = std::sqrt(minSize * maxSizes[s]);
                    addBox(boxes, grid, cx, cy, side, side);
                }
                for (double r : ratios) {
                    if (std::fabs(r - 1.0) < 1e-6) continue;
                    const double sizeBase = scaleAllSizes || s == 0 ? minSize : minSizes[0];
                    addBox(boxes, grid, cx, cy, sizeBase * std::sqrt(r), sizeBase / std::sqrt(r));
                }
            }
        }
    builder.setConstant(layer, priorsConstant(boxes, readVariances(layer), attrBool(layer, "clip", false)));
}

void onDetectionOutput(IrNetworkBuilder& builder, const IrLayer& layer) {
    requireInputs(layer, 3, 3);
    cv::dnn::LayerParams params;
    params.set("num_classes", attrNumber<int>(layer, "num_classes"));
    params.set("background_label_id", attrNumber<int>(layer, "background_label_id", 0));
    params.set("share_location", attrBool(layer, "share_location", true));
    params.set("variance_encoded_in_target", attrBool(layer, "variance_encoded_in_target", false));
    params.set("nms_threshold", attrNumber<float>(layer, "nms_threshold"));
    params.set("confidence_threshold", attrNumber<float>(layer, "confidence_threshold", 0.f));
    params.set("top_k", attrNumber<int>(layer, "top_k", -1));
    // keep_top_k is a list in the IR; OpenCV takes one number.
    const std::vector<int> keepTopK = attrList<int>(layer, "keep_top_k");
    if (keepTopK.empty()) fail(layer.what() + " has an empty keep_top_k");
    params.set("keep_top_k", keepTopK[0]);
    params.set("normalized_bbox", attrBool(layer, "normalized", true));
    params.set("clip", attrBool(layer, "clip_after_nms", false) || attrBool(layer, "clip_before_nms", false));
    std::string codeType = attrString(layer, "code_type", std::string("caffe.PriorBoxParameter.CORNER"));
    if (codeType.compare(0, CODE_TYPE_PREFIX.size(), CODE_TYPE_PREFIX) == 0)
        codeType = codeType.substr(CODE_TYPE_PREFIX.size());
    if (codeType != "CORNER" && codeType != "CENTER_SIZE" && codeType != "CORNER_SIZE")
        fail(layer.what() + " has the unknown code_type '" + codeType + "'");
    params.set("code_type", codeType);
    if (params.get<int>("num_classes") < 1 || params.get<float>("nms_threshold") <= 0)
        fail(layer.what() + " needs a positive class count and NMS threshold");

    std::vector<PortRef> inputs;
    for (size_t i = 0; i < 3; ++i) inputs.push_back(builder.refOf(builder.input(layer, i)));
    const int index = builder.addLayer(layer, "DetectionOutput", params, inputs);
    builder.pendingLayer(index).checkShape = false;  // OpenCV sizes its output by keep_top_k
}

}  // namespace lm::dnn::ir
