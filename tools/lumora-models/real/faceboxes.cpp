// FaceBoxes of the human-models package (a TF.js graph: CReLU stem, three inception
// blocks, three heads at strides 32, 64 and 128), run on the frame as it comes and mapped
// onto DetectionOutput.
//
// The graph takes any image size: it pads the image at the bottom and right to multiples
// of 128 (black), generates its anchors from the grids it gets, decodes SSD-style (centre
// and size, variances 0.1 and 0.2) and suppresses at IoU 0.3. Here the convolutional part
// is translated node by node; the anchors are generated the same way for each pass's
// padded input, clipped to it as the graph clips them, and expressed in frame fractions,
// so DetectionOutput decodes the boxes straight into the frame. The stride-32 head
// densifies its small anchors: 4 x 4 boxes of 32 px and 2 x 2 of 64 px a cell, besides one
// of 128 px.

#include <algorithm>
#include <stdexcept>

#include "real/converters.h"
#include "real/detector_passes.h"
#include "real/tf_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {
namespace {

// The graph pads its input to multiples of this (its coarsest stride).
constexpr int64_t SIDE_MULTIPLE = 128;

// Anchors of one size: side in input pixels, density x density of them a cell, spread
// evenly over the side.
struct AnchorSpec {
    float side;
    int density;
};

struct Head {
    std::string classifier;  // 2 logits (background, face) per anchor
    std::string regressor;   // (ty, tx, th, tw) per anchor
    std::vector<AnchorSpec> anchors;
};

const std::vector<Head>& heads() {
    static const std::vector<Head> list = {
        {"prediction_layers/class_predictor_0/BiasAdd",
         "prediction_layers/box_encoding_predictor_0/BiasAdd",
         {{32, 4}, {64, 2}, {128, 1}}},
        {"prediction_layers/class_predictor_1/BiasAdd",
         "prediction_layers/box_encoding_predictor_1/BiasAdd",
         {{256, 1}}},
        {"prediction_layers/class_predictor_2/BiasAdd",
         "prediction_layers/box_encoding_predictor_2/BiasAdd",
         {{512, 1}}},
    };
    return list;
}

int64_t anchorsPerCell(const Head& head) {
    int64_t count = 0;
    for (const AnchorSpec& spec : head.anchors) count += spec.density * spec.density;
    return count;
}

// Two outputs per anchor from its logit pair: a zero that DetectionOutput ignores as
// background, and face minus background plus logitShift, whose sigmoid is the graph's
// softmax score when the shift is 0.
Port classifierReadout(IrGraph& g, Port logits, const std::string& name, float logitShift) {
    const int64_t channels = g.shape(logits)[1];
    Tensor kernel({channels, channels, 1, 1}, 0.0f), bias({channels}, 0.0f);
    for (int64_t a = 0; a * 2 < channels; ++a) {
        kernel.at({a * 2 + 1, a * 2 + 1, 0, 0}) = 1.0f;
        kernel.at({a * 2 + 1, a * 2, 0, 0}) = -1.0f;
        bias.values[a * 2 + 1] = logitShift;
    }
    return g.sigmoid(name + "/sigmoid", g.conv(name, logits, kernel, &bias, 1, Padding::Valid));
}

// The graph's (ty, tx, th, tw) as DetectionOutput's (dx, dy, dw, dh).
Port regressorReadout(IrGraph& g, Port regressors, const std::string& name) {
    const int64_t channels = g.shape(regressors)[1];
    const int64_t order[4] = {1, 0, 3, 2};
    Tensor kernel({channels, channels, 1, 1}, 0.0f);
    for (int64_t a = 0; a * 4 < channels; ++a)
        for (int k = 0; k < 4; ++k) kernel.at({a * 4 + k, a * 4 + order[k], 0, 0}) = 1.0f;
    return g.conv(name, regressors, kernel, nullptr, 1, Padding::Valid);
}

// Where a pass's padded input lies in the frame: its fractions times these are frame
// fractions (the pass spans the frame, the padding lies beyond it).
struct PassScale {
    float paddedWidth, paddedHeight;  // in pass pixels
    float toFrameX, toFrameY;
};

// The anchors of one head's grid as (xmin, ymin, xmax, ymax) in frame fractions, in the
// order the head lists them: row, column, spec, then density x density boxes with the
// horizontal offset the outer index. Computed in fractions of the padded input and clipped
// to it, as the graph does.
void appendAnchors(std::vector<float>& boxes, const Head& head, int64_t gridHeight, int64_t gridWidth,
                   const PassScale& scale) {
    const auto clip = [](float v) { return std::clamp(v, 0.0f, 1.0f); };
    for (int64_t y = 0; y < gridHeight; ++y)
        for (int64_t x = 0; x < gridWidth; ++x)
            for (const AnchorSpec& spec : head.anchors) {
                const float h = spec.side / scale.paddedHeight, w = spec.side / scale.paddedWidth;
                const int n = spec.density;
                for (int across = 0; across < n; ++across)
                    for (int down = 0; down < n; ++down) {
                        const float cx = (x + 0.5f) / gridWidth + w * ((2 * across + 1) / (2.0f * n) - 0.5f);
                        const float cy = (y + 0.5f) / gridHeight + h * ((2 * down + 1) / (2.0f * n) - 0.5f);
                        boxes.insert(boxes.end(),
                                     {clip(cx - w / 2) * scale.toFrameX, clip(cy - h / 2) * scale.toFrameY,
                                      clip(cx + w / 2) * scale.toFrameX, clip(cy + h / 2) * scale.toFrameY});
                    }
            }
}

struct Detections {
    Port loc;                    // [1, anchors * 4]
    Port conf;                   // [1, anchors * 2]
    std::vector<float> anchors;  // (xmin, ymin, xmax, ymax) per anchor, frame fractions
};

// One pass of the network over the frame downsampled by `factor`.
Detections pass(IrGraph& g, const GraphModel& model, Port frame, const std::string& prefix, float factor,
                const FaceBoxesOptions& options) {
    Port x = downsampled(g, prefix + "downsample", faceDetectorInput(g, prefix + "input", frame), factor);
    const Shape passSize = g.shape(x);
    // The graph pads the uint8 image with zeros before normalising it: -1 here.
    x = padToMultiple(g, prefix + "pad", x, SIDE_MULTIPLE, -1.0f);
    const Shape& padded = g.shape(x);
    const PassScale scale{static_cast<float>(padded[3]), static_cast<float>(padded[2]),
                          static_cast<float>(padded[3]) / passSize[3], static_cast<float>(padded[2]) / passSize[2]};
    TfGraphTranslator translator(model, g, prefix);
    translator.bind("standardize_input/sub", x);

    Detections d;
    std::vector<Port> locs, confs;
    for (size_t h = 0; h < heads().size(); ++h) {
        const Head& head = heads()[h];
        const Port logits = translator.build(head.classifier);
        const Port regressors = translator.build(head.regressor);
        const Shape& grid = g.shape(logits);
        const int64_t anchors = anchorsPerCell(head);
        if (grid[1] != anchors * 2 || g.shape(regressors)[1] != anchors * 4)
            throw std::runtime_error("FaceBoxes head " + std::to_string(h) + " does not have " +
                                     std::to_string(anchors) + " anchors a cell");
        const std::string name = prefix + "head_" + std::to_string(h);
        confs.push_back(
            g.flattenNhwc(name + "/conf", classifierReadout(g, logits, name + "/classifier", options.logitShift)));
        locs.push_back(g.flattenNhwc(name + "/loc", regressorReadout(g, regressors, name + "/regressor")));
        appendAnchors(d.anchors, head, grid[2], grid[3], scale);
    }
    d.loc = g.concat(prefix + "loc", locs, 1);
    d.conf = g.concat(prefix + "conf", confs, 1);
    return d;
}

}  // namespace

