// The facade's face analysis on the real networks: frames per second of analyze() on
// 640 x 480 frames composed of real faces (Debian's sample photographs, and their mirror
// images), every estimator on, with the six face tasks in parallel (the CPU target's
// schedule) and one after another (the GPU target's, forced on the CPU through the
// implementation's seam so that only the scheduling differs).
//
// Beside the rate it reports networks_ms, the raw Net::forward time of the networks one
// such frame runs (the face detector once, each attribute network once per face, timed on
// the same converted networks as bench/lib_real_networks_bench.cpp), and overhead, the
// ratio of the pipeline's time per frame to that sum.
//
// BM_FaceNetworksPerFrame times the five attribute networks on the faces of one such frame
// both ways in the same run: one pass per face (per_face_ms) and one pass over a blob of
// every face (batched_ms), and their ratio (speedup).
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "face_estimator.h"
#include "lm_lumora_internal.h"
#include "lm_network.h"
#include "support/real_networks.h"
#include "support/real_scenes.h"

namespace {

namespace media = lmtest::real_media;
namespace nets = lmtest::real_networks;
using Schedule = lm::Lumora::LumoraImpl::Schedule;

constexpr const char* ATTRIBUTE_NETWORKS[] = {"agegender", "headpose", "smile", "facemask", "emotion"};

using lmtest::real_scenes::faceTiles;
using lmtest::real_scenes::frameWithFaces;

// Mean raw forward time of one converted network on its stage's input, in milliseconds.
double forwardMilliseconds(const std::string& base, const cv::Mat& sample) {
    constexpr int PASSES = 20;
    cv::dnn::Net net = nets::load(base, false);
    const cv::Mat blob = nets::blobFor(nets::roles().at(base), sample);
    net.setInput(blob);
    net.forward();  // first pass allocates
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < PASSES; ++i) {
        net.setInput(blob);
        benchmark::DoNotOptimize(net.forward());
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / PASSES;
}

// The networks of one frame with that many faces, run one after another.
double frameNetworksMilliseconds(const cv::Mat& frame, int faces) {
    double perFace = 0;
    for (const char* base : ATTRIBUTE_NETWORKS) perFace += forwardMilliseconds(base, faceTiles().front());
    return forwardMilliseconds("detect_regular", frame) + faces * perFace;
}

constexpr const char* STEP_NAMES[] = {"detect",   "agegender", "headpose", "smile",
                                      "facemask", "emotions",  "track",    "whole"};

void BM_RealAnalyze(benchmark::State& state) {
    if (!nets::modelsDir()) {
        state.SkipWithError("pretrained weights missing: run scripts/fetch-weights");
        return;
    }
    if (!media::samplesPresent()) {
        state.SkipWithError("sample media missing (python3-skimage, opencv-doc)");
        return;
    }
    const int faces = static_cast<int>(state.range(0));
    const Schedule schedule = state.range(1) == 0 ? Schedule::PARALLEL : Schedule::SEQUENTIAL;
    lm::Settings settings;
    settings.neuralNetworksPath = *nets::modelsDir();
    settings.logLevel = lm::Settings::WARN;
    lm::Lumora::LumoraImpl lumora(settings);
    lumora.forceSchedule(schedule);
    const cv::Mat frame = frameWithFaces(faces);
    if (lumora.analyzeFaces(frame, false).size() != static_cast<std::size_t>(faces)) {
        state.SkipWithError("the composed faces were not all detected");
        return;
    }

    std::array<double, 8> stepNanoseconds{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(lumora.analyzeFaces(frame, false));
        for (std::size_t s = 0; s < stepNanoseconds.size(); ++s)
            stepNanoseconds[s] += static_cast<double>(lm::scoped_timer::time_deltas[s]);
    }
    const auto frames = static_cast<double>(state.iterations());
    state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
    for (std::size_t s = 0; s < stepNanoseconds.size(); ++s)
        state.counters[std::string(STEP_NAMES[s]) + "_ms"] = stepNanoseconds[s] / frames / 1e6;
    const double networks = frameNetworksMilliseconds(frame, faces);
    state.counters["networks_ms"] = networks;
    state.counters["overhead"] = stepNanoseconds[7] / frames / 1e6 / networks;
    state.SetLabel(schedule == Schedule::PARALLEL ? "parallel" : "sequential");
}

// The heads each stage asks its network for, in ATTRIBUTE_NETWORKS' order.
const std::vector<std::string> ATTRIBUTE_HEADS[] = {
    {"model/age/Softmax", "model/gender/Sigmoid"},
    {"model/yaw/Softmax", "model/pitch/Softmax", "model/roll/Softmax"},
    {"model/smile/Sigmoid"},
    {"model/mask/Softmax"},
    {"model/emotion/Softmax"},
};

struct AttributeModel {
    lm::StageModel model;
    lm::BlobInput input;
    std::vector<std::string> heads;
};

void BM_FaceNetworksPerFrame(benchmark::State& state) {
    if (!nets::modelsDir() || !media::samplesPresent()) {
        state.SkipWithError("pretrained weights or sample media missing");
        return;
    }
    const int faces = static_cast<int>(state.range(0));
    lm::Settings settings;
    settings.neuralNetworksPath = *nets::modelsDir();
    std::vector<AttributeModel> models(std::size(ATTRIBUTE_NETWORKS));
    for (std::size_t m = 0; m < models.size(); ++m) {
        const nets::Role& role = nets::roles().at(ATTRIBUTE_NETWORKS[m]);
        models[m].model.load(settings, ATTRIBUTE_NETWORKS[m]);
        models[m].model.setTarget(false);
        models[m].input = {role.size, role.mean, role.scale};
        models[m].heads = ATTRIBUTE_HEADS[m];
    }
    const cv::Mat frame = frameWithFaces(faces);
    lm::Lumora::LumoraImpl lumora(settings);
    std::vector<cv::Mat> crops;
    for (const lm::Person& person : lumora.analyzeFaces(frame, false))
        crops.push_back(frame(lm::estimatorCrop(person.boundingBox, frame)));
    if (crops.size() != static_cast<std::size_t>(faces)) {
        state.SkipWithError("the composed faces were not all detected");
        return;
    }
    using Clock = std::chrono::steady_clock;
    Clock::duration perFace{}, batched{};
    for (auto _ : state) {
        const auto start = Clock::now();
        for (AttributeModel& m : models)
            for (const cv::Mat& crop : crops) benchmark::DoNotOptimize(m.model.forwardEach({crop}, m.input, m.heads));
        const auto middle = Clock::now();
        for (AttributeModel& m : models) benchmark::DoNotOptimize(m.model.forwardEach(crops, m.input, m.heads));
        perFace += middle - start;
        batched += Clock::now() - middle;
    }
    const auto frames = static_cast<double>(state.iterations());
    const double perFaceMs = std::chrono::duration<double, std::milli>(perFace).count() / frames;
    const double batchedMs = std::chrono::duration<double, std::milli>(batched).count() / frames;
    state.counters["per_face_ms"] = perFaceMs;
    state.counters["batched_ms"] = batchedMs;
    state.counters["speedup"] = perFaceMs / batchedMs;
}

BENCHMARK(BM_FaceNetworksPerFrame)->ArgName("faces")->Arg(1)->Arg(3)->Arg(6)->Unit(benchmark::kMillisecond);

BENCHMARK(BM_RealAnalyze)
    ->ArgNames({"faces", "sequential"})
    ->ArgsProduct({{1, 3, 6}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
