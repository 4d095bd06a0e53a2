// The face attribute networks: face-api's TinyXception (age, gender), its expression and
// 68-landmark networks (which share one block structure), and the grey mini-Xception of
// the human package for the smile. Each input undoes the stage's mean (131.0912,
// 103.8827, 91.4953) and applies the network's own normalisation in one Scale.

#include <cmath>
#include <stdexcept>

#include "real/converters.h"
#include "real/tf_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {
namespace {

const float STAGE_MEAN[3] = {131.0912f, 103.8827f, 91.4953f};
const char* const AGE_GENDER_MANIFEST = "age_gender_model-weights_manifest.json";
const char* const LANDMARK_MANIFEST = "face_landmark_68_model-weights_manifest.json";

const Tensor& tensor(const Weights& w, const std::string& name) {
    const auto it = w.find(name);
    if (it == w.end()) throw std::runtime_error("weights have no " + name);
    return it->second;
}

// face-api's face networks want (RGB - (122.782, 117.001, 104.298)) / 255.
Port faceApiInput(IrGraph& g, Port x) {
    const float own[3] = {122.782f, 117.001f, 104.298f};
    std::vector<float> a(3, 1.0f / 255.0f), b(3);
    for (int c = 0; c < 3; ++c) b[c] = (STAGE_MEAN[c] - own[c]) / 255.0f;
    return g.affineInput("input_norm", x, a, b);
}

// Depthwise 3x3 without bias, then pointwise 1x1 with bias; all TF "SAME".
Port separable(IrGraph& g, const Weights& w, const std::string& scope, Port x, int stride = 1) {
    const Port d = g.depthwise(scope + "/depthwise", x, depthwiseKernelToGoihw(tensor(w, scope + "/depthwise_filter")),
                               nullptr, stride, Padding::Same);
    return g.conv(scope, d, convKernelToOihw(tensor(w, scope + "/pointwise_filter")), &tensor(w, scope + "/bias"), 1,
                  Padding::Same);
}

Port plainConv(IrGraph& g, const Weights& w, const std::string& scope, Port x, int stride) {
    return g.conv(scope, x, convKernelToOihw(tensor(w, scope + "/filters")), &tensor(w, scope + "/bias"), stride,
                  Padding::Same);
}

// ---- TinyXception (age and gender) ----

Port reductionBlock(IrGraph& g, const Weights& w, const std::string& scope, Port x, bool reluFirst) {
    Port y = reluFirst ? g.relu(scope + "/relu0", x) : x;
    y = separable(g, w, scope + "/separable_conv0", y);
    y = g.relu(scope + "/relu1", y);
    y = separable(g, w, scope + "/separable_conv1", y);
    y = g.maxPool(scope + "/pool", y, 3, 2, Padding::Same);
    const Port shortcut = plainConv(g, w, scope + "/expansion_conv", x, 2);
    return g.add(scope + "/add", y, shortcut);
}

Port mainBlock(IrGraph& g, const Weights& w, const std::string& scope, Port x) {
    Port y = x;
    for (int i = 0; i < 3; ++i) {
        y = g.relu(scope + "/relu" + std::to_string(i), y);
        y = separable(g, w, scope + "/separable_conv" + std::to_string(i), y);
    }
    return g.add(scope + "/add", y, x);
}

// The last block's map, [1,512,7,7] at 112 x 112.
Port tinyXceptionMap(IrGraph& g, const Weights& w, Port image) {
    Port x = faceApiInput(g, image);
    x = g.relu("entry_flow/conv_in/relu", plainConv(g, w, "entry_flow/conv_in", x, 2));
    x = reductionBlock(g, w, "entry_flow/reduction_block_0", x, false);
    x = reductionBlock(g, w, "entry_flow/reduction_block_1", x, true);
    x = mainBlock(g, w, "middle_flow/main_block_0", x);
    x = mainBlock(g, w, "middle_flow/main_block_1", x);
    x = reductionBlock(g, w, "exit_flow/reduction_block", x, true);
    return g.relu("exit_flow/separable_conv/relu", separable(g, w, "exit_flow/separable_conv", x));
}

// ---- the dense blocks of the expression and landmark networks ----

Port denseBlock(IrGraph& g, const Weights& w, const std::string& scope, Port x, bool firstIsConv) {
    const Port c0 = firstIsConv ? plainConv(g, w, scope + "/conv0", x, 2) : separable(g, w, scope + "/conv0", x, 2);
    const Port o1 = g.relu(scope + "/conv0/relu", c0);
    const Port o2 = separable(g, w, scope + "/conv1", o1);
    const Port s12 = g.add(scope + "/add12", o1, o2);
    const Port o3 = separable(g, w, scope + "/conv2", g.relu(scope + "/relu12", s12));
    const Port s123 = g.add(scope + "/add123", s12, o3);
    const Port o4 = separable(g, w, scope + "/conv3", g.relu(scope + "/relu123", s123));
    return g.relu(scope + "/out", g.add(scope + "/add1234", s123, o4));
}

Port denseFeatures(IrGraph& g, const Weights& w, Port x) {
    x = denseBlock(g, w, "dense0", x, true);
    for (int i = 1; i <= 3; ++i) x = denseBlock(g, w, "dense" + std::to_string(i), x, false);
    return g.globalMean("global_mean", x, false);  // [1,256]
}

// Head-pose read-outs from the 136 landmark values (x0, y0, ..., x67, y67), in degrees.
struct AngleFormula {
    std::vector<float> coefficients = std::vector<float>(136, 0.0f);
    float intercept = 0.0f;

