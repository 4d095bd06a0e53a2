// The IR reader: small networks written with the IR writer, run through the reader and
// compared with direct computations, and descriptions that must be refused.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include <opencv2/core/ocl.hpp>

#include "ir_writer.h"
#include "util/ir_reader.h"

namespace {

using lm::models::Attributes;
using lm::models::Dims;
using lm::models::IrWriter;
using lm::models::Port;
using lm::models::Storage;

cv::dnn::Net read(const IrWriter& w) {
    const std::string xml = w.xml();
    return lm::dnn::readNetFromIR(xml.data(), xml.size(), w.weights().data(), w.weights().size());
}

cv::Mat randomBlob(const std::vector<int>& shape, uint64_t seed = 7) {
    cv::Mat blob(static_cast<int>(shape.size()), shape.data(), CV_32F);
    cv::RNG rng(seed);
    rng.fill(blob, cv::RNG::UNIFORM, -2.0, 2.0);
    return blob;
}

cv::Mat run(const IrWriter& w, const cv::Mat& input, const std::string& output = "") {
    cv::dnn::Net net = read(w);
    net.setInput(input);
    return (output.empty() ? net.forward() : net.forward(output)).clone();
}

std::vector<float> values(const cv::Mat& m) { return std::vector<float>(m.ptr<float>(), m.ptr<float>() + m.total()); }

std::vector<int> shapeOf(const cv::Mat& m) { return std::vector<int>(m.size.p, m.size.p + m.dims); }

void expectClose(const cv::Mat& actual, const cv::Mat& expected, double tolerance = 1e-4) {
    ASSERT_EQ(shapeOf(actual), shapeOf(expected));
    const auto a = values(actual), e = values(expected);
    for (size_t i = 0; i < a.size(); ++i) {
        ASSERT_NEAR(a[i], e[i], tolerance * std::max(1.0, std::fabs(double(e[i])))) << "at " << i;
    }
}

std::vector<float> randomValues(size_t n, uint64_t seed) {
    std::vector<float> v(n);
    cv::RNG rng(seed);
    for (float& x : v) x = static_cast<float>(rng.uniform(-1.0, 1.0));
    return v;
}

float at(const cv::Mat& m, int n, int c, int h, int w) {
    const int idx[] = {n, c, h, w};
    return m.at<float>(idx);
}
float& at(cv::Mat& m, int n, int c, int h, int w) {
    const int idx[] = {n, c, h, w};
    return m.at<float>(idx);
}

// ---------------------------------------------------------------- convolution

struct ConvCase {
    const char* name;
    int inC, outC, groups, kh, kw, sh, sw, dh, dw;
    const char* autoPad;
    int padT, padL, padB, padR;  // explicit pads; the reference uses the resolved ones
    Storage storage;
};

// Reference: direct convolution over an explicitly zero-padded input.
cv::Mat referenceConv(const cv::Mat& x, const std::vector<float>& weights, const std::vector<float>& bias,
                      const ConvCase& c, int pt, int pl, int outH, int outW) {
    const int H = x.size[2], W = x.size[3];
    cv::Mat out(4, std::vector<int>{1, c.outC, outH, outW}.data(), CV_32F);
    const int inPerGroup = c.inC / c.groups, outPerGroup = c.outC / c.groups;
    for (int o = 0; o < c.outC; ++o)
        for (int oy = 0; oy < outH; ++oy)
            for (int ox = 0; ox < outW; ++ox) {
                double sum = bias.empty() ? 0 : bias[o];
                const int g = o / outPerGroup;
                for (int i = 0; i < inPerGroup; ++i)
                    for (int ky = 0; ky < c.kh; ++ky)
                        for (int kx = 0; kx < c.kw; ++kx) {
                            const int y = oy * c.sh + ky * c.dh - pt, xx = ox * c.sw + kx * c.dw - pl;
                            if (y < 0 || y >= H || xx < 0 || xx >= W) continue;
                            sum += weights[((o * inPerGroup + i) * c.kh + ky) * c.kw + kx] *
                                   at(x, 0, g * inPerGroup + i, y, xx);
                        }
                at(out, 0, o, oy, ox) = static_cast<float>(sum);
            }
    return out;
}

TEST(IrReaderConvolution, MatchesDirectComputationForEveryPaddingMode) {
    const ConvCase cases[] = {
        {"symmetric", 3, 4, 1, 3, 3, 1, 1, 1, 1, "explicit", 1, 1, 1, 1, Storage::F32},
        {"asymmetric", 3, 4, 1, 3, 3, 2, 2, 1, 1, "explicit", 0, 1, 2, 0, Storage::F32},
        {"same_upper stride 2", 3, 2, 1, 4, 4, 2, 2, 1, 1, "same_upper", 0, 0, 0, 0, Storage::F32},
        {"same_lower stride 2", 3, 2, 1, 4, 4, 2, 2, 1, 1, "same_lower", 0, 0, 0, 0, Storage::F32},
        {"valid", 3, 5, 1, 3, 2, 1, 2, 1, 1, "valid", 7, 7, 7, 7, Storage::F32},
        {"dilated", 2, 3, 1, 3, 3, 1, 1, 2, 2, "explicit", 2, 2, 2, 2, Storage::F32},
        {"depthwise f16", 4, 4, 4, 3, 3, 1, 1, 1, 1, "same_upper", 0, 0, 0, 0, Storage::F16},
        {"two groups u8", 4, 6, 2, 3, 3, 2, 1, 1, 1, "explicit", 1, 0, 1, 2, Storage::U8},
    };
    for (const ConvCase& c : cases) {
        SCOPED_TRACE(c.name);
        const int H = 9, W = 11;
        const cv::Mat input = randomBlob({1, c.inC, H, W});
        int pads[2][2] = {{c.padT, c.padB}, {c.padL, c.padR}};
        const int in[2] = {H, W}, k[2] = {c.kh, c.kw}, s[2] = {c.sh, c.sw}, d[2] = {c.dh, c.dw};
        int out[2];
        for (int a = 0; a < 2; ++a) {
            const std::string mode = c.autoPad;
            if (mode == "valid") pads[a][0] = pads[a][1] = 0;
            if (mode == "same_upper" || mode == "same_lower") {
                const int o = (in[a] + s[a] - 1) / s[a];
                const int total = std::max(0, (o - 1) * s[a] + (k[a] - 1) * d[a] + 1 - in[a]);
                pads[a][0] = mode == "same_upper" ? total / 2 : total - total / 2;
                pads[a][1] = total - pads[a][0];
            }
            out[a] = (in[a] + pads[a][0] + pads[a][1] - (k[a] - 1) * d[a] - 1) / s[a] + 1;
        }
        std::vector<float> weights = randomValues(size_t(c.outC) * (c.inC / c.groups) * c.kh * c.kw, 11);
        if (c.storage != Storage::F32)  // values the compressed forms hold exactly
            for (float& v : weights) v = std::round(v * 64) / 64;
        const std::vector<float> bias = randomValues(c.outC, 13);

        IrWriter w("conv");
        Port x = w.parameter("input", {1, c.inC, H, W});
        Dims wd = c.groups == 1 ? Dims{c.outC, c.inC, c.kh, c.kw}
                                : Dims{c.groups, c.outC / c.groups, c.inC / c.groups, c.kh, c.kw};
        Port wp = w.constant("weights", weights, wd, c.storage);
        const Dims outDims = {1, c.outC, out[0], out[1]};
        Port conv = w.op(c.groups == 1 ? "Convolution" : "GroupConvolution", "conv", {x, wp},
                         {{"strides", std::to_string(c.sh) + "," + std::to_string(c.sw)},
                          {"dilations", std::to_string(c.dh) + "," + std::to_string(c.dw)},
                          {"pads_begin", std::to_string(c.padT) + "," + std::to_string(c.padL)},
                          {"pads_end", std::to_string(c.padB) + "," + std::to_string(c.padR)},
                          {"auto_pad", c.autoPad}},
                         {outDims});
        Port b = w.constant("bias", bias, {1, c.outC, 1, 1});
        Port add = w.op("Add", "conv/add", {conv, b}, {{"auto_broadcast", "numpy"}}, {outDims});
        w.result(add);

        cv::dnn::Net net = read(w);
        EXPECT_EQ(net.getUnconnectedOutLayersNames(), std::vector<std::string>{"conv/add"});
        net.setInput(input);
        expectClose(net.forward(), referenceConv(input, weights, bias, c, pads[0][0], pads[1][0], out[0], out[1]));
    }
}

TEST(IrReaderConvolution, BiasOfALayerWithTwoConsumersStaysSeparate) {
    IrWriter w("shared");
    Port x = w.parameter("input", {1, 2, 4, 4});
    const std::vector<float> weights = randomValues(2 * 2, 3);
    Port conv =
        w.op("Convolution", "conv", {x, w.constant("w", weights, {2, 2, 1, 1})},
             {{"strides", "1,1"}, {"dilations", "1,1"}, {"pads_begin", "0,0"}, {"pads_end", "0,0"}}, {{1, 2, 4, 4}});
    Port add = w.op("Add", "biased", {conv, w.constant("b", {1.f, -1.f}, {1, 2, 1, 1})}, {}, {{1, 2, 4, 4}});
    Port sum = w.op("Add", "sum", {conv, add}, {}, {{1, 2, 4, 4}});
    w.result(sum);
    const cv::Mat input = randomBlob({1, 2, 4, 4});
    const cv::Mat out = run(w, input);
    ConvCase c{"", 2, 2, 1, 1, 1, 1, 1, 1, 1, "explicit", 0, 0, 0, 0, Storage::F32};
    cv::Mat plain = referenceConv(input, weights, {}, c, 0, 0, 4, 4);
    cv::Mat expected = plain.clone();
    for (int ch = 0; ch < 2; ++ch)
        for (int y = 0; y < 4; ++y)
            for (int xx = 0; xx < 4; ++xx) at(expected, 0, ch, y, xx) = 2 * at(plain, 0, ch, y, xx) + (ch ? -1.f : 1.f);
    expectClose(out, expected);
}

TEST(IrReaderConvolution, PerElementAddAfterAConvolutionIsNoBias) {
    IrWriter w("elementwise");
    Port x = w.parameter("input", {1, 2, 3, 3});
    const std::vector<float> weights = randomValues(2 * 2, 3), offsets = randomValues(2 * 3 * 3, 4);
    Port conv =
        w.op("Convolution", "conv", {x, w.constant("w", weights, {2, 2, 1, 1})},
             {{"strides", "1,1"}, {"dilations", "1,1"}, {"pads_begin", "0,0"}, {"pads_end", "0,0"}}, {{1, 2, 3, 3}});
    w.result(w.op("Add", "add", {conv, w.constant("offsets", offsets, {1, 2, 3, 3})}, {}, {{1, 2, 3, 3}}));
    const cv::Mat input = randomBlob({1, 2, 3, 3});
    ConvCase c{"", 2, 2, 1, 1, 1, 1, 1, 1, 1, "explicit", 0, 0, 0, 0, Storage::F32};
    cv::Mat expected = referenceConv(input, weights, {}, c, 0, 0, 3, 3);
    for (int i = 0; i < 18; ++i) expected.ptr<float>()[i] += offsets[i];
    expectClose(run(w, input), expected);
}

// ---------------------------------------------------------------- element-wise ops

struct UnaryCase {
    const char* type;
    Attributes attributes;
    std::function<float(float)> reference;
};

TEST(IrReaderActivations, MatchTheirFormulas) {
    const UnaryCase cases[] = {
        {"Relu", {}, [](float v) { return std::max(v, 0.f); }},
        {"Clamp", {{"min", "-0.5"}, {"max", "0.75"}}, [](float v) { return std::min(0.75f, std::max(-0.5f, v)); }},
        {"Sigmoid", {}, [](float v) { return 1.f / (1.f + std::exp(-v)); }},
        {"Tanh", {}, [](float v) { return std::tanh(v); }},
        {"HSwish", {}, [](float v) { return v * std::min(6.f, std::max(0.f, v + 3.f)) / 6.f; }},
        {"HSigmoid", {}, [](float v) { return std::min(6.f, std::max(0.f, v + 3.f)) / 6.f; }},
        {"Elu", {{"alpha", "0.5"}}, [](float v) { return v > 0 ? v : 0.5f * (std::exp(v) - 1.f); }},
        {"Mish", {}, [](float v) { return v * std::tanh(std::log1p(std::exp(v))); }},
        {"Swish", {}, [](float v) { return v / (1.f + std::exp(-v)); }},
    };
    const cv::Mat input = randomBlob({1, 3, 4, 5});
    for (const UnaryCase& c : cases) {
        SCOPED_TRACE(c.type);
        IrWriter w("unary");
        Port x = w.parameter("input", {1, 3, 4, 5});
        w.result(w.op(c.type, "act", {x}, c.attributes, {{1, 3, 4, 5}},
                      c.type == std::string("HSwish") ? "opset4" : "opset1"));
        cv::Mat expected = input.clone();
        for (float& v : cv::Mat_<float>(1, static_cast<int>(expected.total()), expected.ptr<float>()))
            v = c.reference(v);
        expectClose(run(w, input), expected);
    }
}

TEST(IrReaderActivations, PReluTakesOneSlopeOrOnePerChannel) {
    const cv::Mat input = randomBlob({1, 3, 2, 2});
    for (const std::vector<float>& slopes : {std::vector<float>{0.25f}, std::vector<float>{0.1f, 0.5f, -1.f}}) {
        IrWriter w("prelu");
        Port x = w.parameter("input", {1, 3, 2, 2});
        Port s = w.constant("slope", slopes, {static_cast<int64_t>(slopes.size())});
        w.result(w.op("PReLU", "prelu", {x, s}, {}, {{1, 3, 2, 2}}));
        cv::Mat expected = input.clone();
        for (int c = 0; c < 3; ++c)
            for (int i = 0; i < 4; ++i) {
                float& v = expected.ptr<float>()[c * 4 + i];
                if (v < 0) v *= slopes[slopes.size() == 1 ? 0 : c];
            }
        expectClose(run(w, input), expected);
    }
}

struct BinaryCase {
    const char* name;
    const char* type;
    Dims other;         // dims of the second operand
    bool otherIsConst;  // a constant (folded into Scale/Power) or a second input
};

TEST(IrReaderArithmetic, BroadcastsConstantsAndCombinesTensors) {
    const BinaryCase cases[] = {
        {"add per channel", "Add", {1, 3, 1, 1}, true},
        {"add per element", "Add", {1, 3, 4, 5}, true},
        {"multiply per channel", "Multiply", {1, 3, 1, 1}, true},
        {"subtract per channel, rank 3", "Subtract", {3, 1, 1}, true},
        {"divide by a scalar", "Divide", {}, true},
        {"add a scalar", "Add", {1}, true},
        {"multiply per column", "Multiply", {1, 1, 1, 5}, true},
        {"add two tensors", "Add", {1, 3, 4, 5}, false},
        {"multiply two tensors", "Multiply", {1, 3, 4, 5}, false},
        {"subtract two tensors", "Subtract", {1, 3, 4, 5}, false},
        {"multiply by a channel tensor", "Multiply", {1, 3, 1, 1}, false},
        {"add a channel tensor", "Add", {1, 3, 1, 1}, false},
    };
    // The smaller tensor may also come first.
    {
        IrWriter w("first");
        Port x = w.parameter("input", {1, 3, 4, 5});
        Port axes = w.constantI64("axes", {2, 3}, {2});
        Port pooled = w.op("ReduceMean", "pooled", {x, axes}, {{"keep_dims", "true"}}, {{1, 3, 1, 1}});
        w.result(w.op("Multiply", "op", {pooled, x}, {{"auto_broadcast", "numpy"}}, {{1, 3, 4, 5}}));
        const cv::Mat input = randomBlob({1, 3, 4, 5});
        cv::Mat expected = input.clone();
        for (int ch = 0; ch < 3; ++ch) {
            cv::Mat plane(4, 5, CV_32F, expected.ptr<float>(0, ch));
            plane *= cv::mean(cv::Mat(4, 5, CV_32F, const_cast<float*>(input.ptr<float>(0, ch))))[0];
        }
        expectClose(run(w, input), expected);
    }
    const Dims xd = {1, 3, 4, 5};
    const cv::Mat input = randomBlob({1, 3, 4, 5});
    for (const BinaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t count = 1;
        for (int64_t d : c.other) count *= d;
        std::vector<float> other = randomValues(static_cast<size_t>(count), 5);
        for (float& v : other) v += v >= 0 ? 0.5f : -0.5f;  // keep divisors away from 0
        IrWriter w("binary");
        Port x = w.parameter("input", xd);
        Port y;
        cv::dnn::Net net;
        if (c.otherIsConst) {
            y = w.constant("other", other, c.other);
        } else {
            // The second tensor is computed from the input, so that the net has one input.
            Port pooled = x;
            if (c.other != xd) {
                Port axes = w.constantI64("axes", {2, 3}, {2});
                pooled = w.op("ReduceMean", "pooled", {x, axes}, {{"keep_dims", "true"}}, {c.other});
            }
            y = w.op("Multiply", "scaled", {pooled, w.constant("two", {2.f}, {})}, {}, {c.other});
        }
        w.result(w.op(c.type, "op", {x, y}, {{"auto_broadcast", "numpy"}}, {xd}));

        cv::Mat second(4, std::vector<int>{1, 3, 4, 5}.data(), CV_32F);
        for (int ch = 0; ch < 3; ++ch)
            for (int h = 0; h < 4; ++h)
                for (int ww = 0; ww < 5; ++ww) {
                    float v;
                    if (c.otherIsConst) {
                        const Dims& o = c.other;
                        const size_t r = o.size();
                        auto pick = [&](size_t axisFromEnd, int index) {
                            return axisFromEnd < r && o[r - 1 - axisFromEnd] > 1 ? index : 0;
                        };
                        const int ci = pick(2, ch), hi = pick(1, h), wi = pick(0, ww);
                        const int hs = r >= 2 ? static_cast<int>(o[r - 2]) : 1,
                                  ws = r >= 1 ? static_cast<int>(o[r - 1]) : 1;
                        v = other[(ci * hs + hi) * ws + wi];
                    } else if (c.other == xd) {
                        v = 2 * at(input, 0, ch, h, ww);
                    } else {
                        cv::Mat plane(4, 5, CV_32F, const_cast<float*>(input.ptr<float>(0, ch)));
                        v = 2 * static_cast<float>(cv::mean(plane)[0]);
                    }
                    at(second, 0, ch, h, ww) = v;
                }
        cv::Mat expected = input.clone();
        const std::string type = c.type;
        for (size_t i = 0; i < expected.total(); ++i) {
            float& e = expected.ptr<float>()[i];
            const float s = second.ptr<float>()[i];
            e = type == "Add" ? e + s : type == "Subtract" ? e - s : type == "Multiply" ? e * s : e / s;
        }
        expectClose(run(w, input), expected);
    }
}

TEST(IrReaderConstants, CompressedWeightsFoldBackToTheirValues) {
    // Const f16 -> Convert; Const u8 / i8 -> Convert -> Subtract(zero point) -> Multiply(scale);
    // the result feeds a per-channel Multiply so that it reaches an output.
    const std::vector<float> expected = {0.5f, -1.25f, 3.f};
    struct Case {
        const char* name;
        std::function<Port(IrWriter&)> make;
    };
    const Case cases[] = {
        {"f32",
         [&](IrWriter& w) {
             return w.constant("c", expected, {1, 3, 1, 1});
         }},
        {"f16",
         [&](IrWriter& w) {
             return w.constant("c", expected, {1, 3, 1, 1}, Storage::F16);
         }},
        {"u8 writer",
         [&](IrWriter& w) {
             return w.constant("c", expected, {1, 3, 1, 1}, Storage::U8);
         }},
        {"i8 by hand",
         [&](IrWriter& w) {
             const int8_t q[] = {3, -4, 13};  // (q - 1) * 0.25
             Port raw = w.rawConstant("q", "i8", std::string(reinterpret_cast<const char*>(q), 3), {1, 3, 1, 1});
             Port f = w.op("Convert", "qf", {raw}, {{"destination_type", "f32"}}, {{1, 3, 1, 1}});
             Port zp = w.constant("zp", {1.f}, {1, 1, 1, 1});
             Port sub = w.op("Subtract", "qs", {f, zp}, {}, {{1, 3, 1, 1}});
             Port half = w.constant("half", {0.5f}, {});
             Port mul = w.op("Multiply", "qm", {sub, half}, {}, {{1, 3, 1, 1}});
             return w.op("Divide", "c", {mul, w.constant("two", {2.f}, {})}, {}, {{1, 3, 1, 1}});
         }},
        {"i64 to f32",
         [&](IrWriter& w) {
             Port raw = w.constantI64("i", {2, -5, 12}, {1, 3, 1, 1});
             Port f = w.op("Convert", "if", {raw}, {{"destination_type", "f32"}}, {{1, 3, 1, 1}});
             return w.op("Multiply", "c", {f, w.constant("quarter", {0.25f}, {})}, {}, {{1, 3, 1, 1}});
         }},
        {"u8 by hand",
         [&](IrWriter& w) {
             const uint8_t q[] = {130, 123, 140};  // (q - 128) / 4
             Port raw = w.rawConstant("q", "u8", std::string(reinterpret_cast<const char*>(q), 3), {1, 3, 1, 1});
             Port f = w.op("Convert", "qf", {raw}, {{"destination_type", "f32"}}, {{1, 3, 1, 1}});
             Port zp = w.op("Convert", "zpf", {w.rawConstant("zp", "u8", std::string(1, char(128)), {})},
                            {{"destination_type", "f32"}}, {{}});
             Port sub = w.op("Subtract", "qs", {f, zp}, {}, {{1, 3, 1, 1}});
             return w.op("Multiply", "c", {sub, w.constant("scale", {0.25f, 0.25f, 0.25f}, {1, 3, 1, 1}, Storage::F16)},
                         {}, {{1, 3, 1, 1}});
         }},
    };
    const cv::Mat input = randomBlob({1, 3, 2, 2});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IrWriter w("constants");
        Port x = w.parameter("input", {1, 3, 2, 2});
        w.result(w.op("Multiply", "out", {x, c.make(w)}, {}, {{1, 3, 2, 2}}));
        cv::Mat ref = input.clone();
        for (int i = 0; i < 12; ++i) ref.ptr<float>()[i] *= expected[i / 4];
        expectClose(run(w, input), ref, 1e-6);
    }
}

