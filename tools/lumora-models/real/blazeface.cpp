// The back-camera BlazeFace detector of the human-models package, run on the frame as it
// comes and mapped onto DetectionOutput.
//
// The network is fully convolutional and its box regressors speak in input pixels, so on a
// frame larger than its 256 x 256 training input it finds faces of the same pixel sizes
// everywhere in the frame; its anchors are the cell centres of its two grids (stride 16,
// two boxes a cell; stride 32, six), regenerated for the frame's grids. Faces larger than
// it was trained on are found by a second pass at a lower scale, downsampled inside the
// network, whose boxes join the first pass's before the one non-maximum suppression.

#include <cmath>
#include <stdexcept>

#include "real/converters.h"
#include "real/tf_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {
namespace {

// Values per anchor in a regressor row: box centre offset and size, then six key points.
constexpr int REGRESSOR_VALUES = 16;

struct HeadNodes {
    std::string classifier;  // 1x1 conv with one logit per anchor
    std::string regressor;   // 1x1 conv with REGRESSOR_VALUES per anchor
};

const HeadNodes HEADS[] = {
    {"StatefulPartitionedCall/functional_1/conv2d_33/BiasAdd",
     "StatefulPartitionedCall/functional_1/conv2d_35/BiasAdd"},
    {"StatefulPartitionedCall/functional_1/conv2d_34/BiasAdd",
     "StatefulPartitionedCall/functional_1/conv2d_36/BiasAdd"},
};

struct Detections {
    Port loc;                    // [1, anchors * 4]: corner offsets from the anchor centre, in frame fractions
    Port conf;                   // [1, anchors * 2]: an ignored background column, then P(face)
    std::vector<float> centres;  // (cx, cy) per anchor, in frame fractions
};

// The classifier conv rebuilt with two outputs per anchor: a zero background logit and the
// face logit plus logitShift.
Port classifier(IrGraph& g, const GraphModel& model, const GraphNode& conv, Port feature, const std::string& name,
                float logitShift) {
    const Tensor& w = model.weight(conv.inputs.at(1));
    const Tensor& b = model.weight(conv.inputs.at(2));
    const int64_t in = w.shape[2], anchors = w.shape[3];
    Tensor kernel({1, 1, in, anchors * 2}, 0.0f), bias({anchors * 2}, 0.0f);
    for (int64_t a = 0; a < anchors; ++a) {
        for (int64_t i = 0; i < in; ++i) kernel.at({0, 0, i, a * 2 + 1}) = w.at({0, 0, i, a});
        bias.values[a * 2 + 1] = b.values[a] + logitShift;
    }
    return g.conv(name, feature, convKernelToOihw(kernel), &bias, 1, Padding::Valid);
}

// The regressor conv rebuilt to give the box corners directly: with (dx, dy, w, h) in
// network-input pixels, xmin = (dx - boxScale * w/2) * pixel, and so on; pixel is one input
// pixel as a fraction of the frame (per axis), larger than 1/width when this pass is
// downsampled.
Port regressor(IrGraph& g, const GraphModel& model, const GraphNode& conv, Port feature, const std::string& name,
               float pixelX, float pixelY, float boxScale) {
    const Tensor& w = model.weight(conv.inputs.at(1));
    const Tensor& b = model.weight(conv.inputs.at(2));
    const int64_t in = w.shape[2], anchors = w.shape[3] / REGRESSOR_VALUES;
    // corner k = centre[k % 2] + sign[k] * size[k % 2] / 2
    const float sign[4] = {-0.5f * boxScale, -0.5f * boxScale, 0.5f * boxScale, 0.5f * boxScale};
    const float pixel[2] = {pixelX, pixelY};
    Tensor kernel({1, 1, in, anchors * 4}, 0.0f), bias({anchors * 4}, 0.0f);
    for (int64_t a = 0; a < anchors; ++a)
        for (int k = 0; k < 4; ++k) {
            const int64_t to = a * 4 + k;
            const int64_t centre = a * REGRESSOR_VALUES + k % 2, size = centre + 2;
            const float p = pixel[k % 2];
            for (int64_t i = 0; i < in; ++i)
                kernel.at({0, 0, i, to}) = p * (w.at({0, 0, i, centre}) + sign[k] * w.at({0, 0, i, size}));
            bias.values[to] = p * (b.values[centre] + sign[k] * b.values[size]);
        }
    return g.conv(name, feature, convKernelToOihw(kernel), &bias, 1, Padding::Valid);
}

// One pass of the network over `input` (the frame, or the frame downsampled by `factor`).
Detections pass(IrGraph& g, const GraphModel& model, Port frame, const std::string& prefix, int factor, int width,
                int height, const BlazeFaceOptions& options) {
    Port x = faceDetectorInput(g, prefix + "input", frame);
    if (factor > 1) x = g.avgPool(prefix + "downsample", x, factor, factor, Padding::Valid);
    TfGraphTranslator translator(model, g, prefix);
    translator.bind("input", x);
    const float pixelX = static_cast<float>(factor) / width, pixelY = static_cast<float>(factor) / height;

    Detections d;
    std::vector<Port> locs, confs;
    for (size_t h = 0; h < std::size(HEADS); ++h) {
        const GraphNode& classNode = model.node(HEADS[h].classifier);
        const GraphNode& boxNode = model.node(HEADS[h].regressor);
        const Port feature = translator.build(classNode.inputs.at(0));
        if (boxNode.inputs.at(0) != classNode.inputs.at(0))
            throw std::runtime_error("BlazeFace heads " + std::to_string(h) + " read different features");
        const std::string head = prefix + "head_" + std::to_string(h);
        const Port logits = classifier(g, model, classNode, feature, head + "/classifier", options.logitShift);
        const Port corners =
            regressor(g, model, boxNode, feature, head + "/regressor", pixelX, pixelY, options.boxScale);
        confs.push_back(g.flattenNhwc(head + "/conf", g.sigmoid(head + "/classifier/sigmoid", logits)));
        locs.push_back(g.flattenNhwc(head + "/loc", corners));

        const Shape& grid = g.shape(feature);
        const int64_t gh = grid[2], gw = grid[3];
        const int64_t anchors = g.shape(logits)[1] / 2;
        // A cell centre in pass pixels, as a fraction of the frame.
        const float cellX = static_cast<float>(width / factor) / gw, cellY = static_cast<float>(height / factor) / gh;
        for (int64_t y = 0; y < gh; ++y)
            for (int64_t xCell = 0; xCell < gw; ++xCell)
                for (int64_t a = 0; a < anchors; ++a)
                    d.centres.insert(d.centres.end(), {(xCell + 0.5f) * cellX * pixelX, (y + 0.5f) * cellY * pixelY});
    }
    d.loc = g.concat(prefix + "loc", locs, 1);
    d.conf = g.concat(prefix + "conf", confs, 1);
    return d;
}

float logit(float p) { return std::log(p / (1.0f - p)); }

}  // namespace