    void x(int point, float c) { coefficients[2 * point] += c; }
    void y(int point, float c) { coefficients[2 * point + 1] += c; }
    void meanX(int first, int last, float c) {
        for (int p = first; p <= last; ++p) x(p, c / (last - first + 1));
    }
    void meanY(int first, int last, float c) {
        for (int p = first; p <= last; ++p) y(p, c / (last - first + 1));
    }
};

AngleFormula yawFormula() {
    AngleFormula f;
    f.x(30, -414.607f);
    f.meanX(31, 35, 213.870f);
    f.meanX(36, 47, 122.890f);
    f.x(48, 77.847f / 2);
    f.x(54, 77.847f / 2);
    return f;
}

AngleFormula pitchFormula() {
    AngleFormula f;
    f.y(30, -496.775f);
    f.meanY(31, 35, 354.792f);
    f.meanY(36, 47, 108.082f);
    f.y(48, 33.902f / 2);
    f.y(54, 33.902f / 2);
    f.intercept = -0.809f;
    return f;
}

AngleFormula rollFormula() {
    AngleFormula f;
    f.x(8, 90.260f);
    f.meanX(17, 26, -87.874f);
    f.meanX(36, 47, -2.386f);
    f.meanY(17, 21, 42.364f);
    f.meanY(22, 26, -42.364f);
    f.meanY(42, 47, 38.549f);
    f.meanY(36, 41, -38.549f);
    return f;
}

}  // namespace

// The logits of the Gaussian row, j*value/s^2 - j^2/(2 s^2), are affine in the features
// (the -value^2/(2 s^2) term is the same in every bin and cancels in the softmax).
Port gaussianRow(IrGraph& g, const std::string& name, Port features, const std::vector<float>& v, float v0, int bins,
                 int firstBin, float sigma) {
    const int64_t k = static_cast<int64_t>(v.size());
    const float s2 = sigma * sigma;
    Tensor weights({k, bins}, 0.0f), bias({bins}, 0.0f);
    for (int i = 0; i < bins; ++i) {
        const float j = static_cast<float>(firstBin + i);
        for (int64_t r = 0; r < k; ++r) weights.at({r, i}) = j * v[r] / s2;
        bias.values[i] = j * v0 / s2 - j * j / (2.0f * s2);
    }
    const Port logits = g.dense(name + "/logits", features, weights, bias);
    return g.softmax(name, logits, 1);
}