// ---------------------------------------------------------------- pooling and reductions

struct PoolCase {
    const char* name;
    const char* type;
    int kh, kw, sh, sw, pt, pl, pb, pr;
    const char* rounding;
    bool excludePad;
    const char* autoPad;
};

cv::Mat referencePool(const cv::Mat& x, const PoolCase& c, int outH, int outW, int pt, int pl, int pb, int pr) {
    const int C = x.size[1], H = x.size[2], W = x.size[3];
    const bool isMax = c.type == std::string("MaxPool");
    cv::Mat out(4, std::vector<int>{1, C, outH, outW}.data(), CV_32F);
    for (int ch = 0; ch < C; ++ch)
        for (int oy = 0; oy < outH; ++oy)
            for (int ox = 0; ox < outW; ++ox) {
                const int y0 = oy * c.sh - pt, x0 = ox * c.sw - pl;
                double sum = 0, best = -1e30;
                int inside = 0;
                for (int y = y0; y < y0 + c.kh; ++y)
                    for (int xx = x0; xx < x0 + c.kw; ++xx) {
                        if (y < 0 || y >= H || xx < 0 || xx >= W) continue;
                        sum += at(x, 0, ch, y, xx);
                        best = std::max(best, double(at(x, 0, ch, y, xx)));
                        ++inside;
                    }
                // With padding counted, the window's area is clipped to the padded input.
                const int yEnd = std::min(y0 + c.kh, H + pb), xEnd = std::min(x0 + c.kw, W + pr);
                const int area = (yEnd - std::max(y0, -pt)) * (xEnd - std::max(x0, -pl));
                at(out, 0, ch, oy, ox) = static_cast<float>(isMax ? best : sum / (c.excludePad ? inside : area));
            }
    return out;
}

