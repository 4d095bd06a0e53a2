// The library's speed targets on the real networks, every estimator on, printed after the
// run as one table (target, measured, met or not) with the machine and its load:
//   - analyze() on a 640 x 480 frame of 4 faces: at least 30 frames a second;
//   - analyze() and analyzeBodies() on a 640 x 480 frame of 4 faces and 6 walkers: at
//     least 20 frames a second;
//   - the six face tasks in parallel against one after another, 4 faces: at least 1.5 times;
//   - the face pipeline's time per frame (tasks one after another) against the sum of its
//     networks' own forward passes on the same inputs (the detector on the frame, its second
//     look once over the crops of the boxes it looks at, each attribute network once over the
//     blob of the 4 face crops): at most 1.1.
// Every figure comes from this one run; the machine is shared, so the load average is printed
// before and after. Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "face_estimator.h"
#include "face_verifier.h"
#include "lm_lumora_internal.h"
#include "support/real_networks.h"
#include "support/real_scenes.h"

namespace {

namespace nets = lmtest::real_networks;
namespace scenes = lmtest::real_scenes;
using Schedule = lm::Lumora::LumoraImpl::Schedule;
using Clock = std::chrono::steady_clock;

constexpr int FACES = 4;
constexpr std::size_t WALKERS = 6;

// What the benchmarks measured, by name, for the table.
std::map<std::string, double>& measured() {
    static std::map<std::string, double> values;
    return values;
}

lm::Settings realSettings() {
    lm::Settings settings;
    settings.neuralNetworksPath = *nets::modelsDir();
    settings.logLevel = lm::Settings::WARN;
    return settings;
}

bool skipWithoutInputs(benchmark::State& state) {
    if (nets::modelsDir() && lmtest::real_media::samplesPresent()) return false;
    state.SkipWithError("pretrained weights or sample media missing");
    return true;
}

double frameMilliseconds(const benchmark::State& state, Clock::duration total) {
    return std::chrono::duration<double, std::milli>(total).count() / static_cast<double>(state.iterations());
}

void BM_AnalyzeWithBodies(benchmark::State& state) {
    if (skipWithoutInputs(state)) return;
    lm::Lumora::LumoraImpl lumora(realSettings());
    const cv::Mat frame = scenes::frameWithFacesAndWalkers();
    const std::size_t faces = lumora.analyzeFaces(frame, false).size();
    const std::size_t bodies = lumora.analyzeBodies(frame).size();
    if (faces != FACES || bodies != WALKERS) {
        state.SkipWithError(fmt::format("the scene shows {} faces and {} bodies, not 4 and 6", faces, bodies).c_str());
        return;
    }
    Clock::duration total{};
    for (auto _ : state) {
        const auto start = Clock::now();
        benchmark::DoNotOptimize(lumora.analyzeFaces(frame, false));
        benchmark::DoNotOptimize(lumora.analyzeBodies(frame));
        total += Clock::now() - start;
    }
    const double ms = frameMilliseconds(state, total);
    state.counters["fps"] = 1e3 / ms;
    measured()["faces_and_bodies_ms"] = ms;
}

// The attribute networks in the face pipeline's order, with the heads each stage asks for.
struct AttributeNetwork {
    const char* base;
    std::vector<std::string> heads;
};

const AttributeNetwork ATTRIBUTE_NETWORKS[] = {
    {"agegender", {"model/age/Softmax", "model/gender/Sigmoid"}},
    {"headpose", {"model/yaw/Softmax", "model/pitch/Softmax", "model/roll/Softmax"}},
    {"smile", {"model/smile/Sigmoid"}},
    {"facemask", {"model/mask/Softmax"}},
    {"emotion", {"model/emotion/Softmax"}},
};

// The networks of one 4-face frame run alone, Net::forward only: the detector on its blob of
// the frame, each attribute network once over the blob of the faces' crops.
class FrameNetworks {
public:
    FrameNetworks(const cv::Mat& frame, const std::vector<cv::Mat>& crops) {
        mPasses.push_back(
            {nets::load("detect_regular", false), nets::blobFor(nets::roles().at("detect_regular"), frame), {}});
        const std::vector<cv::Mat> looked = secondLookCrops(frame);
        if (!looked.empty()) {
            const nets::Role& role = nets::roles().at("faceverify");
            mPasses.push_back({nets::load("faceverify", false),
                               cv::dnn::blobFromImages(looked, role.scale, role.size, role.mean, true, false, CV_32F),
                               {"model/face/Softmax"}});
        }
        for (const AttributeNetwork& network : ATTRIBUTE_NETWORKS) {
            const nets::Role& role = nets::roles().at(network.base);
            mPasses.push_back({nets::load(network.base, false),
                               cv::dnn::blobFromImages(crops, role.scale, role.size, role.mean, true, false, CV_32F),
                               network.heads});
        }
        run();  // the first pass allocates
    }

    // The crops of the boxes that the detector gives the second look, as its stage finds them.
    static std::vector<cv::Mat> secondLookCrops(const cv::Mat& frame) {
        const nets::Role& role = nets::roles().at("detect_regular");
        cv::dnn::DetectionModel detector(nets::load("detect_regular", false));
        detector.setInputScale(role.scale).setInputSwapRB(true).setInputSize(role.size).setInputMean(role.mean);
        std::vector<int> classes;
        std::vector<float> confidences;
        std::vector<cv::Rect> boxes;
        detector.detect(frame, classes, confidences, boxes, lm::SECOND_LOOK, 0.0f);
        std::vector<cv::Mat> crops;
        for (const cv::Rect& box : boxes) {
            const cv::Rect square = lm::estimatorCrop(box, frame);
            if (!square.empty()) crops.push_back(frame(square));
        }
        return crops;
    }

