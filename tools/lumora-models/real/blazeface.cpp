// The BlazeFace detectors of the human-models package (back camera 256, full range 192),
// run on the frame as it comes and mapped onto DetectionOutput.
//
// The networks are fully convolutional and their box regressors speak in input pixels, so
// on a frame larger than their training input they find faces of the same pixel sizes
// everywhere in the frame. Their anchors are regenerated for the frame's grids: the back
// model's are the cell centres of its two grids (stride 16, two boxes a cell; stride 32,
// six), the full-range model's the centres of a stride-4 grid. Faces larger than a model
// was trained on are found by a further pass at a lower scale, downsampled inside the
// network, whose boxes join the first pass's before the one non-maximum suppression.

#include <cmath>
#include <stdexcept>

#include "real/converters.h"
#include "real/detector_passes.h"
#include "real/tf_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {
namespace {

// Values per anchor in a regressor row: box centre offset and size, then six key points.
constexpr int REGRESSOR_VALUES = 16;

struct HeadNodes {
    std::string classifier;  // the map with one logit per anchor
    std::string regressor;   // the map with REGRESSOR_VALUES per anchor
};

// One of the package's BlazeFace networks: where its heads lie and how their anchors sit
// in a cell.
struct Network {
    std::string file;
    std::vector<HeadNodes> heads;
    // 1: all anchors of a cell at its centre. 2: the network ends in a depth-to-space of
    // block 2, so anchor k of a cell is the centre of its sub-cell (row k / 2, column k % 2);
    // reading the map before that reordering gives the same boxes.
    int subCells = 1;
    // Its feature pyramid adds upsampled maps to finer ones: the input's sides must be
    // multiples of this.
    int64_t sideMultiple = 1;
};

const Network& networkOf(BlazeFaceModel model) {
    static const Network back{"blazeface-back.json",
                              {{"StatefulPartitionedCall/functional_1/conv2d_33/BiasAdd",
                                "StatefulPartitionedCall/functional_1/conv2d_35/BiasAdd"},
                               {"StatefulPartitionedCall/functional_1/conv2d_34/BiasAdd",
                                "StatefulPartitionedCall/functional_1/conv2d_36/BiasAdd"}},
                              1};
    static const Network fullRange{"facemesh-detection-full.json",
                                   {{"StatefulPartitionedCall/model/depthwise_conv2d_40/depthwise",
                                     "StatefulPartitionedCall/model/depthwise_conv2d_41/depthwise"}},
                                   2,
                                   32};
    return model == BlazeFaceModel::FullRange ? fullRange : back;
}

struct Detections {
    Port loc;                    // [1, anchors * 4]: corner offsets from the anchor centre, in frame fractions
    Port conf;                   // [1, anchors * 2]: an ignored background column, then P(face)
    std::vector<float> centres;  // (cx, cy) per anchor, in frame fractions
};

// Two outputs per anchor from its logit: a zero background logit and the face logit plus
// logitShift.
Port classifierReadout(IrGraph& g, Port logits, const std::string& name, float logitShift) {
    const int64_t anchors = g.shape(logits)[1];
    Tensor kernel({anchors * 2, anchors, 1, 1}, 0.0f), bias({anchors * 2}, 0.0f);
    for (int64_t a = 0; a < anchors; ++a) {
        kernel.at({a * 2 + 1, a, 0, 0}) = 1.0f;
        bias.values[a * 2 + 1] = logitShift;
    }
    return g.conv(name, logits, kernel, &bias, 1, Padding::Valid);
}

// The box corners from a regressor row: with (dx, dy, w, h) in network-input pixels,
// xmin = (dx - boxScale * w/2) * pixel, and so on; pixel is one input pixel as a fraction
// of the frame (per axis), larger than 1/width when the pass is downsampled.
Port regressorReadout(IrGraph& g, Port regressors, const std::string& name, float pixelX, float pixelY,
                      float boxScale) {
    const int64_t anchors = g.shape(regressors)[1] / REGRESSOR_VALUES;
    // corner k = centre[k % 2] + sign[k] * size[k % 2] / 2
    const float sign[4] = {-0.5f * boxScale, -0.5f * boxScale, 0.5f * boxScale, 0.5f * boxScale};
    const float pixel[2] = {pixelX, pixelY};
    Tensor kernel({anchors * 4, anchors * REGRESSOR_VALUES, 1, 1}, 0.0f);
    for (int64_t a = 0; a < anchors; ++a)
        for (int k = 0; k < 4; ++k) {
            const int64_t centre = a * REGRESSOR_VALUES + k % 2, size = centre + 2;
            kernel.at({a * 4 + k, centre, 0, 0}) = pixel[k % 2];
            kernel.at({a * 4 + k, size, 0, 0}) = pixel[k % 2] * sign[k];
        }
    return g.conv(name, regressors, kernel, nullptr, 1, Padding::Valid);
}

// The anchor centres of one head's map, in the order flattenNhwc lists them.
void appendCentres(std::vector<float>& centres, const Shape& map, int64_t anchors, int subCells, float cellX,
                   float cellY) {
    const int64_t gh = map[2], gw = map[3];
    for (int64_t y = 0; y < gh; ++y)
        for (int64_t x = 0; x < gw; ++x)
            for (int64_t a = 0; a < anchors; ++a) {
                const int64_t row = subCells == 1 ? 0 : a / subCells, column = subCells == 1 ? 0 : a % subCells;
                centres.insert(centres.end(),
                               {(x + (column + 0.5f) / subCells) * cellX, (y + (row + 0.5f) / subCells) * cellY});
            }
}

// One pass of the network over the frame downsampled by `factor`.
Detections pass(IrGraph& g, const GraphModel& model, const Network& network, Port frame, const std::string& prefix,
                float factor, const BlazeFaceOptions& options) {
    Port x = downsampled(g, prefix + "downsample", faceDetectorInput(g, prefix + "input", frame), factor);
    // One pass pixel as a fraction of the frame, per axis.
    const float pixelX = 1.0f / g.shape(x)[3], pixelY = 1.0f / g.shape(x)[2];
    x = padToMultiple(g, prefix + "pad", x, network.sideMultiple, 0.0f);
    const Shape& passSize = g.shape(x);
    TfGraphTranslator translator(model, g, prefix);
    translator.bind("input", x);

    Detections d;
    std::vector<Port> locs, confs;
    for (size_t h = 0; h < network.heads.size(); ++h) {
        const Port logits = translator.build(network.heads[h].classifier);
        const Port regressors = translator.build(network.heads[h].regressor);
        const Shape& grid = g.shape(logits);
        if (g.shape(regressors)[1] != grid[1] * REGRESSOR_VALUES || g.shape(regressors)[2] != grid[2])
            throw std::runtime_error("BlazeFace head " + std::to_string(h) + " has mismatched maps");
        const std::string head = prefix + "head_" + std::to_string(h);
        const Port scores = classifierReadout(g, logits, head + "/classifier", options.logitShift);
        const Port corners = regressorReadout(g, regressors, head + "/regressor", pixelX, pixelY, options.boxScale);
        confs.push_back(g.flattenNhwc(head + "/conf", g.sigmoid(head + "/classifier/sigmoid", scores)));
        locs.push_back(g.flattenNhwc(head + "/loc", corners));
        // A cell in pass pixels, as a fraction of the frame.
        const float cellX = static_cast<float>(passSize[3]) / grid[3] * pixelX;
        const float cellY = static_cast<float>(passSize[2]) / grid[2] * pixelY;
        appendCentres(d.centres, grid, grid[1], network.subCells, cellX, cellY);
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

BlazeFaceOptions shippedLongBlazeFace() {
    BlazeFaceOptions options = shippedBlazeFace();
    options.logitShift = LONG_FACE_LOGIT_SHIFT;
    return options;
}

IrGraph convertBlazeFace(const WeightsDir& dir, int width, int height, const BlazeFaceOptions& options) {
    const Network& network = networkOf(options.model);
    const GraphModel model = readGraphModel(dir.humanModels(network.file));
    IrGraph g(width == 640 ? "detect_regular" : "detect_long");
    const Port image = g.parameter("image", {1, 3, height, width});

    std::vector<Port> locs, confs;
    std::vector<float> centres;
    const std::vector<float>& factors = options.factors;
    for (const float factor : factors) {
        const Detections d = pass(g, model, network, image, passPrefix(factors, factor), factor, options);
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