TEST(IrReaderPooling, MatchesDirectComputationForRoundingAndPadding) {
    const PoolCase cases[] = {
        {"max floor", "MaxPool", 3, 3, 2, 2, 0, 0, 0, 0, "floor", false, "explicit"},
        {"max ceil", "MaxPool", 3, 3, 2, 2, 0, 0, 0, 0, "ceil", false, "explicit"},
        {"max padded asymmetric", "MaxPool", 2, 3, 2, 2, 1, 0, 0, 1, "floor", false, "explicit"},
        {"avg exclude pad", "AvgPool", 3, 3, 2, 2, 1, 1, 1, 1, "floor", true, "explicit"},
        {"avg include pad", "AvgPool", 3, 3, 2, 2, 1, 1, 1, 1, "floor", false, "explicit"},
        {"avg ceil exclude pad", "AvgPool", 2, 2, 2, 2, 0, 0, 0, 0, "ceil", true, "explicit"},
        {"avg same_upper", "AvgPool", 3, 3, 2, 2, 0, 0, 0, 0, "floor", true, "same_upper"},
        {"max same_lower", "MaxPool", 2, 2, 1, 1, 0, 0, 0, 0, "floor", false, "same_lower"},
    };
    const int H = 7, W = 9;
    const cv::Mat input = randomBlob({1, 2, H, W});
    for (const PoolCase& c : cases) {
        SCOPED_TRACE(c.name);
        int pads[2][2] = {{c.pt, c.pb}, {c.pl, c.pr}};
        const int in[2] = {H, W}, k[2] = {c.kh, c.kw}, s[2] = {c.sh, c.sw};
        int out[2];
        for (int a = 0; a < 2; ++a) {
            const std::string mode = c.autoPad;
            if (mode == "same_upper" || mode == "same_lower") {
                const int o = (in[a] + s[a] - 1) / s[a];
                const int total = std::max(0, (o - 1) * s[a] + k[a] - in[a]);
                pads[a][0] = mode == "same_upper" ? total / 2 : total - total / 2;
                pads[a][1] = total - pads[a][0];
            }
            const int span = in[a] + pads[a][0] + pads[a][1] - k[a];
            out[a] = (std::string(c.rounding) == "ceil" ? (span + s[a] - 1) / s[a] : span / s[a]) + 1;
        }
        IrWriter w("pool");
        Port x = w.parameter("input", {1, 2, H, W});
        Attributes attributes = {{"kernel", std::to_string(c.kh) + "," + std::to_string(c.kw)},
                                 {"strides", std::to_string(c.sh) + "," + std::to_string(c.sw)},
                                 {"pads_begin", std::to_string(c.pt) + "," + std::to_string(c.pl)},
                                 {"pads_end", std::to_string(c.pb) + "," + std::to_string(c.pr)},
                                 {"rounding_type", c.rounding},
                                 {"auto_pad", c.autoPad}};
        if (c.type == std::string("AvgPool")) attributes.push_back({"exclude-pad", c.excludePad ? "true" : "false"});
        w.result(w.op(c.type, "pool", {x}, attributes, {{1, 2, out[0], out[1]}}));
        expectClose(run(w, input),
                    referencePool(input, c, out[0], out[1], pads[0][0], pads[1][0], pads[0][1], pads[1][1]));
    }
}

