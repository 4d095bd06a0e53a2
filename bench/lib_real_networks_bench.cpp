// Forward time of each real network (converted from the fetched pretrained weights and
// read through the project's IR reader), on the input the stage feeds it: the raw
// cv::dnn::Net::forward cost that the pipeline's overhead is measured against.
// Each network runs with OpenCV's default thread pool (threads:0) and on one thread.
// Skips when the weights (scripts/fetch-weights) or sample media are missing.

#include <benchmark/benchmark.h>

#include <filesystem>
#include <map>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "real/real_models.h"
#include "support/temp_dir.h"
#include "util/crypt.h"
#include "util/filesystem.h"
#include "util/ir_reader.h"

namespace {

namespace fs = std::filesystem;
namespace real = lm::models::real;

std::string weightsRoot() {
    if (const char* dir = std::getenv("LUMORA_WEIGHTS_DIR")) return dir;
    return (fs::path(__FILE__).parent_path() / "../.cache/weights").string();
}

const std::string* modelsDir() {
    static const lmtest::TempDir dir;
    static const bool ok = [] {
        if (!fs::exists(weightsRoot() + "/face-api/model/ssd_mobilenetv1_model.bin")) return false;
        real::writeRealModels({weightsRoot()}, dir.path().string());
        return true;
    }();
    static const std::string path = dir.path().string();
    return ok ? &path : nullptr;
}

cv::dnn::Net load(const std::string& base, bool quantized) {
    const std::string stem = *modelsDir() + "/" + base + (quantized ? "_quantized" : "");
    const std::string xml = lm::crypt::decryptString(lm::fs::readFile(stem + ".xml.enc"), lm::crypt::DEFAULT_KEY,
                                                     lm::crypt::DEFAULT_IV);
    const std::string bin = lm::crypt::decryptString(lm::fs::readFile(stem + ".bin.enc"), lm::crypt::DEFAULT_KEY,
                                                     lm::crypt::DEFAULT_IV);
    return lm::dnn::readNetFromIR(xml.data(), xml.size(), bin.data(), bin.size());
}

struct Role {
    cv::Size size;
    cv::Scalar mean;
    double scale;
    bool body;  // fed a vtest frame or crop instead of the astronaut
};

const std::map<std::string, Role>& roles() {
    static const std::map<std::string, Role> table = {
        {"detect_regular", {{640, 480}, {123, 117, 104}, 1.0, false}},
        {"detect_long", {{1024, 768}, {123, 117, 104}, 1.0, false}},
        {"agegender", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"headpose", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"emotion", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"smile", {{64, 64}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"facemask", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"bodydetect", {{640, 480}, {123, 117, 104}, 1.0, true}},
        {"bodyencoder", {{128, 256}, {123.675, 116.28, 103.56}, 0.01735207357279195, true}},
    };
    return table;
}

cv::Mat sampleFor(const Role& role) {
    if (!role.body) return cv::imread("/usr/lib/python3/dist-packages/skimage/data/astronaut.png");
    cv::VideoCapture capture("/usr/share/doc/opencv-doc/examples/data/vtest.avi");
    capture.set(cv::CAP_PROP_POS_FRAMES, 300);
    cv::Mat frame;
    capture >> frame;
    return frame;
}

void forward(benchmark::State& state, const std::string& base, bool quantized) {
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
    cv::dnn::Net net = load(base, quantized);
    const cv::Mat blob = cv::dnn::blobFromImage(sample, role.scale, role.size, role.mean, true, false);
    net.setInput(blob);
    net.forward();  // first pass allocates
    for (auto _ : state) {
        net.setInput(blob);
        benchmark::DoNotOptimize(net.forward());
    }
    cv::setNumThreads(previousThreads);
}

void registerAll() {
    for (const auto& [base, role] : roles())
        for (const bool quantized : {false, true})
            benchmark::RegisterBenchmark(("RealForward/" + base + (quantized ? "_quantized" : "")).c_str(),
                                         [base = base, quantized](benchmark::State& s) { forward(s, base, quantized); })
                ->ArgName("threads")
                ->Arg(0)
                ->Arg(1)
                ->Unit(benchmark::kMillisecond);
}

const int registered = (registerAll(), 0);

}  // namespace
