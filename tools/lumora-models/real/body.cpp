// The body detector: the human package's CenterNet person detector, its heat map and box
// sizes mapped onto DetectionOutput.

#include <stdexcept>

#include "real/converters.h"
#include "real/tf_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {
namespace {

constexpr int BODY_WIDTH = 640;
constexpr int BODY_HEIGHT = 480;

// The separable head of CenterNet ends in a 1x1 conv; this rebuilds that conv with
// other output channels. pick[k] = (source channel or -1 for zeros, gain, extra bias).
struct Channel {
    int source;
    float gain;
    float offset;
};

Port pointwise(IrGraph& g, const std::string& name, Port x, const Tensor& hwio, const Tensor& bias,
               const std::vector<Channel>& pick) {
    const int64_t in = hwio.shape[2];
    const int64_t out = static_cast<int64_t>(pick.size());
    Tensor w({1, 1, in, out}, 0.0f), b({out}, 0.0f);
    for (int64_t k = 0; k < out; ++k) {
        const Channel& c = pick[k];
        if (c.source >= 0) {
            for (int64_t i = 0; i < in; ++i) w.at({0, 0, i, k}) = c.gain * hwio.at({0, 0, i, c.source});
            b.values[k] = c.gain * bias.values[c.source];
        }
        b.values[k] += c.offset;
    }
    return g.conv(name, x, convKernelToOihw(w), &b, 1, Padding::Valid);
}

}  // namespace

BodyDetectorOptions shippedBodyDetector() {
    // 352 x 256 keeps the labelled walkers of vtest.avi that 640 x 480 finds, at a third of its
    // work. The people are smaller there, so their scores are lower: of the shifts that find
    // as many labelled walkers with no false box (1.4 to 1.8), 1.6 and above also take a blue
    // stand on the grass for a person over the whole video, so 1.5.
    BodyDetectorOptions options;
    options.innerWidth = 352;
    options.innerHeight = 256;
    options.fuseHardSwish = true;
    options.split5x5Depthwise = true;
    options.logitShift = 1.5f;
    return options;
}

IrGraph convertBodyDetector(const WeightsDir& dir, const BodyDetectorOptions& options) {
    if (options.innerWidth % 32 != 0 || options.innerHeight % 32 != 0)
        throw std::invalid_argument("CenterNet's inner size must be a multiple of 32 on both sides");
    const GraphModel model = readGraphModel(dir.human("centernet.json"));
    IrGraph g("bodydetect");
    Port input = g.parameter("image", {1, 3, BODY_HEIGHT, BODY_WIDTH});
    if (options.innerWidth != BODY_WIDTH || options.innerHeight != BODY_HEIGHT)
        input = g.resizeBilinear("image/inner", input, options.innerHeight, options.innerWidth, true);
    // The caller subtracts (123, 117, 104); CenterNet wants raw RGB 0..255.
    const Port rgb = g.affineInput("images", input, {1.0f, 1.0f, 1.0f}, {123.0f, 117.0f, 104.0f});

    TfGraphTranslator translator(model, g);
    translator.fuseHardSwish(options.fuseHardSwish);
    translator.split5x5Depthwise(options.split5x5Depthwise);
    translator.bind("tower_0/images", rgb);
    const Port clsFeatures = translator.build("tower_0/CenternetHead/centernet_cls_output/separable_conv2d/depthwise");
    const Port whFeatures = translator.build("tower_0/CenternetHead/centernet_wh_output/separable_conv2d/depthwise");
    const Shape grid = g.shape(clsFeatures);  // stride 4
    const int64_t gh = grid[2], gw = grid[3];

    // conf: a dummy background (ignored with background label 0) and the person class,
    // its logit shifted so that the caller's fixed 0.7 keeps the boxes a raw 0.45 keeps.
    const Port logits = pointwise(g, "CenternetHead/centernet_cls_output", clsFeatures,
                                  model.weight("CenternetHead/centernet_cls_output/pointwise_weights"),
                                  model.weight("CenternetHead/centernet_cls_output/biases"),
                                  {{-1, 0.0f, 0.0f}, {0, 1.0f, options.logitShift}});
    const Port conf = g.flattenNhwc("conf", g.sigmoid("keypoints", logits));

    // loc: the box edges are (4x - s0, 4y - s1, 4x + s2, 4y + s3) pixels with s = 16 wh, so
    // relative to a point prior at the cell they are the corner offsets wh * (-16/W, ...).
    const float whScale = model.weight("tower_0/mul/y").values.at(0);
    // Normalised by the inner size, the boxes are fractions of the frame at any inner size.
    const float sx = whScale / options.innerWidth, sy = whScale / options.innerHeight;
    const Port sizes = pointwise(g, "CenternetHead/centernet_wh_output", whFeatures,
                                 model.weight("CenternetHead/centernet_wh_output/pointwise_weights"),
                                 model.weight("CenternetHead/centernet_wh_output/biases"),
                                 {{0, -sx, 0.0f}, {1, -sy, 0.0f}, {2, sx, 0.0f}, {3, sy, 0.0f}});
    const Port loc = g.flattenNhwc("loc", sizes);

    std::vector<float> priors;
    for (int64_t y = 0; y < gh; ++y)
        for (int64_t x = 0; x < gw; ++x) {
            const float px = static_cast<float>(x) / gw, py = static_cast<float>(y) / gh;
            priors.insert(priors.end(), {px, py, px, py});
        }
    priors.insert(priors.end(), priors.size(), 1.0f);
    const Port prior = g.constant("priors", Tensor({1, 2, gh * gw * 4}, std::move(priors)), false);

    // NMS at IoU 0.5 takes the place of the original's 3x3 peak test.
    const Port out = g.detectionOutput("detection_out", loc, conf, prior, "CORNER", 0.3f, 100);
    g.result(out);
    return g;
}

}  // namespace lm::models::real
