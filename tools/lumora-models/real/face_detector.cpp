// The SSD MobileNet v1 face detector of face-api, rebuilt for the detector's input sizes.
//
// The backbone and box predictors are the original's. Run on the frame as it comes, the
// grid of every feature map follows the input size and so do the anchors, which are
// regenerated so that each keeps its size in pixels of the 512 x 512 training input.
// Letterboxed, the network pads the frame to a square and resizes it to 512 x 512 itself,
// as the original's own pipeline does, and keeps the trained anchors, mapped back to the
// frame. The six heads are flattened in NHWC order and handed to DetectionOutput with the
// anchors as a constant prior tensor, so decoding and non-maximum suppression happen
// inside the network.

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "real/converters.h"
#include "real/tfjs.h"

namespace lm::models::real {
namespace {

const Tensor& tensor(const Weights& w, const std::string& name) {
    const auto it = w.find(name);
    if (it == w.end()) throw std::runtime_error("face detector weights have no " + name);
    return it->second;
}

// Depthwise batch norm stored unfolded: s = gamma / sqrt(var + 0.001).
Port depthwiseBn(IrGraph& g, const Weights& w, int i, Port x, int stride) {
    const std::string scope = "MobilenetV1/Conv2d_" + std::to_string(i) + "_depthwise";
    Tensor kernel = depthwiseKernelToGoihw(tensor(w, scope + "/depthwise_weights"));
    const Tensor& gamma = tensor(w, scope + "/BatchNorm/gamma");
    const Tensor& beta = tensor(w, scope + "/BatchNorm/beta");
    const Tensor& mean = tensor(w, scope + "/BatchNorm/moving_mean");
    const Tensor& var = tensor(w, scope + "/BatchNorm/moving_variance");
    const int64_t channels = kernel.shape[0];
    const int64_t perChannel = kernel.count() / channels;
    Tensor bias({channels}, 0.0f);
    for (int64_t c = 0; c < channels; ++c) {
        const float s = gamma.values[c] / std::sqrt(var.values[c] + 0.001f);
        for (int64_t k = 0; k < perChannel; ++k) kernel.values[c * perChannel + k] *= s;
        bias.values[c] = beta.values[c] - mean.values[c] * s;
    }
    const Port y = g.depthwise(scope, x, kernel, &bias, stride, Padding::Same);
    return g.clamp(scope + "/Relu6", y, 0.0f, 6.0f);
}

Port convRelu6(IrGraph& g, const Weights& w, const std::string& scope, const std::string& biasName, Port x,
               int stride) {
    const Tensor kernel = convKernelToOihw(tensor(w, scope + "/weights"));
    const Port y = g.conv(scope, x, kernel, &tensor(w, scope + "/" + biasName), stride, Padding::Same);
    return g.clamp(scope + "/Relu6", y, 0.0f, 6.0f);
}

struct Head {
    Port loc;   // [1, H*W*A*4]
    Port conf;  // [1, H*W*A*2]
};

// One box predictor. The original's per-anchor box order is (ty, tx, th, tw); Caffe's
// DetectionOutput wants (dx, dy, dw, dh), so the output channels are permuted. Of the
// three class logits, background and face are kept (the third class is dead).
Head boxPredictor(IrGraph& g, const Weights& w, int k, Port feature) {
    const std::string scope = "Prediction/BoxPredictor_" + std::to_string(k);
    const Tensor boxW = tensor(w, scope + "/BoxEncodingPredictor/weights");
    const Tensor& boxB = tensor(w, scope + "/BoxEncodingPredictor/biases");
    const Tensor classW = tensor(w, scope + "/ClassPredictor/weights");
    const Tensor& classB = tensor(w, scope + "/ClassPredictor/biases");
    const int64_t in = boxW.shape[2];
    const int64_t anchors = boxW.shape[3] / 4;
    if (classW.shape[3] != anchors * 3) throw std::runtime_error(scope + ": head sizes disagree");

    const int boxOrder[4] = {1, 0, 3, 2};
    Tensor locW({1, 1, in, anchors * 4}, 0.0f), locB({anchors * 4}, 0.0f);
    Tensor confW({1, 1, in, anchors * 2}, 0.0f), confB({anchors * 2}, 0.0f);
    for (int64_t a = 0; a < anchors; ++a) {
        for (int j = 0; j < 4; ++j) {
            const int64_t to = a * 4 + j, from = a * 4 + boxOrder[j];
            for (int64_t i = 0; i < in; ++i) locW.at({0, 0, i, to}) = boxW.at({0, 0, i, from});
            locB.values[to] = boxB.values[from];
        }
        for (int c = 0; c < 2; ++c) {
            const int64_t to = a * 2 + c, from = a * 3 + c;
            for (int64_t i = 0; i < in; ++i) confW.at({0, 0, i, to}) = classW.at({0, 0, i, from});
            confB.values[to] = classB.values[from];
        }
    }
    const Port loc = g.conv(scope + "/BoxEncodingPredictor", feature, convKernelToOihw(locW), &locB, 1, Padding::Same);
    const Port logits = g.conv(scope + "/ClassPredictor", feature, convKernelToOihw(confW), &confB, 1, Padding::Same);
    const Port conf = g.sigmoid(scope + "/ClassPredictor/Sigmoid", logits);

    return {g.flattenNhwc(scope + "/BoxEncodingPredictor", loc), g.flattenNhwc(scope + "/ClassPredictor", conf)};
}

struct AnchorSpec {
    float scale;
    float aspect;
};

// Layer 0 has three boxes per cell; the others six, the interpolated scale second.
std::vector<AnchorSpec> anchorSpecs(const std::vector<float>& scales, size_t layer) {
    if (layer == 0) return {{0.1f, 1.0f}, {0.2f, 2.0f}, {0.2f, 0.5f}};
    const float s = scales[layer], next = scales[layer + 1];
    return {{s, 1.0f}, {std::sqrt(s * next), 1.0f}, {s, 2.0f}, {s, 0.5f}, {s, 3.0f}, {s, 1.0f / 3.0f}};
}

struct Stretch {
    float x;
    float y;
};

// The multiple-grid anchors of the original, in the order layer, row, column, spec, as
// (xmin, ymin, xmax, ymax) normalised to the input; each keeps its size in pixels of the
// 512 x 512 training input. stretch scales them per axis afterwards (x, y).
std::vector<float> anchors(const std::vector<std::pair<int64_t, int64_t>>& grids, int width, int height,
                           Stretch stretch) {
    std::vector<float> scales;
    for (int k = 0; k < 6; ++k) scales.push_back(0.2f + 0.15f * k);
    scales.push_back(1.0f);
    std::vector<float> boxes;
    for (size_t layer = 0; layer < grids.size(); ++layer) {
        const std::vector<AnchorSpec> specs = anchorSpecs(scales, layer);
        const auto [gh, gw] = grids[layer];
        for (int64_t y = 0; y < gh; ++y)
            for (int64_t x = 0; x < gw; ++x)
                for (const AnchorSpec& spec : specs) {
                    const float cx = (x + 0.5f) / gw, cy = (y + 0.5f) / gh;
                    const float h = spec.scale / std::sqrt(spec.aspect) * 512.0f / height;
                    const float w = spec.scale * std::sqrt(spec.aspect) * 512.0f / width;
                    boxes.insert(boxes.end(), {(cx - w / 2) * stretch.x, (cy - h / 2) * stretch.y,
                                               (cx + w / 2) * stretch.x, (cy + h / 2) * stretch.y});
                }
    }
    return boxes;
}

constexpr int TRAINED_SIDE = 512;

// The frame padded at the bottom or the right to a square, black as the original pads it
// (-1 once normalised), then resized to the trained side.
Port letterbox(IrGraph& g, Port x, int width, int height) {
    const int side = std::max(width, height);
    if (side > height) {
        const Port pad = g.constant("Letterbox/pad_bottom", Tensor({1, 3, side - height, width}, -1.0f), false);
        x = g.concat("Letterbox/square_rows", {x, pad}, 2);
    }
    if (side > width) {
        const Port pad = g.constant("Letterbox/pad_right", Tensor({1, 3, side, side - width}, -1.0f), false);
        x = g.concat("Letterbox/square", {x, pad}, 3);
    }
    return g.resizeBilinear("Letterbox/resize", x, TRAINED_SIDE, TRAINED_SIDE);
}

}  // namespace

Port faceDetectorInput(IrGraph& g, const std::string& name, Port x) {
    const float mean[3] = {123.0f, 117.0f, 104.0f};
    std::vector<float> a(3, 1.0f / 127.5f), b(3);
    for (int c = 0; c < 3; ++c) b[c] = mean[c] / 127.5f - 1.0f;
    return g.affineInput(name, x, a, b);
}

IrGraph convertFaceDetector(const WeightsDir& dir, int width, int height, DetectorInput input) {
    const Weights w = readWeightsManifest(dir.faceApi("ssd_mobilenetv1_model-weights_manifest.json"));
    IrGraph g(width == 640 ? "detect_regular" : "detect_long");
    const Port image = g.parameter("image", {1, 3, height, width});
    Port x = faceDetectorInput(g, "Preprocessor", image);
    const bool letterboxed = input == DetectorInput::Letterbox512;
    if (letterboxed) x = letterbox(g, x, width, height);
    x = convRelu6(g, w, "MobilenetV1/Conv2d_0_pointwise", "convolution_bn_offset", x, 2);

    std::vector<Port> features;
    for (int i = 1; i <= 13; ++i) {
        const int stride = (i == 2 || i == 4 || i == 6 || i == 12) ? 2 : 1;
        x = depthwiseBn(g, w, i, x, stride);
        x = convRelu6(g, w, "MobilenetV1/Conv2d_" + std::to_string(i) + "_pointwise", "convolution_bn_offset", x, 1);
        if (i == 11 || i == 13) features.push_back(x);
    }
    for (int j = 0; j < 8; j += 2) {
        x = convRelu6(g, w, "Prediction/Conv2d_" + std::to_string(j) + "_pointwise", "convolution_bn_offset", x, 1);
        x = convRelu6(g, w, "Prediction/Conv2d_" + std::to_string(j + 1) + "_pointwise", "convolution_bn_offset", x, 2);
        features.push_back(x);
    }

    std::vector<Port> locs, confs;
    std::vector<std::pair<int64_t, int64_t>> grids;
    for (int k = 0; k < 6; ++k) {
        const Head head = boxPredictor(g, w, k, features[k]);
        locs.push_back(head.loc);
        confs.push_back(head.conf);
        grids.push_back({g.shape(features[k])[2], g.shape(features[k])[3]});
    }
    const Port loc = g.concat("concat_loc", locs, 1);
    const Port conf = g.concat("concat_conf", confs, 1);

    const int side = std::max(width, height);
    std::vector<float> priors = letterboxed
                                    ? anchors(grids, TRAINED_SIDE, TRAINED_SIDE,
                                              {static_cast<float>(side) / width, static_cast<float>(side) / height})
                                    : anchors(grids, width, height, {1.0f, 1.0f});
    const int64_t count = static_cast<int64_t>(priors.size()) / 4;
    for (int64_t i = 0; i < count; ++i) priors.insert(priors.end(), {0.1f, 0.1f, 0.2f, 0.2f});
    const Port prior = g.constant("priors", Tensor({1, 2, count * 4}, std::move(priors)), false);

    // The caller applies no NMS of its own, so this is the only one; its threshold stays
    // below every threshold the caller uses (at least 0.1).
    const Port out = g.detectionOutput("detection_out", loc, conf, prior, "CENTER_SIZE", 0.05f, 200);
    g.result(out);
    return g;
}

}  // namespace lm::models::real