TEST(IrReaderPooling, FloorRoundingIsNotOpenCVsDefaultCeilMode) {
    // 6 wide, kernel 3, stride 2: floor gives 2, OpenCV's default ceil mode would give 3;
    // the reader must hand OpenCV floor rounding or the declared dims do not match.
    IrWriter w("floor");
    Port x = w.parameter("input", {1, 1, 6, 6});
    w.result(w.op(
        "MaxPool", "pool", {x},
        {{"kernel", "3,3"}, {"strides", "2,2"}, {"pads_begin", "0,0"}, {"pads_end", "0,0"}, {"rounding_type", "floor"}},
        {{1, 1, 2, 2}}));
    const cv::Mat out = run(w, randomBlob({1, 1, 6, 6}));
    EXPECT_EQ(shapeOf(out), (std::vector<int>{1, 1, 2, 2}));
}

TEST(IrReaderPooling, ReduceOverTheSpatialAxes) {
    const cv::Mat input = randomBlob({1, 3, 4, 5});
    for (const char* type : {"ReduceMean", "ReduceMax"})
        for (bool keepDims : {true, false}) {
            SCOPED_TRACE(std::string(type) + (keepDims ? " keep" : ""));
            IrWriter w("reduce");
            Port x = w.parameter("input", {1, 3, 4, 5});
            Port axes = w.constantI64("axes", {-1, 2}, {2});
            const Dims out = keepDims ? Dims{1, 3, 1, 1} : Dims{1, 3};
            w.result(w.op(type, "reduce", {x, axes}, {{"keep_dims", keepDims ? "true" : "false"}}, {out}));
            std::vector<int> shape(out.begin(), out.end());
            cv::Mat expected(static_cast<int>(shape.size()), shape.data(), CV_32F);
            for (int c = 0; c < 3; ++c) {
                cv::Mat plane(4, 5, CV_32F, const_cast<float*>(input.ptr<float>(0, c)));
                double lo, hi;
                cv::minMaxLoc(plane, &lo, &hi);
                expected.ptr<float>()[c] =
                    static_cast<float>(type == std::string("ReduceMean") ? cv::mean(plane)[0] : hi);
            }
            cv::dnn::Net net = read(w);
            EXPECT_EQ(net.getUnconnectedOutLayersNames(), std::vector<std::string>{"reduce"});
            net.setInput(input);
            expectClose(net.forward(), expected);
        }
}