Port ageGenderFeatureMap(IrGraph& g, const WeightsDir& dir, Port image) {
    return tinyXceptionMap(g, readWeightsManifest(dir.faceApi(AGE_GENDER_MANIFEST)), image);
}

IrGraph convertAgeGender(const WeightsDir& dir) {
    const Weights w = readWeightsManifest(dir.faceApi(AGE_GENDER_MANIFEST));
    IrGraph g("agegender");
    const Port features = g.globalMean("global_mean", tinyXceptionMap(g, w, g.parameter("image", {1, 3, 112, 112})),
                                       false);  // [1,512]

    // Gender: softmax [male, female] over two logits equals the sigmoid of their difference.
    const Tensor& gw = tensor(w, "fc/gender/weights");
    const Tensor& gb = tensor(w, "fc/gender/bias");
    Tensor diffW({512, 1}, 0.0f), diffB({1}, gb.values[1] - gb.values[0]);
    for (int64_t i = 0; i < 512; ++i) diffW.values[i] = gw.at({i, 1}) - gw.at({i, 0});
    g.result(g.sigmoid("model/gender/Sigmoid", g.dense("model/gender/logit", features, diffW, diffB)));

    // Age: the regressed years become a Gaussian row, so the stage's expectation recovers them.
    const Tensor& aw = tensor(w, "fc/age/weights");
    g.result(gaussianRow(g, "model/age/Softmax", features, aw.values, tensor(w, "fc/age/bias").values[0], AGE_BINS, 0,
                         AGE_SIGMA));
    return g;
}

IrGraph convertEmotion(const WeightsDir& dir) {
    const Weights w = readWeightsManifest(dir.faceApi("face_expression_model-weights_manifest.json"));
    IrGraph g("emotion");
    const Port features = denseFeatures(g, w, faceApiInput(g, g.parameter("image", {1, 3, 112, 112})));
    // The network's classes are neutral, happy, sad, angry, fearful, disgusted, surprised.
    const int order[7] = {0, 3, 5, 4, 1, 2, 6};
    const Tensor& fw = tensor(w, "fc/weights");
    const Tensor& fb = tensor(w, "fc/bias");
    Tensor pw({256, 7}, 0.0f), pb({7}, 0.0f);
    for (int c = 0; c < 7; ++c) {
        for (int64_t i = 0; i < 256; ++i) pw.at({i, c}) = fw.at({i, order[c]});
        pb.values[c] = fb.values[order[c]];
    }
    g.result(g.softmax("model/emotion/Softmax", g.dense("model/emotion/logits", features, pw, pb), 1));
    return g;
}

IrGraph convertHeadpose(const WeightsDir& dir) {
    const Weights w = readWeightsManifest(dir.faceApi(LANDMARK_MANIFEST));
    IrGraph g("headpose");
    const Port features = denseFeatures(g, w, faceApiInput(g, g.parameter("image", {1, 3, 112, 112})));
    // The landmark fc is linear and so is each angle formula: fold them into one vector.
    const Tensor& fw = tensor(w, "fc/weights");  // [256,136]
    const Tensor& fb = tensor(w, "fc/bias");
    const std::pair<const char*, AngleFormula> heads[3] = {{"model/yaw/Softmax", yawFormula()},
                                                           {"model/pitch/Softmax", pitchFormula()},
                                                           {"model/roll/Softmax", rollFormula()}};
    for (const auto& [name, formula] : heads) {
        std::vector<float> v(256, 0.0f);
        float v0 = formula.intercept;
        for (int k = 0; k < 136; ++k) {
            const float c = formula.coefficients[k];
            for (int64_t r = 0; r < 256; ++r) v[r] += fw.at({r, k}) * c;
            v0 += fb.values[k] * c;
        }
        g.result(gaussianRow(g, name, features, v, v0, ANGLE_BINS, -ANGLE_BINS / 2, ANGLE_SIGMA));
    }
    return g;
}

