#include "real/body_encoder.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "real/tf_graph.h"
#include "real/tfjs.h"

namespace lm::models::real {

namespace {

constexpr int CROP_WIDTH = 128;
constexpr int CROP_HEIGHT = 256;
// The stage's blob is (RGB - mean) * scale; CenterNet wants raw RGB 0..255.
constexpr float CROP_SCALE = 0.01735207357279195f;
const std::vector<float> CROP_MEAN = {123.675f, 116.28f, 103.56f};

// The backbone's outputs pooled, with the stripes of each: 32 x 8 + 64 x 4 = 512 means.
// Chosen, with the whitening, by the ROC AUC of walkers never fitted on (README).
struct Tap {
    const char* node;
    int64_t stripes;
};
const Tap TAPS[] = {{"tower_0/MobilenetV3/expanded_conv_5/add", 8}, {"tower_0/MobilenetV3/expanded_conv_9/add", 4}};

// Each channel's mean over `stripes` equal horizontal bands of the map, as channels
// c * stripes + s of a [1, C * stripes, 1, 1] output, ready for per-channel scaling: a
// grouped convolution whose kernel spans the map (one output per band and channel).
Port stripeMeans(IrGraph& g, const std::string& name, Port map, int64_t stripes) {
    const Shape& in = g.shape(map);
    const int64_t channels = in[1], height = in[2], width = in[3];
    const int64_t band = height / stripes;
    Tensor kernel({channels, stripes, 1, height, width}, 0.0f);
    const float weight = 1.0f / static_cast<float>(band * width);
    for (int64_t c = 0; c < channels; ++c)
        for (int64_t s = 0; s < stripes; ++s)
            for (int64_t y = s * band; y < (s + 1) * band; ++y)
                for (int64_t x = 0; x < width; ++x) kernel.at({c, s, 0, y, x}) = weight;
    const Port weights = g.constant(name + "/weights", std::move(kernel), false);
    return g.op(
        "GroupConvolution", name, {map, weights},
        {{"dilations", "1,1"}, {"strides", "1,1"}, {"pads_begin", "0,0"}, {"pads_end", "0,0"}, {"auto_pad", "valid"}},
        {in[0], channels * stripes, 1, 1});
}

Port bodyFeatures(IrGraph& g, const WeightsDir& weights) {
    const GraphModel model = readGraphModel(weights.human("centernet.json"));
    const Port input = g.parameter("image", {1, 3, CROP_HEIGHT, CROP_WIDTH});
    std::vector<float> unscale(3, 1.0f / CROP_SCALE);
    const Port rgb = g.affineInput("images", input, unscale, CROP_MEAN);
    TfGraphTranslator translator(model, g);
    translator.bind("tower_0/images", rgb);
    std::vector<Port> parts;
    for (const Tap& tap : TAPS)
        parts.push_back(stripeMeans(g, std::string(tap.node) + "/stripes", translator.build(tap.node), tap.stripes));
    const Port features = g.concat(BODY_FEATURES, parts, 1);
    if (g.shape(features)[1] != BODY_FEATURE_COUNT) throw std::logic_error("the body features are not 512 values");
    return features;
}

void checkStatistics(const BodyFeatureStatistics& statistics) {
    if (statistics.mean.size() != BODY_FEATURE_COUNT || statistics.deviation.size() != BODY_FEATURE_COUNT ||
        statistics.projection.size() != BODY_FEATURE_COUNT * BODY_FEATURE_COUNT)
        throw std::invalid_argument("the body feature statistics hold " + std::to_string(statistics.mean.size()) +
                                    " means, " + std::to_string(statistics.deviation.size()) + " deviations and " +
                                    std::to_string(statistics.projection.size()) + " projection values, the features " +
                                    std::to_string(BODY_FEATURE_COUNT));
    for (const float d : statistics.deviation)
        if (!(d > 0.0f)) throw std::invalid_argument("a body feature deviation is not above zero");
    if (!(statistics.length > 0.0f)) throw std::invalid_argument("the body descriptor length is not above zero");
}

}  // namespace

IrGraph convertBodyFeatures(const WeightsDir& weights) {
    IrGraph g("bodyencoder");
    g.result(bodyFeatures(g, weights));
    return g;
}

IrGraph convertBodyEncoder(const WeightsDir& weights) {
    return convertBodyEncoder(weights, fittedBodyFeatureStatistics());
}

IrGraph convertBodyEncoder(const WeightsDir& weights, const BodyFeatureStatistics& statistics) {
    checkStatistics(statistics);
    IrGraph g("bodyencoder");
    // projection ((x - mean) / deviation) as one 1x1 convolution: kernel P / deviation,
    // bias -P (mean / deviation).
    constexpr int64_t n = BODY_FEATURE_COUNT;
    Tensor kernel({n, n, 1, 1}, 0.0f), bias({n}, 0.0f);
    for (int64_t o = 0; o < n; ++o)
        for (int64_t i = 0; i < n; ++i) {
            const float p = statistics.projection[o * n + i];
            kernel.values[o * n + i] = p / statistics.deviation[i];
            bias.values[o] -= p * statistics.mean[i] / statistics.deviation[i];
        }
    const Port whitened = g.conv("whitened", bodyFeatures(g, weights), kernel, &bias, 1, Padding::Valid);
    g.result(g.scaledToLength("descriptor", whitened, statistics.length));
    return g;
}

IrGraph buildColourGridEncoder() {
    // The stage's blob is (RGB - (123.675, 116.28, 103.56)) * 0.01735207 at 128 x 256.
    IrGraph g("bodyencoder");
    const Port input = g.parameter("image", {1, 3, 256, 128});
    const float scale = 0.01735207357279195f;
    const float mean[3] = {123.675f, 116.28f, 103.56f};

    // Opponent colours of the RGB values: (R-G)/sqrt2, (R+G-2B)/sqrt6, (R+G+B)/sqrt3.
    const float basis[3][3] = {{1.0f / std::sqrt(2.0f), -1.0f / std::sqrt(2.0f), 0.0f},
                               {1.0f / std::sqrt(6.0f), 1.0f / std::sqrt(6.0f), -2.0f / std::sqrt(6.0f)},
                               {1.0f / std::sqrt(3.0f), 1.0f / std::sqrt(3.0f), 1.0f / std::sqrt(3.0f)}};
    Tensor opponent({3, 3, 1, 1}, 0.0f), opponentBias({3}, 0.0f);
    for (int o = 0; o < 3; ++o)
        for (int c = 0; c < 3; ++c) {
            opponent.at({o, c, 0, 0}) = basis[o][c] / scale;
            opponentBias.values[o] += basis[o][c] * mean[c];
        }
    Tensor brightness({1, 3, 1, 1}, 0.0f), brightnessBias({1}, opponentBias.values[2]);
    for (int c = 0; c < 3; ++c) brightness.at({0, c, 0, 0}) = opponent.at({2, c, 0, 0});

    const Port colours = g.conv("opponent", input, opponent, &opponentBias, 1, Padding::Valid);
    const Port means = g.avgPool("cell_mean", colours, 16, 16, Padding::Valid);
    const Port light = g.conv("brightness", input, brightness, &brightnessBias, 1, Padding::Valid);
    const Port peaks = g.maxPool("cell_max", light, 16, 16, Padding::Valid);
    const Port cells = g.concat("cells", {means, peaks}, 1);  // [1,4,16,8]

    // Standardised per value type with statistics of body crops of a street scene.
    const float typeMean[4] = {3.204f, 5.537f, 148.937f, 214.280f};
    const float typeStd[4] = {17.417f, 20.386f, 107.703f, 119.596f};
    std::vector<float> a(4), b(4);
    for (int t = 0; t < 4; ++t) {
        a[t] = 1.0f / typeStd[t];
        b[t] = -typeMean[t] / typeStd[t];
    }
    const Port standard =
        g.addChannels("standard", g.mulChannels("standard/scale", cells, Tensor({4}, a), false), Tensor({4}, b), false);

    // Unit length times R = 35.616783 / sqrt 2, so that the body tracker's similarity,
    // 1 - distance / 35.616783, is 1 - sqrt(1 - cos).
    g.result(g.scaledToLength("descriptor", standard, 35.616783f / std::sqrt(2.0f)));
    return g;
}

}  // namespace lm::models::real