// ---------------------------------------------------------------- matrix and shape ops

TEST(IrReaderMatMul, MultipliesByConstantWeightsEitherLayout) {
    const cv::Mat input = randomBlob({1, 6});
    const std::vector<float> weights = randomValues(6 * 4, 9), bias = randomValues(4, 10);
    for (bool transposeB : {false, true}) {
        SCOPED_TRACE(transposeB ? "transpose_b" : "plain");
        IrWriter w("matmul");
        Port x = w.parameter("input", {1, 6});
        // weights[k][n] as [K,N], or the same matrix stored as [N,K].
        std::vector<float> stored(24);
        for (int k = 0; k < 6; ++k)
            for (int n = 0; n < 4; ++n) stored[transposeB ? n * 6 + k : k * 4 + n] = weights[k * 4 + n];
        Port b = w.constant("w", stored, transposeB ? Dims{4, 6} : Dims{6, 4}, Storage::F16);
        Port mm = w.op("MatMul", "mm", {x, b},
                       {{"transpose_a", "false"}, {"transpose_b", transposeB ? "true" : "false"}}, {{1, 4}});
        w.result(w.op("Add", "mm/add", {mm, w.constant("b", bias, {1, 4})}, {}, {{1, 4}}));
        cv::Mat expected(1, 4, CV_32F);
        for (int n = 0; n < 4; ++n) {
            double sum = bias[n];
            for (int k = 0; k < 6; ++k)
                sum += input.at<float>(0, k) * static_cast<float>(cv::float16_t(weights[k * 4 + n]));
            expected.at<float>(0, n) = static_cast<float>(sum);
        }
        expectClose(run(w, input), expected);
    }
}

TEST(IrReaderShapes, ReshapeSqueezeUnsqueezeTransposeAndConcat) {
    const cv::Mat input = randomBlob({1, 2, 3, 4});
    IrWriter w("shapes");
    Port x = w.parameter("input", {1, 2, 3, 4});
    Port r =
        w.op("Reshape", "r", {x, w.constantI64("r/shape", {0, -1, 4}, {3})}, {{"special_zero", "true"}}, {{1, 6, 4}});
    Port u = w.op("Unsqueeze", "u", {r, w.constantI64("u/axes", {-1}, {1})}, {}, {{1, 6, 4, 1}});
    Port s = w.op("Squeeze", "s", {u, w.constantI64("s/axes", {3}, {1})}, {}, {{1, 6, 4}});
    Port t = w.op("Transpose", "t", {s, w.constantI64("t/order", {0, 2, 1}, {3})}, {}, {{1, 4, 6}});
    Port k = w.constant("k", std::vector<float>(4 * 2, 9.f), {1, 4, 2});
    Port c = w.op("Concat", "c", {t, k}, {{"axis", "-1"}}, {{1, 4, 8}});
    w.result(c);
    cv::Mat out = run(w, input);
    ASSERT_EQ(shapeOf(out), (std::vector<int>{1, 4, 8}));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) {
            const int idx[] = {0, i, j};
            // t[0][i][j] = r[0][j][i] = input flat [j * 4 + i]
            const float expected = j < 6 ? input.ptr<float>()[j * 4 + i] : 9.f;
            EXPECT_FLOAT_EQ(out.at<float>(idx), expected) << i << "," << j;
        }
}

TEST(IrReaderShapes, SoftMaxOverAPositiveOrNegativeAxis) {
    const cv::Mat input = randomBlob({1, 5});
    cv::Mat expected = input.clone();
    double total = 0;
    for (int i = 0; i < 5; ++i) total += std::exp(input.at<float>(0, i));
    for (int i = 0; i < 5; ++i) expected.at<float>(0, i) = static_cast<float>(std::exp(input.at<float>(0, i)) / total);
    for (const auto& [type, axis, version] :
         {std::tuple{"SoftMax", "1", "opset1"}, std::tuple{"Softmax", "-1", "opset8"}}) {
        IrWriter w("softmax");
        Port x = w.parameter("input", {1, 5});
        w.result(w.op(type, "model/out/Softmax", {x}, {{"axis", axis}}, {{1, 5}}, version));
        expectClose(run(w, input, "model/out/Softmax"), expected);
    }
}

// Reference bilinear resize; the source coordinate of an output pixel by the IR's
// coordinate_transformation_mode, edges clamped.
cv::Mat referenceResize(const cv::Mat& x, int outH, int outW, const std::string& mode) {
    const int C = x.size[1], H = x.size[2], W = x.size[3];
    auto source = [&](int o, int in, int out) {
        if (mode == "align_corners") return out > 1 ? o * double(in - 1) / (out - 1) : 0.0;
        if (mode == "asymmetric") return o * double(in) / out;
        return std::max(0.0, (o + 0.5) * in / out - 0.5);
    };
    cv::Mat result(4, std::vector<int>{1, C, outH, outW}.data(), CV_32F);
    for (int c = 0; c < C; ++c)
        for (int oy = 0; oy < outH; ++oy)
            for (int ox = 0; ox < outW; ++ox) {
                const double fy = source(oy, H, outH), fx = source(ox, W, outW);
                const int y0 = std::min(static_cast<int>(fy), H - 1), x0 = std::min(static_cast<int>(fx), W - 1);
                const int y1 = std::min(y0 + 1, H - 1), x1 = std::min(x0 + 1, W - 1);
                const double dy = fy - y0, dx = fx - x0;
                const double v = (1 - dy) * ((1 - dx) * at(x, 0, c, y0, x0) + dx * at(x, 0, c, y0, x1)) +
                                 dy * ((1 - dx) * at(x, 0, c, y1, x0) + dx * at(x, 0, c, y1, x1));
                at(result, 0, c, oy, ox) = static_cast<float>(v);
            }
    return result;
}