LandmarkMaps landmarkFeatureMaps(IrGraph& g, const WeightsDir& dir, Port image) {
    const Weights w = readWeightsManifest(dir.faceApi(LANDMARK_MANIFEST));
    const Port first = denseBlock(g, w, "dense0", faceApiInput(g, image), true);
    const Port fine = denseBlock(g, w, "dense1", first, false);
    return {fine, denseBlock(g, w, "dense2", fine, false)};
}

IrGraph convertLandmarks(const WeightsDir& dir) {
    const Weights w = readWeightsManifest(dir.faceApi(LANDMARK_MANIFEST));
    IrGraph g("landmarks");
    const Port features = denseFeatures(g, w, faceApiInput(g, g.parameter("image", {1, 3, 112, 112})));
    g.result(g.dense("landmarks", features, tensor(w, "fc/weights"), tensor(w, "fc/bias")));
    return g;
}

IrGraph convertSmile(const WeightsDir& dir) {
    const GraphModel model = readGraphModel(dir.human("emotion.json"));
    IrGraph g("smile");
    const Port input = g.parameter("image", {1, 3, 64, 64});

    // The network takes grey = 0.2989 R + 0.5870 G + 0.1140 B of RGB / 255, as 2 grey - 1.
    // Its first conv is VALID, so this affine map folds into it exactly.
    const std::string scope = "StatefulPartitionedCall/model_1/";
    const Tensor& k1 = model.weight(scope + "conv2d_1/Conv2D_weights");  // [3,3,1,32]
    const Tensor& b1 = model.weight(scope + "conv2d_1/Conv2D_bn_offset");
    const float luma[3] = {0.2989f, 0.5870f, 0.1140f};
    float greyBias = -1.0f;
    for (int c = 0; c < 3; ++c) greyBias += 2.0f * luma[c] * STAGE_MEAN[c] / 255.0f;
    Tensor kernel({32, 3, 3, 3}, 0.0f), bias = b1;
    for (int64_t o = 0; o < 32; ++o)
        for (int64_t y = 0; y < 3; ++y)
            for (int64_t x = 0; x < 3; ++x) {
                const float k = k1.at({y, x, 0, o});
                for (int c = 0; c < 3; ++c) kernel.at({o, c, y, x}) = k * 2.0f * luma[c] / 255.0f;
                bias.values[o] += k * greyBias;
            }
    const Port conv1 = g.relu("conv2d_1/relu", g.conv("conv2d_1", input, kernel, &bias, 2, Padding::Valid));

    TfGraphTranslator translator(model, g);
    translator.bind(scope + "block1_conv1_act/Relu", conv1);
    const Port trunk = translator.build(scope + "add_2/add");

    // The classes are angry, disgust, fear, happy, sad, surprise, neutral; "happy" goes first.
    const Tensor& k5 = model.weight("unknown_43");  // [3,3,256,7]
    const Tensor& b5 = model.weight("unknown_44");
    const int order[7] = {3, 0, 1, 2, 4, 5, 6};
    Tensor head({3, 3, 256, 7}, 0.0f), headBias({7}, 0.0f);
    for (int c = 0; c < 7; ++c) {
        for (int64_t y = 0; y < 3; ++y)
            for (int64_t x = 0; x < 3; ++x)
                for (int64_t i = 0; i < 256; ++i) head.at({y, x, i, c}) = k5.at({y, x, i, order[c]});
        headBias.values[c] = b5.values[order[c]];
    }
    const Port logits = g.conv("conv2d_5", trunk, convKernelToOihw(head), &headBias, 1, Padding::Same);
    g.result(g.softmax("model/smile/Sigmoid", g.globalMean("global_mean", logits, false), 1));
    return g;
}

}  // namespace lm::models::real