BlazeFaceOptions shippedBlazeFace() {
    BlazeFaceOptions options;
    options.factors = {1, 2};
    options.logitShift = logit(0.8f) - logit(FACE_RAW_THRESHOLD_REGULAR);
    options.nmsThreshold = 0.2f;
    return options;
}

IrGraph convertBlazeFace(const WeightsDir& dir, int width, int height, const BlazeFaceOptions& options) {
    const GraphModel model = readGraphModel(dir.humanModels("blazeface-back.json"));
    IrGraph g(width == 640 ? "detect_regular" : "detect_long");
    const Port image = g.parameter("image", {1, 3, height, width});

    std::vector<Port> locs, confs;
    std::vector<float> centres;
    const std::vector<int>& factors = options.factors;
    for (const int factor : factors) {
        if (width % factor != 0 || height % factor != 0)
            throw std::invalid_argument("BlazeFace pass factor must divide the input size");
        const std::string prefix = factors.size() > 1 ? "x" + std::to_string(factor) + "/" : "";
        const Detections d = pass(g, model, image, prefix, factor, width, height, options);
        locs.push_back(d.loc);
        confs.push_back(d.conf);
        centres.insert(centres.end(), d.centres.begin(), d.centres.end());
    }
    const Port loc = locs.size() > 1 ? g.concat("loc", locs, 1) : locs[0];
    const Port conf = confs.size() > 1 ? g.concat("conf", confs, 1) : confs[0];

    // Point priors at the anchor centres, variance 1: DetectionOutput's CORNER code adds
    // the regressed corner offsets to them.
    std::vector<float> priors;
    for (size_t i = 0; i < centres.size(); i += 2)
        priors.insert(priors.end(), {centres[i], centres[i + 1], centres[i], centres[i + 1]});
    priors.insert(priors.end(), priors.size(), 1.0f);
    const int64_t count = static_cast<int64_t>(centres.size()) / 2;
    const Port prior = g.constant("priors", Tensor({1, 2, count * 4}, std::move(priors)), false);

    // As for the SSD: the caller applies no NMS of its own and thresholds at 0.1 or more.
    g.result(g.detectionOutput("detection_out", loc, conf, prior, "CORNER", 0.05f, 200, options.nmsThreshold));
    return g;
}

}  // namespace lm::models::real