TEST(IrReaderShapes, InterpolateResizesBilinearly) {
    const cv::Mat input = randomBlob({1, 2, 4, 6});
    for (const char* mode : {"half_pixel", "align_corners", "asymmetric"})
        for (const auto& [outH, outW] : {std::pair{8, 12}, std::pair{3, 4}}) {
            SCOPED_TRACE(std::string(mode) + " " + std::to_string(outH));
            IrWriter w("resize");
            Port x = w.parameter("input", {1, 2, 4, 6});
            Port sizes = w.constantI64("sizes", {outH, outW}, {2});
            Port scales = w.constant("scales", {float(outH) / 4, float(outW) / 6}, {2});
            Port axes = w.constantI64("axes", {2, 3}, {2});
            w.result(w.op("Interpolate", "resize", {x, sizes, scales, axes},
                          {{"mode", "linear"},
                           {"shape_calculation_mode", "sizes"},
                           {"coordinate_transformation_mode", mode},
                           {"nearest_mode", "round_prefer_floor"},
                           {"antialias", "false"},
                           {"pads_begin", "0,0,0,0"},
                           {"pads_end", "0,0,0,0"},
                           {"cube_coeff", "-0.75"}},
                          {{1, 2, outH, outW}}, "opset4"));
            expectClose(run(w, input), referenceResize(input, outH, outW, mode), 1e-4);
        }
}

// ---------------------------------------------------------------- detection

TEST(IrReaderPriors, PriorBoxClusteredAndPriorBoxBecomeConstants) {
    // A 2 x 2 feature map over a 100 x 100 image: step 50, centres at 25 and 75.
    IrWriter w("priors");
    Port x = w.parameter("input", {1, 1, 2, 2});
    Port fmap = w.constantI64("fmap", {2, 2}, {2});
    Port image = w.constantI64("image", {100, 100}, {2});
    Port clustered = w.op("PriorBoxClustered", "clustered", {fmap, image},
                          {{"width", "20"},
                           {"height", "40"},
                           {"clip", "false"},
                           {"step_w", "0"},
                           {"step_h", "0"},
                           {"offset", "0.5"},
                           {"variance", "0.1,0.1,0.2,0.2"}},
                          {{2, 16}});
    Port box = w.op("PriorBox", "box", {fmap, image},
                    {{"min_size", "30"},
                     {"max_size", "60"},
                     {"aspect_ratio", "2"},
                     {"flip", "true"},
                     {"clip", "true"},
                     {"step", "0"},
                     {"offset", "0.5"},
                     {"variance", "0.1"},
                     {"scale_all_sizes", "true"}},
                    {{2, 64}});
    // Both reach an output through a Concat with the (reshaped) input.
    Port flat = w.op("Reshape", "flat", {x, w.constantI64("flat/shape", {1, 1, 4}, {3})}, {}, {{1, 1, 4}});
    Port c3 = w.op("Unsqueeze", "c3", {clustered, w.constantI64("c3/axes", {0}, {1})}, {}, {{1, 2, 16}});
    Port b3 = w.op("Unsqueeze", "b3", {box, w.constantI64("b3/axes", {0}, {1})}, {}, {{1, 2, 64}});
    Port firstRows = w.op("Reshape", "rows", {c3, w.constantI64("rows/shape", {1, 8, 4}, {3})}, {}, {{1, 8, 4}});
    Port boxRows = w.op("Reshape", "brows", {b3, w.constantI64("brows/shape", {1, 32, 4}, {3})}, {}, {{1, 32, 4}});
    w.result(w.op("Concat", "out", {flat, firstRows, boxRows}, {{"axis", "1"}}, {{1, 41, 4}}));
    cv::Mat out = run(w, cv::Mat::zeros(4, std::vector<int>{1, 1, 2, 2}.data(), CV_32F));
    auto row = [&](int r) {
        return std::vector<float>(out.ptr<float>() + (r + 1) * 4, out.ptr<float>() + (r + 2) * 4);
    };
    // Clustered: cell (0,0) centre (25,25), box 20 x 40.
    EXPECT_EQ(row(0), (std::vector<float>{0.15f, 0.05f, 0.35f, 0.45f}));
    EXPECT_EQ(row(3), (std::vector<float>{0.65f, 0.55f, 0.85f, 0.95f}));
    EXPECT_EQ(row(4), (std::vector<float>{0.1f, 0.1f, 0.2f, 0.2f}));  // variances
    // PriorBox at cell (0,0): min 30, sqrt(30*60), ratio 2, ratio 1/2; clipped to [0,1].
    const double side = std::sqrt(30.0 * 60.0) / 2, w2 = 30 * std::sqrt(2.0) / 2, h2 = 30 / std::sqrt(2.0) / 2;
    const std::vector<std::vector<double>> boxes = {{10, 10, 40, 40},
                                                    {25 - side, 25 - side, 25 + side, 25 + side},
                                                    {25 - w2, 25 - h2, 25 + w2, 25 + h2},
                                                    {25 - h2, 25 - w2, 25 + h2, 25 + w2}};
    for (int b = 0; b < 4; ++b)
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(row(8 + b)[i], std::min(1.0, std::max(0.0, boxes[b][i] / 100)), 1e-6) << b << "," << i;
    EXPECT_EQ(row(8 + 16), (std::vector<float>{0.1f, 0.1f, 0.1f, 0.1f}));
}

