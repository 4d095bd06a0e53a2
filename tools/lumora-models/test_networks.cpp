#include "test_networks.h"

#include <filesystem>
#include <functional>
#include <map>
#include <stdexcept>

#include "face_estimator.h"
#include "ir_writer.h"
#include "util/crypt.h"
#include "util/filesystem.h"

namespace lm::models {
namespace {

// The means the stages subtract (red, green, blue), so that the networks can undo them.
const float FACE_MEAN[3] = {static_cast<float>(lm::FACE_CROP_MEAN[0]), static_cast<float>(lm::FACE_CROP_MEAN[1]),
                            static_cast<float>(lm::FACE_CROP_MEAN[2])};
constexpr float DETECT_MEAN_SUM = 123.f + 117.f + 104.f;

const Attributes NUMPY = {{"auto_broadcast", "numpy"}};

// Slots in units of 1/32 of the frame: x, y, width, height.
struct UnitSlot {
    int x, y, w, h;
};
const std::vector<UnitSlot> REGULAR_SLOTS = {{0, 0, 3, 4},   {4, 0, 6, 8},    {11, 0, 9, 12}, {21, 0, 3, 4},
                                             {25, 0, 6, 8},  {0, 16, 12, 16}, {13, 16, 3, 4}, {17, 16, 6, 8},
                                             {24, 16, 4, 8}, {24, 26, 6, 6}};
const std::vector<UnitSlot> LONG_SLOTS = {{2, 2, 3, 4},    {8, 2, 6, 8},   {16, 2, 9, 12},
                                          {4, 16, 12, 16}, {20, 18, 6, 8}, {28, 18, 3, 4}};
constexpr int BODY_COLUMNS = 8, BODY_ROWS = 4;  // slots of 80 x 120 at 640 x 480

Storage weightStorage(const NetworkOptions& o, Storage compressed) { return o.quantized ? compressed : Storage::F32; }

// Global mean of the crop: [1,3] holding mean red, green, blue minus the stage's mean.
Port colourMean(IrWriter& w, const Port& input) {
    Port axes = w.constantI64("model/pool/axes", {2, 3}, {2});
    return w.op("ReduceMean", "model/pool", {input, axes}, {{"keep_dims", "false"}}, {{1, 3}});
}

Port linear(IrWriter& w, const std::string& name, const Port& x, const std::vector<float>& weightsKN,
            const std::vector<float>& bias, int64_t n, const NetworkOptions& o) {
    const int64_t k = x.dims[1];
    Port weights = w.constant(name + "/weights", weightsKN, {k, n}, weightStorage(o, Storage::U8));
    Port product =
        w.op("MatMul", name + "/MatMul", {x, weights}, {{"transpose_a", "false"}, {"transpose_b", "false"}}, {{1, n}});
    Port b = w.constant(name + "/bias", bias, {1, n});
    return w.op("Add", name + "/Add", {product, b}, NUMPY, {{1, n}});
}

// Logits of a discretised Gaussian over bins 0..n-1 centred on
// centre = colour / 2 + shift, where colour is the crop's mean of one channel (0..255):
// logit_i = c·i·centre − c·i²/2 with c = 1/32, so the softmax's expected bin is the
// centre. The weights i/64 are exact in f16 and in u8.
Port gaussianHead(IrWriter& w, const std::string& name, const Port& mean, int channel, float shift, int64_t n,
                  const NetworkOptions& o) {
    std::vector<float> weights(3 * n, 0.f), bias(n);
    const double centreAtZero = FACE_MEAN[channel] / 2.0 + shift;  // centre where the blob value is 0
    for (int64_t i = 0; i < n; ++i) {
        weights[channel * n + i] = static_cast<float>(i / 64.0);
        bias[i] = static_cast<float>(i * centreAtZero / 32.0 - double(i) * i / 64.0);
    }
    return linear(w, name, mean, weights, bias, n, o);
}

// (colour − 128) / 16 of one channel, as a [1,1] logit.
Port colourLogit(IrWriter& w, const std::string& name, const Port& mean, int channel, const NetworkOptions& o) {
    std::vector<float> weights(3, 0.f);
    weights[channel] = 1.f / 16.f;
    return linear(w, name, mean, weights, {(FACE_MEAN[channel] - 128.f) / 16.f}, 1, o);
}

Port faceInput(IrWriter& w, int64_t side) { return w.parameter("data", {1, 3, side, side}); }

ModelPair finish(const IrWriter& w) { return {w.xml(), w.weights()}; }

ModelPair ageGender(const NetworkOptions& o) {
    IrWriter w("agegender");
    Port mean = colourMean(w, faceInput(w, 112));
    Port age = gaussianHead(w, "model/age", mean, 0, 0.f, 101, o);
    w.result(w.op("Softmax", "model/age/Softmax", {age}, {{"axis", "-1"}}, {{1, 101}}, "opset8"));
    Port gender = colourLogit(w, "model/gender", mean, 1, o);
    w.result(w.op("Sigmoid", "model/gender/Sigmoid", {gender}, {}, {{1, 1}}));
    return finish(w);
}

ModelPair headpose(const NetworkOptions& o) {
    IrWriter w("headpose");
    Port mean = colourMean(w, faceInput(w, 112));
    const char* heads[] = {"yaw", "pitch", "roll"};
    for (int c = 0; c < 3; ++c) {
        // 180 bins, bin i = i − 90 degrees; angle = (colour − 128) / 2.
        const std::string name = std::string("model/") + heads[c];
        Port logits = gaussianHead(w, name, mean, c, 90.f - 64.f, 180, o);
        w.result(w.op("SoftMax", name + "/Softmax", {logits}, {{"axis", "1"}}, {{1, 180}}));
    }
    return finish(w);
}

ModelPair smile(const NetworkOptions& o) {
    IrWriter w("smile");
    Port input = faceInput(w, 64);
    Port pooled = w.op("AvgPool", "model/pool", {input},
                       {{"kernel", "64,64"},
                        {"strides", "64,64"},
                        {"pads_begin", "0,0"},
                        {"pads_end", "0,0"},
                        {"exclude-pad", "true"},
                        {"rounding_type", "floor"},
                        {"auto_pad", "explicit"}},
                       {{1, 3, 1, 1}});
    Port weights =
        w.constant("model/smile/weights", {0.f, 0.f, 1.f / 16.f}, {1, 3, 1, 1}, weightStorage(o, Storage::F16));
    Port conv = w.op("Convolution", "model/smile/Conv2D", {pooled, weights},
                     {{"strides", "1,1"},
                      {"dilations", "1,1"},
                      {"pads_begin", "0,0"},
                      {"pads_end", "0,0"},
                      {"auto_pad", "explicit"}},
                     {{1, 1, 1, 1}});
    Port bias = w.constant("model/smile/bias", {(FACE_MEAN[2] - 128.f) / 16.f}, {1, 1, 1, 1});
    Port logit = w.op("Add", "model/smile/BiasAdd", {conv, bias}, NUMPY, {{1, 1, 1, 1}});
    w.result(w.op("Sigmoid", "model/smile/Sigmoid", {logit}, {}, {{1, 1, 1, 1}}));
    return finish(w);
}

ModelPair faceMask(const NetworkOptions& o) {
    IrWriter w("facemask");
    Port input = faceInput(w, 112);
    Port standard = w.op("ImageStandardization", "model/standardize", {input}, {}, {{1, 3, 112, 112}}, "extension");
    Port halves = w.op("AvgPool", "model/halves", {standard},
                       {{"kernel", "56,112"},
                        {"strides", "56,112"},
                        {"pads_begin", "0,0"},
                        {"pads_end", "0,0"},
                        {"exclude-pad", "true"},
                        {"rounding_type", "floor"}},
                       {{1, 3, 2, 1}});
    Port shape = w.constantI64("model/halves/shape", {1, 6}, {2});
    Port flat = w.op("Reshape", "model/halves/flat", {halves, shape}, {{"special_zero", "false"}}, {{1, 6}});
    // d = sum over channels of (lower half − upper half); logits (−d, 0, d).
    std::vector<float> weights(6 * 3, 0.f);
    for (int c = 0; c < 3; ++c) {
        const int upper = c * 2, lower = c * 2 + 1;
        weights[upper * 3 + 0] = 1.f;
        weights[lower * 3 + 0] = -1.f;
        weights[upper * 3 + 2] = -1.f;
        weights[lower * 3 + 2] = 1.f;
    }
    Port logits = linear(w, "model/mask", flat, weights, {0.f, 0.f, 0.f}, 3, o);
    w.result(w.op("SoftMax", "model/mask/Softmax", {logits}, {{"axis", "1"}}, {{1, 3}}));
    return finish(w);
}

ModelPair emotion(const NetworkOptions& o) {
    IrWriter w("emotion");
    Port mean = colourMean(w, faceInput(w, 112));
    // neutral 0, anger (red − 128)/16, disgust 0, fear 0, happiness (green − 128)/16,
    // sadness 0, surprise (blue − 128)/16.
    std::vector<float> weights(3 * 7, 0.f), bias(7, 0.f);
    const int classOf[3] = {1, 4, 6};
    for (int c = 0; c < 3; ++c) {
        weights[c * 7 + classOf[c]] = 1.f / 16.f;
        bias[classOf[c]] = (FACE_MEAN[c] - 128.f) / 16.f;
    }
    Port logits = linear(w, "model/emotion", mean, weights, bias, 7, o);
    w.result(w.op("SoftMax", "model/emotion/Softmax", {logits}, {{"axis", "1"}}, {{1, 7}}));
    return finish(w);
}

ModelPair bodyEncoder(const NetworkOptions& o) {
    if (o.encoderValues != 512 && o.encoderValues != 256)
        throw std::invalid_argument("the body encoder has 512 or 256 values");
    const int64_t channels = o.encoderValues / 64;
    IrWriter w("bodyencoder");
    Port input = w.parameter("data", {1, 3, 256, 128});
    const float mix[8][3] = {
        {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.5f, -0.5f, 0}, {0, 0.5f, -0.5f}, {-0.5f, 0, 0.5f}, {0.25f, 0.25f, 0.25f},
        {0, 0, 0}};
    std::vector<float> weights;
    for (int64_t k = 0; k < channels; ++k) weights.insert(weights.end(), mix[k], mix[k] + 3);
    Port kernel = w.constant("model/mix/weights", weights, {channels, 3, 1, 1}, weightStorage(o, Storage::F16));
    Port mixed = w.op("Convolution", "model/mix", {input, kernel},
                      {{"strides", "1,1"},
                       {"dilations", "1,1"},
                       {"pads_begin", "0,0"},
                       {"pads_end", "0,0"},
                       {"auto_pad", "explicit"}},
                      {{1, channels, 256, 128}});
    Port cells = w.op("AvgPool", "model/cells", {mixed},
                      {{"kernel", "32,16"},
                       {"strides", "32,16"},
                       {"pads_begin", "0,0"},
                       {"pads_end", "0,0"},
                       {"exclude-pad", "true"},
                       {"rounding_type", "floor"}},
                      {{1, channels, 8, 8}});
    Port shape = w.constantI64("model/embedding/shape", {1, -1}, {2});
    w.result(w.op("Reshape", "model/embedding", {cells, shape}, {{"special_zero", "true"}}, {{1, o.encoderValues}}));
    return finish(w);
}

// Brightness (R + G + B) / (3 · 255) of every pixel, undoing the detectors' mean.
Port brightness(IrWriter& w, const Port& input, const NetworkOptions& o) {
    Port weights = w.constant("model/grey/weights", std::vector<float>(3, 1.f / 765.f), {1, 3, 1, 1},
                              weightStorage(o, Storage::F16));
    Dims out = input.dims;
    out[1] = 1;
    Port conv = w.op("Convolution", "model/grey/Conv2D", {input, weights},
                     {{"strides", "1,1"},
                      {"dilations", "1,1"},
                      {"pads_begin", "0,0"},
                      {"pads_end", "0,0"},
                      {"auto_pad", "explicit"}},
                     {out});
    Port bias = w.constant("model/grey/bias", {DETECT_MEAN_SUM / 765.f}, {1, 1, 1, 1});
    return w.op("Add", "model/grey", {conv, bias}, NUMPY, {out});
}

Attributes detectionAttributes() {
    return {{"num_classes", "2"},
            {"background_label_id", "0"},
            {"top_k", "100"},
            {"keep_top_k", "100"},
            {"code_type", "caffe.PriorBoxParameter.CENTER_SIZE"},
            {"share_location", "true"},
            {"variance_encoded_in_target", "false"},
            {"nms_threshold", "0.45"},
            {"confidence_threshold", "0.01"},
            {"normalized", "true"},
            {"clip_after_nms", "false"},
            {"clip_before_nms", "false"},
            {"decrease_label_id", "false"},
            {"input_height", "1"},
            {"input_width", "1"},
            {"objectness_score", "0"}};
}

void detectionOutput(IrWriter& w, const Port& loc, const Port& conf, const Port& priors) {
    w.result(
        w.op("DetectionOutput", "model/detection_out", {loc, conf, priors}, detectionAttributes(), {{1, 1, 100, 7}}));
}

// Slot detector: the confidence of slot s is the mean brightness of its cells (cells are
// 1/32 of the frame each way), computed as a 0/1 cell mask (exact in u8) times 1/cells.
ModelPair slotDetector(const std::string& name, int64_t width, int64_t height, const std::vector<UnitSlot>& slots,
                       const NetworkOptions& o) {
    IrWriter w(name);
    Port input = w.parameter("data", {1, 3, height, width});
    Port grey = brightness(w, input, o);
    const std::string kernel = std::to_string(height / 32) + "," + std::to_string(width / 32);
    Port cells = w.op("AvgPool", "model/cells", {grey},
                      {{"kernel", kernel},
                       {"strides", kernel},
                       {"pads_begin", "0,0"},
                       {"pads_end", "0,0"},
                       {"exclude-pad", "true"},
                       {"rounding_type", "floor"}},
                      {{1, 1, 32, 32}});
    Port flatShape = w.constantI64("model/cells/shape", {1, 1024}, {2});
    Port flat = w.op("Reshape", "model/cells/flat", {cells, flatShape}, {{"special_zero", "false"}}, {{1, 1024}});

    const int64_t n = static_cast<int64_t>(slots.size());
    std::vector<float> mask(1024 * 2 * n, 0.f), inverseArea(2 * n, 0.f), loc(4 * n, 0.f), priors;
    for (int64_t s = 0; s < n; ++s) {
        const UnitSlot& slot = slots[s];
        for (int y = slot.y; y < slot.y + slot.h; ++y)
            for (int x = slot.x; x < slot.x + slot.w; ++x) mask[(y * 32 + x) * 2 * n + 2 * s + 1] = 1.f;
        inverseArea[2 * s + 1] = 1.f / static_cast<float>(slot.w * slot.h);
        for (int v : {slot.x, slot.y, slot.x + slot.w, slot.y + slot.h}) priors.push_back(v / 32.f);
    }
    for (int64_t i = 0; i < 4 * n; ++i) priors.push_back(i % 4 < 2 ? 0.1f : 0.2f);
    Port maskWeights = w.constant("model/conf/mask", mask, {1024, 2 * n}, weightStorage(o, Storage::U8));
    Port sums = w.op("MatMul", "model/conf/MatMul", {flat, maskWeights},
                     {{"transpose_a", "false"}, {"transpose_b", "false"}}, {{1, 2 * n}});
    Port scale = w.constant("model/conf/scale", inverseArea, {1, 2 * n});
    Port means = w.op("Multiply", "model/conf/mean", {sums, scale}, NUMPY, {{1, 2 * n}});
    Port conf = w.op("Clamp", "model/conf", {means}, {{"min", "0"}, {"max", "1"}}, {{1, 2 * n}});
    Port locPort = w.constant("model/loc", loc, {1, 4 * n});
    Port priorPort = w.constant("model/priors", priors, {1, 2, 4 * n});
    detectionOutput(w, locPort, conf, priorPort);
    return finish(w);
}

// Body detector: a grid of 8 × 4 slots from PriorBoxClustered; the confidence of a
// slot is the mean brightness of its cell.
ModelPair bodyDetector(const NetworkOptions& o) {
    IrWriter w("bodydetect");
    Port input = w.parameter("data", {1, 3, 480, 640});
    Port grey = brightness(w, input, o);
    const int64_t n = BODY_COLUMNS * BODY_ROWS;
    Port cells = w.op("AvgPool", "model/cells", {grey},
                      {{"kernel", "120,80"},
                       {"strides", "120,80"},
                       {"pads_begin", "0,0"},
                       {"pads_end", "0,0"},
                       {"exclude-pad", "true"},
                       {"rounding_type", "floor"}},
                      {{1, 1, BODY_ROWS, BODY_COLUMNS}});
    Port columnShape = w.constantI64("model/conf/column_shape", {1, n, 1}, {3});
    Port column = w.op("Reshape", "model/conf/column", {cells, columnShape}, {{"special_zero", "false"}}, {{1, n, 1}});
    Port background = w.constant("model/conf/background", std::vector<float>(n, 0.f), {1, n, 1});
    Port pairs = w.op("Concat", "model/conf/pairs", {background, column}, {{"axis", "2"}}, {{1, n, 2}});
    Port flatShape = w.constantI64("model/conf/shape", {1, 2 * n}, {2});
    Port conf = w.op("Reshape", "model/conf", {pairs, flatShape}, {{"special_zero", "false"}}, {{1, 2 * n}});

    Port outputSize = w.constantI64("model/priors/output_size", {BODY_ROWS, BODY_COLUMNS}, {2});
    Port imageSize = w.constantI64("model/priors/image_size", {480, 640}, {2});
    Port priors = w.op("PriorBoxClustered", "model/priors/PriorBoxClustered", {outputSize, imageSize},
                       {{"width", "80"},
                        {"height", "120"},
                        {"clip", "false"},
                        {"step_w", "80"},
                        {"step_h", "120"},
                        {"offset", "0.5"},
                        {"variance", "0.1,0.1,0.2,0.2"}},
                       {{2, 4 * n}});
    Port axis = w.constantI64("model/priors/axis", {0}, {1});
    Port priors3 = w.op("Unsqueeze", "model/priors", {priors, axis}, {}, {{1, 2, 4 * n}});
    Port loc = w.constant("model/loc", std::vector<float>(4 * n, 0.f), {1, 4 * n});
    detectionOutput(w, loc, conf, priors3);
    return finish(w);
}

using Builder = std::function<ModelPair(const NetworkOptions&)>;

const std::map<std::string, Builder>& builders() {
    static const std::map<std::string, Builder> table = {
        {"detect_regular",
         [](const NetworkOptions& o) { return slotDetector("detect_regular", 640, 480, REGULAR_SLOTS, o); }},
        {"detect_long", [](const NetworkOptions& o) { return slotDetector("detect_long", 1024, 768, LONG_SLOTS, o); }},
        {"agegender", ageGender},
        {"headpose", headpose},
        {"smile", smile},
        {"facemask", faceMask},
        {"emotion", emotion},
        {"bodydetect", bodyDetector},
        {"bodyencoder", bodyEncoder},
    };
    return table;
}

}  // namespace

const std::vector<std::string>& testNetworkBases() {
    static const std::vector<std::string> bases = {"detect_regular", "detect_long", "agegender",  "headpose",   "smile",
                                                   "facemask",       "emotion",     "bodydetect", "bodyencoder"};
    return bases;
}

std::vector<Slot> detectorSlots(const std::string& base) {
    std::vector<Slot> slots;
    if (base == "bodydetect") {
        for (int r = 0; r < BODY_ROWS; ++r)
            for (int c = 0; c < BODY_COLUMNS; ++c) slots.push_back({c / 8.f, r / 4.f, (c + 1) / 8.f, (r + 1) / 4.f});
        return slots;
    }
    const std::vector<UnitSlot>* units = base == "detect_regular" ? &REGULAR_SLOTS
                                         : base == "detect_long"  ? &LONG_SLOTS
                                                                  : nullptr;
    if (!units) throw std::invalid_argument("no detector named '" + base + "'");
    for (const UnitSlot& s : *units) slots.push_back({s.x / 32.f, s.y / 32.f, (s.x + s.w) / 32.f, (s.y + s.h) / 32.f});
    return slots;
}

ModelPair buildTestNetwork(const std::string& base, const NetworkOptions& options) {
    auto it = builders().find(base);
    if (it == builders().end()) throw std::invalid_argument("no test network named '" + base + "'");
    if (base != "bodyencoder" && options.encoderValues != 512)
        throw std::invalid_argument("only the body encoder has a length option");
    return it->second(options);
}

void writeTestNetwork(const std::string& directory, const std::string& base, const NetworkOptions& options,
                      bool encrypt) {
    const ModelPair pair = buildTestNetwork(base, options);
    const std::string stem = directory + "/" + base + (options.quantized ? "_quantized" : "");
    if (!encrypt) {
        fs::writeFile(stem + ".xml", pair.xml);
        fs::writeFile(stem + ".bin", pair.weights);
        return;
    }
    fs::writeFile(stem + ".xml.enc", crypt::encryptString(pair.xml, crypt::DEFAULT_KEY, crypt::DEFAULT_IV));
    fs::writeFile(stem + ".bin.enc", crypt::encryptString(pair.weights, crypt::DEFAULT_KEY, crypt::DEFAULT_IV));
}

void writeAllTestNetworks(const std::string& directory, bool encrypt) {
    std::filesystem::create_directories(directory);
    for (const std::string& base : testNetworkBases())
        for (bool quantized : {false, true}) writeTestNetwork(directory, base, {quantized, 512}, encrypt);
}

}  // namespace lm::models
