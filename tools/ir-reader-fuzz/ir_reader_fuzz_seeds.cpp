// Writes the fuzzer's seed corpus into a directory: the test networks, plain and
// quantized, and small networks of the ops that the test networks do not use.

#include <filesystem>
#include <fstream>
#include <iostream>

#include "fuzz_input.h"
#include "ir_writer.h"
#include "test_networks.h"

namespace {

using namespace lm::models;

const Attributes WINDOW = {
    {"strides", "2,2"}, {"dilations", "1,1"}, {"pads_begin", "0,1"}, {"pads_end", "1,0"}, {"auto_pad", "explicit"}};

IrWriter opNetwork() {
    IrWriter w("ops");
    Port x = w.parameter("data", {1, 4, 8, 8});
    Port dw = w.constant("dw", std::vector<float>(4 * 9, 0.1f), {4, 1, 1, 3, 3}, Storage::F16);
    Port g = w.op("GroupConvolution", "group", {x, dw}, WINDOW, {{1, 4, 4, 4}});
    Port p = w.op("PReLU", "prelu", {g, w.constant("slope", {0.1f, 0.2f, 0.3f, 0.4f}, {4})}, {}, {{1, 4, 4, 4}});
    Port m = w.op(
        "MaxPool", "pool", {p},
        {{"kernel", "3,3"}, {"strides", "2,2"}, {"pads_begin", "0,0"}, {"pads_end", "0,0"}, {"rounding_type", "ceil"}},
        {{1, 4, 2, 2}});
    Port r = w.op(
        "Interpolate", "resize",
        {m, w.constantI64("sizes", {4, 4}, {2}), w.constant("scales", {2.f, 2.f}, {2}),
         w.constantI64("axes", {2, 3}, {2})},
        {{"mode", "linear"}, {"shape_calculation_mode", "sizes"}, {"coordinate_transformation_mode", "half_pixel"}},
        {{1, 4, 4, 4}}, "opset4");
    Port t = w.op("Transpose", "transpose", {r, w.constantI64("order", {0, 2, 3, 1}, {4})}, {}, {{1, 4, 4, 4}});
    Port e = w.op("Multiply", "product", {t, r}, {}, {{1, 4, 4, 4}});
    Port c = w.op("Clamp", "clamp", {e}, {{"min", "-1"}, {"max", "1"}}, {{1, 4, 4, 4}});
    Port h = w.op("HSwish", "hswish", {c}, {}, {{1, 4, 4, 4}}, "opset4");
    Port s = w.op(
        "Squeeze", "squeeze",
        {w.op("ReduceMax", "max", {h, w.constantI64("axes2", {2, 3}, {2})}, {{"keep_dims", "true"}}, {{1, 4, 1, 1}}),
         w.constantI64("sq", {2, 3}, {2})},
        {}, {{1, 4}});
    w.result(w.op("Softmax", "softmax", {s}, {{"axis", "-1"}}, {{1, 4}}, "opset8"));
    return w;
}

IrWriter priorNetwork() {
    IrWriter w("priors");
    Port x = w.parameter("data", {1, 3, 32, 32});
    Port shape = w.op("ShapeOf", "shape", {x}, {}, {{4}}, "opset3");
    Port hw = w.op("StridedSlice", "hw",
                   {shape, w.constantI64("b", {2}, {1}), w.constantI64("e", {4}, {1}), w.constantI64("s", {1}, {1})},
                   {{"begin_mask", "0"}, {"end_mask", "0"}}, {{2}});
    Port boxes = w.op("PriorBox", "box", {w.constantI64("fmap", {2, 2}, {2}), hw},
                      {{"min_size", "8"},
                       {"max_size", "16"},
                       {"aspect_ratio", "2"},
                       {"flip", "true"},
                       {"clip", "false"},
                       {"step", "16"},
                       {"offset", "0.5"},
                       {"variance", "0.1,0.1,0.2,0.2"}},
                      {{2, 64}});
    Port priors = w.op("Unsqueeze", "priors", {boxes, w.constantI64("axis", {0}, {1})}, {}, {{1, 2, 64}});
    Port axes = w.constantI64("axes", {2, 3}, {2});
    Port pooled = w.op("ReduceMean", "pooled", {x, axes}, {{"keep_dims", "false"}}, {{1, 3}});
    Port conf =
        w.op("MatMul", "conf", {pooled, w.constant("w", std::vector<float>(3 * 32, 0.5f), {32, 3}, Storage::U8)},
             {{"transpose_b", "true"}}, {{1, 32}});
    Port loc =
        w.op("MatMul", "loc", {pooled, w.constant("l", std::vector<float>(3 * 64, 0.01f), {3, 64})}, {}, {{1, 64}});
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
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ir_reader_fuzz_seeds DIR\n";
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    for (const std::string& base : lm::models::testNetworkBases())
        for (bool quantized : {false, true}) {
            const lm::models::ModelPair pair = lm::models::buildTestNetwork(base, {quantized});
            std::ofstream out(std::string(argv[1]) + "/" + base + (quantized ? "_quantized" : ""), std::ios::binary);
            out << pair.xml << lmfuzz::SEPARATOR << pair.weights;
        }
    const std::pair<const char*, IrWriter> extras[] = {{"ops", opNetwork()}, {"priors", priorNetwork()}};
    for (const auto& [name, writer] : extras) {
        std::ofstream out(std::string(argv[1]) + "/" + name, std::ios::binary);
        out << writer.xml() << lmfuzz::SEPARATOR << writer.weights();
    }
    return 0;
}