TEST(IrReaderPriors, SizesComeFromShapeOfAndStridedSliceChains) {
    // The usual IR form: the feature map's and the image's spatial sizes sliced out of
    // their shapes.
    IrWriter w("chain");
    Port image = w.parameter("image", {1, 3, 100, 100});
    Port axes = w.constantI64("axes", {2, 3}, {2});
    Port fmap = w.op("MaxPool", "fmap", {image},
                     {{"kernel", "50,50"},
                      {"strides", "50,50"},
                      {"pads_begin", "0,0"},
                      {"pads_end", "0,0"},
                      {"rounding_type", "floor"}},
                     {{1, 3, 2, 2}});
    auto spatial = [&](const Port& of, const std::string& name) {
        Port shape = w.op("ShapeOf", name + "/shape", {of}, {}, {{4}}, "opset3");
        return w.op("StridedSlice", name + "/hw",
                    {shape, w.constantI64(name + "/b", {2}, {1}), w.constantI64(name + "/e", {4}, {1}),
                     w.constantI64(name + "/s", {1}, {1})},
                    {{"begin_mask", "0"},
                     {"end_mask", "1"},
                     {"new_axis_mask", ""},
                     {"shrink_axis_mask", ""},
                     {"ellipsis_mask", ""}},
                    {{2}});
    };
    Port priors =
        w.op("PriorBoxClustered", "priors", {spatial(fmap, "f"), spatial(image, "i")},
             {{"width", "20"}, {"height", "40"}, {"clip", "false"}, {"offset", "0.5"}, {"variance", "0.1,0.1,0.2,0.2"}},
             {{2, 16}});
    Port rows = w.op("Reshape", "rows", {priors, w.constantI64("rows/shape", {1, 8, 4}, {3})}, {}, {{1, 8, 4}});
    Port pooled = w.op("ReduceMean", "pooled", {fmap, axes}, {{"keep_dims", "false"}}, {{1, 3}});
    Port asRow = w.op("Reshape", "row", {pooled, w.constantI64("row/shape", {1, 1, 3}, {3})}, {}, {{1, 1, 3}});
    Port padded = w.op("Concat", "padded", {asRow, w.constant("z", {0.f}, {1, 1, 1})}, {{"axis", "2"}}, {{1, 1, 4}});
    w.result(w.op("Concat", "out", {padded, rows}, {{"axis", "1"}}, {{1, 9, 4}}));
    cv::Mat out = run(w, randomBlob({1, 3, 100, 100}));
    const std::vector<float> first(out.ptr<float>() + 4, out.ptr<float>() + 8);
    EXPECT_EQ(first, (std::vector<float>{0.15f, 0.05f, 0.35f, 0.45f}));
}

// A detector whose locations are the network input, so that a test chooses the offsets.
IrWriter detectorWith(const std::string& codeType) {
    IrWriter w("detector");
    Port loc = w.parameter("loc", {1, 8});
    Port conf = w.constant("conf", {0.f, 0.9f, 0.f, 0.6f}, {1, 4});
    Port priors = w.constant(
        "priors", {0.1f, 0.1f, 0.3f, 0.5f, 0.5f, 0.5f, 0.9f, 0.7f, 0.1f, 0.1f, 0.2f, 0.2f, 0.1f, 0.1f, 0.2f, 0.2f},
        {1, 2, 8});
    w.result(w.op("DetectionOutput", "detection_out", {loc, conf, priors},
                  {{"num_classes", "2"},
                   {"background_label_id", "0"},
                   {"top_k", "10"},
                   {"keep_top_k", "10,5"},
                   {"code_type", codeType},
                   {"share_location", "true"},
                   {"nms_threshold", "0.45"},
                   {"confidence_threshold", "0.1"},
                   {"variance_encoded_in_target", "false"},
                   {"normalized", "true"}},
                  {{1, 1, 10, 7}}));
    return w;
}

TEST(IrReaderDetection, DecodesCenterSizeOffsetsWithTheIrCodeTypePrefix) {
    IrWriter w = detectorWith("caffe.PriorBoxParameter.CENTER_SIZE");
    const float offsets[8] = {1.f, -1.f, 0.5f, 0.f, 0.f, 0.f, 0.f, 0.f};
    cv::Mat loc(2, std::vector<int>{1, 8}.data(), CV_32F, const_cast<float*>(offsets));
    cv::dnn::Net net = read(w);
    net.setInput(loc);
    cv::Mat out = net.forward();
    ASSERT_EQ(out.size[3], 7);
    const float* first = out.ptr<float>();
    EXPECT_FLOAT_EQ(first[2], 0.9f);
    // Prior 0: centre (0.2, 0.3), size (0.2, 0.4); variances 0.1, 0.1, 0.2, 0.2.
    const double cx = 0.2 + 0.1 * 1.0 * 0.2, cy = 0.3 + 0.1 * -1.0 * 0.4;
    const double width = 0.2 * std::exp(0.2 * 0.5), height = 0.4;
    EXPECT_NEAR(first[3], cx - width / 2, 1e-5);
    EXPECT_NEAR(first[4], cy - height / 2, 1e-5);
    EXPECT_NEAR(first[5], cx + width / 2, 1e-5);
    EXPECT_NEAR(first[6], cy + height / 2, 1e-5);
    EXPECT_FLOAT_EQ(out.ptr<float>()[7 + 2], 0.6f);
}

TEST(IrReaderDetection, DetectionModelAcceptsTheNetworkAndDetectionOutputIsLast) {
    // The detection model reads the last layer's type; add a layer after the detection
    // output in the description to check that the reader still puts it last.
    IrWriter w("model");
    Port x = w.parameter("data", {1, 3, 8, 8});
    Port axes = w.constantI64("axes", {2, 3}, {2});
    Port pooled = w.op("ReduceMean", "pool", {x, axes}, {{"keep_dims", "false"}}, {{1, 3}});
    Port conf =
        w.op("MatMul", "conf", {pooled, w.constant("cw", {0, 1.f / 3, 0, 1.f / 3, 0, 1.f / 3}, {3, 2})}, {}, {{1, 2}});
    Port loc = w.constant("loc", std::vector<float>(4, 0.f), {1, 4});
    Port priors = w.constant("priors", {0.25f, 0.25f, 0.75f, 0.5f, 0.1f, 0.1f, 0.2f, 0.2f}, {1, 2, 4});
    w.result(w.op("DetectionOutput", "det", {loc, conf, priors},
                  {{"num_classes", "2"},
                   {"background_label_id", "0"},
                   {"top_k", "10"},
                   {"keep_top_k", "10"},
                   {"code_type", "caffe.PriorBoxParameter.CENTER_SIZE"},
                   {"nms_threshold", "0.45"},
                   {"confidence_threshold", "0.01"},
                   {"normalized", "true"}},
                  {{1, 1, 10, 7}}));
    cv::dnn::Net net = read(w);
    EXPECT_EQ(net.getLayer(net.getLayerNames().back())->type, "DetectionOutput");
    cv::dnn::DetectionModel model(net);
    model.setInputSize(8, 8);
    model.setInputScale(1.0 / 255);
    std::vector<int> classIds;
    std::vector<float> confidences;
    std::vector<cv::Rect> boxes;
    model.detect(cv::Mat(200, 400, CV_8UC3, cv::Scalar(255, 255, 255)), classIds, confidences, boxes, 0.5f, 0.0f);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NEAR(confidences[0], 1.0, 1e-5);
    EXPECT_EQ(boxes[0], cv::Rect(100, 50, 201, 51));
}

// ---------------------------------------------------------------- factory layers

TEST(IrReaderFactory, UnknownTypesComeFromTheLayerFactory) {
    IrWriter w("custom");
    Port x = w.parameter("data", {1, 3, 4, 4});
    w.result(w.op("ImageStandardization", "standardize", {x}, {}, {{1, 3, 4, 4}}, "extension"));
    cv::Mat input = randomBlob({1, 3, 4, 4});
    cv::Mat out = run(w, input);
    cv::Scalar mean, deviation;
    cv::meanStdDev(out.reshape(1, 1), mean, deviation);
    EXPECT_NEAR(mean[0], 0.0, 1e-5);
    EXPECT_NEAR(deviation[0], 1.0, 1e-4);
}

// ---------------------------------------------------------------- refusals

