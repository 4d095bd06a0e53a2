// Forward time of each real network (converted from the fetched pretrained weights and
// read through the project's IR reader), on the input the stage feeds it: the raw
// cv::dnn::Net::forward cost that the pipeline's overhead is measured against.
// Each network runs with OpenCV's default thread pool (threads:0) and on one thread.
// The face detectors also run as the SSD they replaced ("_ssd"), on the frame as it comes
// and letterboxed to its trained 512 x 512 input, and as the BlazeFace variants measured
// against the shipped one, and as FaceBoxes (on the frame, with the frame enlarged 1.5
// times besides, and on the frame enlarged twice alone), side by side with the shipped ones in the same run: compare times within
// one run only. The body detector runs beside its candidates
// ("bodydetect_centernet<inner size>[_hswish]") in the same run likewise.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <opencv2/core/utility.hpp>

#include "real/ir_emit.h"
#include "support/real_networks.h"

namespace {

using namespace lmtest::real_networks;

namespace real = lm::models::real;

// Which face network a row runs: the shipped one, the SSD it replaced, or a BlazeFace
// variant measured against it (the frame at three quarters and three eighths of its
// size; the full-range model on the frame at half size), or FaceBoxes.
enum class Detector {
    Shipped,
    Ssd,
    SsdLetterbox512,
    BackThreeQuarter,
    FullRangeHalf,
    FaceBoxes,
    FaceBoxesEnlarged,
    FaceBoxesDoubled
};

const char* suffix(Detector detector) {
    switch (detector) {
        case Detector::Shipped: return "";
        case Detector::Ssd: return "_ssd";
        case Detector::SsdLetterbox512: return "_ssd_letterbox512";
        case Detector::BackThreeQuarter: return "_blazeface_three_quarter";
        case Detector::FullRangeHalf: return "_blazeface_full_range_half";
        case Detector::FaceBoxes: return "_faceboxes";
        case Detector::FaceBoxesEnlarged: return "_faceboxes_1.5";
        case Detector::FaceBoxesDoubled: return "_faceboxes_2";
    }
    return "";
}

cv::dnn::Net readGraph(const real::IrGraph& graph, bool quantized) {
    const real::IrPair ir = real::emitIr(graph, quantized);
    return lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
}

cv::dnn::Net blazeFaceVariant(const std::string& base, bool quantized, Detector detector) {
    const cv::Size size = roles().at(base).size;
    real::BlazeFaceOptions options = real::shippedBlazeFace();
    if (detector == Detector::BackThreeQuarter) options.factors = {4.0f / 3.0f, 8.0f / 3.0f};
    if (detector == Detector::FullRangeHalf) {
        options.model = real::BlazeFaceModel::FullRange;
        options.factors = {2};
    }
    return readGraph(real::convertBlazeFace({lmtest::real_media::weightsRoot()}, size.width, size.height, options),
                     quantized);
}

// FaceBoxes at that base's size: on the frame alone, with the frame enlarged 1.5 times
// besides, or on the frame enlarged twice alone.
cv::dnn::Net faceBoxes(const std::string& base, bool quantized, Detector detector) {
    const cv::Size size = roles().at(base).size;
    real::FaceBoxesOptions options;
    if (detector == Detector::FaceBoxesEnlarged) options.factors = {1, 2.0f / 3.0f};
    if (detector == Detector::FaceBoxesDoubled) options.factors = {0.5f};
    return readGraph(real::convertFaceBoxes({lmtest::real_media::weightsRoot()}, size.width, size.height, options),
                     quantized);
}

// The SSD face detector of that base, read from memory.
cv::dnn::Net ssdDetector(const std::string& base, bool quantized, real::DetectorInput input) {
    const cv::Size size = roles().at(base).size;
    return readGraph(real::convertFaceDetector({lmtest::real_media::weightsRoot()}, size.width, size.height, input),
                     quantized);
}

cv::dnn::Net network(const std::string& base, bool quantized, Detector detector) {
    switch (detector) {
        case Detector::Ssd: return ssdDetector(base, quantized, real::DetectorInput::Native);
        case Detector::SsdLetterbox512: return ssdDetector(base, quantized, real::DetectorInput::Letterbox512);
        case Detector::BackThreeQuarter:
        case Detector::FullRangeHalf: return blazeFaceVariant(base, quantized, detector);
        case Detector::FaceBoxes:
        case Detector::FaceBoxesEnlarged:
        case Detector::FaceBoxesDoubled: return faceBoxes(base, quantized, detector);
        case Detector::Shipped: break;
    }
    return load(base, quantized);
}

// One forward pass of the network that makeNet builds, on the blob that base's stage feeds it.
template <typename MakeNet>
void forwardPasses(benchmark::State& state, const std::string& base, MakeNet makeNet) {
    if (!modelsDir()) {
        state.SkipWithError("pretrained weights missing: run scripts/fetch-weights");
        return;
    }
    const Role& role = roles().at(base);
    const cv::Mat sample = sampleFor(role);
    if (sample.empty()) {
        state.SkipWithError("sample media missing (python3-skimage, opencv-doc)");
        return;
    }
    const int previousThreads = cv::getNumThreads();
    if (state.range(0) == 1) cv::setNumThreads(1);
    cv::dnn::Net net = makeNet();
    const cv::Mat blob = blobFor(role, sample);
    net.setInput(blob);
    net.forward();  // first pass allocates
    for (auto _ : state) {
        net.setInput(blob);
        benchmark::DoNotOptimize(net.forward());
    }
    cv::setNumThreads(previousThreads);
}

void forward(benchmark::State& state, const std::string& base, bool quantized, Detector detector) {
    forwardPasses(state, base, [&] { return network(base, quantized, detector); });
}

// The body detector's candidates beside the shipped "bodydetect" (352 x 256, hswish, split):
// CenterNet at 640 x 480 as it was shipped before, with hard-swish as one op ("hswish"), with
// 5x5 depthwise convolutions as 3x3 ones ("split"), and run at other sizes inside the network.
struct BodyCandidate {
    const char* name;
    real::BodyDetectorOptions options;
};
const BodyCandidate BODY_CANDIDATES[] = {
    {"centernet640x480", {640, 480, false, false}},
    {"centernet640x480_hswish", {640, 480, true, false}},
    {"centernet640x480_hswish_split", {640, 480, true, true}},
    {"centernet384x288_hswish_split", {384, 288, true, true}},
    {"centernet352x256_hswish", {352, 256, true, false}},
    {"centernet256x192_hswish_split", {256, 192, true, true}},
};

void registerBodyCandidate(const BodyCandidate& candidate, bool quantized) {
    const std::string name = std::string("RealForward/bodydetect_") + candidate.name + (quantized ? "_quantized" : "");
    const real::BodyDetectorOptions options = candidate.options;
    benchmark::RegisterBenchmark(
        name.c_str(),
        [=](benchmark::State& s) {
            forwardPasses(s, "bodydetect", [&] {
                const real::IrPair ir =
                    real::emitIr(real::convertBodyDetector({lmtest::real_media::weightsRoot()}, options), quantized);
                return lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
            });
        })
        ->ArgName("threads")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond);
}

void registerOne(const std::string& base, bool quantized, Detector detector) {
    const std::string name = "RealForward/" + base + suffix(detector) + (quantized ? "_quantized" : "");
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& s) { forward(s, base, quantized, detector); })
        ->ArgName("threads")
        ->Arg(0)
        ->Arg(1)
        ->Unit(benchmark::kMillisecond);
}

void registerAll() {
    for (const auto& [base, role] : roles())
        for (const bool quantized : {false, true}) {
            registerOne(base, quantized, Detector::Shipped);
            if (base == "bodydetect")
                for (const BodyCandidate& candidate : BODY_CANDIDATES) registerBodyCandidate(candidate, quantized);
            if (base != "detect_regular" && base != "detect_long") continue;
            registerOne(base, quantized, Detector::Ssd);
            registerOne(base, quantized, Detector::SsdLetterbox512);
            registerOne(base, quantized, Detector::BackThreeQuarter);
            registerOne(base, quantized, Detector::FullRangeHalf);
            registerOne(base, quantized, Detector::FaceBoxes);
            registerOne(base, quantized, Detector::FaceBoxesEnlarged);
            registerOne(base, quantized, Detector::FaceBoxesDoubled);
        }
}

const int registered = (registerAll(), 0);

}  // namespace