    void run() {
        for (ForwardPass& pass : mPasses) {
            pass.net.setInput(pass.blob);
            if (pass.heads.empty()) {
                benchmark::DoNotOptimize(pass.net.forward());
            } else {
                pass.net.forward(mOutputs, pass.heads);
            }
        }
    }

private:
    struct ForwardPass {
        cv::dnn::Net net;
        cv::Mat blob;
        std::vector<std::string> heads;
    };
    std::vector<ForwardPass> mPasses;
    std::vector<cv::Mat> mOutputs;
};

// Each iteration runs the 4-face frame three ways back to back, so that the ratios hold even
// when the machine's load changes during the run: analyze() with the face tasks in parallel,
// analyze() with them one after another, and the frame's networks alone.
void BM_FacePipeline(benchmark::State& state) {
    if (skipWithoutInputs(state)) return;
    const cv::Mat frame = scenes::frameWithFaces(FACES);
    lm::Lumora::LumoraImpl lumora(realSettings());
    std::vector<cv::Mat> crops;
    for (const lm::Person& person : lumora.analyzeFaces(frame, false))
        crops.push_back(frame(lm::estimatorCrop(person.boundingBox, frame)));
    if (crops.size() != FACES) {
        state.SkipWithError("the composed faces were not all detected");
        return;
    }
    FrameNetworks networks(frame, crops);
    const auto timed = [](Clock::duration& total, const auto& work) {
        const auto start = Clock::now();
        work();
        total += Clock::now() - start;
    };
    Clock::duration parallel{}, sequential{}, networksAlone{};
    for (auto _ : state) {
        lumora.forceSchedule(Schedule::PARALLEL);
        timed(parallel, [&] { benchmark::DoNotOptimize(lumora.analyzeFaces(frame, false)); });
        lumora.forceSchedule(Schedule::SEQUENTIAL);
        timed(sequential, [&] { benchmark::DoNotOptimize(lumora.analyzeFaces(frame, false)); });
        timed(networksAlone, [&] { networks.run(); });
    }
    auto& m = measured();
    m["analyze_parallel_ms"] = frameMilliseconds(state, parallel);
    m["analyze_sequential_ms"] = frameMilliseconds(state, sequential);
    m["networks_ms"] = frameMilliseconds(state, networksAlone);
    state.counters["parallel_ms"] = m["analyze_parallel_ms"];
    state.counters["sequential_ms"] = m["analyze_sequential_ms"];
    state.counters["networks_ms"] = m["networks_ms"];
}

BENCHMARK(BM_FacePipeline)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AnalyzeWithBodies)->Unit(benchmark::kMillisecond)->UseRealTime();

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::string loadAverage() {
    std::istringstream fields(firstLine("/proc/loadavg"));
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string cpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown";
}

struct TargetRow {
    const char* name;
    const char* goal;
    bool atLeast;  // the measured value must reach the bound (else stay under it)
    double bound;
    std::vector<const char*> needs;
    double (*value)(const std::map<std::string, double>&);
};

void printTargets(const std::string& loadBefore) {
    const TargetRow rows[] = {
        {"analyze, 4 faces, frames/s",
         ">= 30",
         true,
         30,
         {"analyze_parallel_ms"},
         [](const auto& m) { return 1e3 / m.at("analyze_parallel_ms"); }},
        {"analyze + analyzeBodies, 4 faces + 6 bodies, frames/s",
         ">= 20",
         true,
         20,
         {"faces_and_bodies_ms"},
         [](const auto& m) { return 1e3 / m.at("faces_and_bodies_ms"); }},
        {"parallel / sequential speed, 4 faces",
         ">= 1.5",
         true,
         1.5,
         {"analyze_parallel_ms", "analyze_sequential_ms"},
         [](const auto& m) { return m.at("analyze_sequential_ms") / m.at("analyze_parallel_ms"); }},
        {"pipeline (sequential) / its networks' forward, 4 faces",
         "<= 1.1",
         false,
         1.1,
         {"analyze_sequential_ms", "networks_ms"},
         [](const auto& m) { return m.at("analyze_sequential_ms") / m.at("networks_ms"); }},
    };
    const auto& m = measured();
    std::cout << fmt::format("\nMachine: {}, {} cores; load average (1, 5, 15 min) before: {}; after: {}\n", cpuModel(),
                             std::thread::hardware_concurrency(), loadBefore, loadAverage());
    std::cout << fmt::format("| {:<56} | {:<7} | {:>8} | {:<7} |\n", "target", "goal", "measured", "result");
    std::cout << fmt::format("|{:-<58}|{:-<9}|{:->10}|{:-<9}|\n", "", "", "", "");
    for (const TargetRow& row : rows) {
        bool present = true;
        for (const char* need : row.needs) present = present && m.count(need) > 0;
        if (!present) {
            std::cout << fmt::format("| {:<56} | {:<7} | {:>8} | {:<7} |\n", row.name, row.goal, "skipped", "");
            continue;
        }
        const double value = row.value(m);
        const bool met = row.atLeast ? value >= row.bound : value <= row.bound;
        std::cout << fmt::format("| {:<56} | {:<7} | {:>8.2f} | {:<7} |\n", row.name, row.goal, value,
                                 met ? "met" : "not met");
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::string loadBefore = loadAverage();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printTargets(loadBefore);
    return 0;
}