IrGraph convertFaceBoxes(const WeightsDir& dir, int width, int height, const FaceBoxesOptions& options) {
    const GraphModel model = readGraphModel(dir.humanModels("faceboxes.json"));
    IrGraph g(width == 640 ? "detect_regular" : "detect_long");
    const Port image = g.parameter("image", {1, 3, height, width});

    std::vector<Port> locs, confs;
    std::vector<float> priors;
    for (const float factor : options.factors) {
        const Detections d = pass(g, model, image, passPrefix(options.factors, factor), factor, options);
        locs.push_back(d.loc);
        confs.push_back(d.conf);
        priors.insert(priors.end(), d.anchors.begin(), d.anchors.end());
    }
    const Port loc = locs.size() > 1 ? g.concat("loc", locs, 1) : locs[0];
    const Port conf = confs.size() > 1 ? g.concat("conf", confs, 1) : confs[0];

    // The graph's variances: 0.1 for the centre, 0.2 for the logs of the sides.
    const int64_t count = static_cast<int64_t>(priors.size()) / 4;
    for (int64_t i = 0; i < count; ++i) priors.insert(priors.end(), {0.1f, 0.1f, 0.2f, 0.2f});
    const Port prior = g.constant("priors", Tensor({1, 2, count * 4}, std::move(priors)), false);

    // As for the other face detectors: the caller applies no NMS of its own and thresholds at 0.1 or more.
    g.result(g.detectionOutput("detection_out", loc, conf, prior, "CENTER_SIZE", 0.05f, 200, options.nmsThreshold));
    return g;
}

}  // namespace lm::models::real