std::string messageOf(const std::string& xml, const std::string& weights = "") {
    try {
        lm::dnn::readNetFromIR(xml.data(), xml.size(), weights.data(), weights.size());
    } catch (const cv::Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("not a cv::Exception: ") + e.what();
    }
    return "no error";
}

IrWriter reluNet(const Dims& declaredOut = {1, 2, 3, 3}) {
    IrWriter w("relu");
    Port x = w.parameter("data", {1, 2, 3, 3});
    w.result(w.op("Relu", "relu", {x}, {}, {declaredOut}));
    return w;
}

TEST(IrReaderErrors, BadDescriptionsThrowCvExceptionsThatSayWhy) {
    std::string truncated = reluNet().xml();
    truncated.resize(truncated.size() / 2);

    IrWriter outside("outside");
    {
        Port x = outside.parameter("data", {1, 2});
        Port c = outside.rawConstant("w", "f32", std::string(8, '\0'), {1, 2}, {{"offset", "4"}});
        outside.result(outside.op("Add", "add", {x, c}, {}, {{1, 2}}));
    }
    IrWriter wrongSize("size");
    {
        Port x = wrongSize.parameter("data", {1, 2});
        Port c = wrongSize.rawConstant("w", "f32", std::string(8, '\0'), {1, 3});
        wrongSize.result(wrongSize.op("Add", "add", {x, c}, {}, {{1, 2}}));
    }
    IrWriter hugeOffset("huge");
    {
        Port x = hugeOffset.parameter("data", {1, 2});
        Port c = hugeOffset.rawConstant("w", "f32", std::string(8, '\0'), {1, 2}, {{"offset", "18446744073709551615"}});
        hugeOffset.result(hugeOffset.op("Add", "add", {x, c}, {}, {{1, 2}}));
    }
    IrWriter missingLayer = reluNet();
    missingLayer.rawEdge(0, 1, 42, 0);
    IrWriter unknown("unknown");
    {
        Port x = unknown.parameter("data", {1, 2});
        unknown.result(unknown.op("FancyOp", "model/fancy", {x}, {}, {{1, 2}}, "opset99"));
    }
    IrWriter builtin("builtin");
    {
        Port x = builtin.parameter("data", {1, 2, 2, 2});
        builtin.result(builtin.op("BatchNorm", "bn", {x}, {}, {{1, 2, 2, 2}}));
    }
    IrWriter empty("empty");
    {
        Port x = empty.parameter("data", {1, 0, 2, 2});
        empty.result(empty.op("Relu", "relu", {x}, {}, {{1, 0, 2, 2}}));
    }
    IrWriter hugePriors("priors");
    {
        hugePriors.parameter("data", {1, 2});
        Port fmap = hugePriors.constantI64("fmap", {1024, 1024}, {2});
        Port image = hugePriors.constantI64("image", {300, 300}, {2});
        hugePriors.result(hugePriors.op("PriorBoxClustered", "priors", {fmap, image},
                                        {{"width", "1,2"}, {"height", "1,2"}}, {{2, 1024 * 1024 * 2 * 4}}));
    }
    IrWriter badConv("conv");
    {
        Port x = badConv.parameter("data", {1, 1, 5, 5});
        Port k = badConv.constant("k", std::vector<float>(9, 1.f), {1, 1, 3, 3});
        badConv.result(badConv.op(
            "Convolution", "conv", {x, k},
            {{"strides", "1,1"}, {"dilations", "1,1"}, {"pads_begin", "0,0"}, {"pads_end", "0,0"}}, {{1, 1, 5, 5}}));
    }
    IrWriter twice = reluNet();
    twice.rawEdge(0, 0, 1, 0);
    IrWriter cyclic("cycle");
    {
        Port x = cyclic.parameter("data", {1, 2});
        Port own{1, 2, {1, 2}};  // the Add's own output
        cyclic.result(cyclic.op("Add", "add", {x, own}, {}, {{1, 2}}));
    }

    const struct {
        const char* name;
        std::string xml;
        std::string weights;
        const char* expected;
    } cases[] = {
        {"empty", "", "", "description is empty"},
        {"not xml", "<net version='11'><layers>", "", "malformed XML"},
        {"truncated", truncated, "", "malformed XML"},
        {"no net", "<model/>", "", "no <net> root"},
        {"old version", "<net version='7'><layers/></net>", "", "unsupported IR version"},
        {"const outside weights", outside.xml(), outside.weights(), "lies outside the weights"},
        {"const size mismatch", wrongSize.xml(), wrongSize.weights(), "has size 8 but"},
        {"const huge offset", hugeOffset.xml(), hugeOffset.weights(), "offset"},
        {"edge to missing layer", missingLayer.xml(), "", "missing layer 42"},
        {"unsupported op", unknown.xml(), "", "unsupported op FancyOp layer 'model/fancy'"},
        {"priors too large to compute", hugePriors.xml(), hugePriors.weights(),
         "would compute a constant of [1024,1024,2,8]"},
        {"OpenCV layer name as an op", builtin.xml(), "", "unsupported op BatchNorm layer 'bn'"},
        {"empty tensor", empty.xml(), "", "has the empty output [1,0,2,2]"},
        {"declared dims contradict", reluNet({1, 2, 3, 4}).xml(), "", "declares [1,2,3,4] but computes [1,2,3,3]"},
        {"conv dims contradict", badConv.xml(), badConv.weights(),
         "layer 'conv' declares [1,1,5,5] but computes [1,1,3,3]"},
        {"two edges into a port", twice.xml(), "", "two edges enter port 0 of layer 'relu'"},
        {"cycle", cyclic.xml(), "", "form a cycle"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string message = messageOf(c.xml, c.weights);
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
        EXPECT_EQ(message.find("not a cv::Exception"), std::string::npos) << message;
    }
}

TEST(IrReaderErrors, DimsOfAnInputPortMustMatchItsProducer) {
    IrWriter w("relu");
    Port x = w.parameter("data", {1, 2, 3, 3});
    Port claimed = x;
    claimed.dims = {1, 2, 3, 4};  // the Relu's input port claims 4 columns
    w.result(w.op("Relu", "relu", {claimed}, {}, {{1, 2, 3, 4}}));
    const std::string message = messageOf(w.xml());
    EXPECT_NE(message.find("input port 0 of Relu layer 'relu' declares [1,2,3,4] but receives [1,2,3,3]"),
              std::string::npos)
        << message;
}

}  // namespace

namespace {

TEST(IrReaderVersions, ReadsVersionTenAndElevenDescriptions) {
    IrWriter w("relu");
    Port x = w.parameter("data", {1, 2, 2, 2});
    w.result(w.op("Relu", "relu", {x}, {}, {{1, 2, 2, 2}}));
    for (const char* version : {"10", "11"}) {
        std::string xml = w.xml();
        const size_t at = xml.find("version=\"11\"");
        ASSERT_NE(at, std::string::npos);
        xml.replace(at, 12, std::string("version=\"") + version + "\"");
        cv::dnn::Net net = lm::dnn::readNetFromIR(xml.data(), xml.size(), nullptr, 0);
        EXPECT_EQ(net.getUnconnectedOutLayersNames(), std::vector<std::string>{"relu"}) << version;
    }
}

}  // namespace
