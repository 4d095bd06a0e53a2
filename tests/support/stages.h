#pragma once
// Helpers for the network-stage tests: a model directory of the test networks that a test
// may change, networks whose outputs are constants chosen by the test, a capture of the
// library's log, and frames and faces drawn for the stages.

#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <opencv2/core.hpp>

#include "ir_writer.h"
#include "lumora/lm_records.h"
#include "lumora/lm_settings.h"
#include "support/generated_networks.h"
#include "support/temp_dir.h"
#include "util/crypt.h"
#include "util/filesystem.h"

namespace lmtest {

// A private copy of the generated model directory.
class ModelDir {
public:
    ModelDir() : mPath(mTemp.path() / "networks") { std::filesystem::copy(testNetworksDir(), mPath); }
    std::string path() const { return mPath.string(); }

    // Settings that load every stage from this directory.
    lm::Settings settings() const {
        lm::Settings s;
        s.neuralNetworksPath = path();
        return s;
    }

    // Removes a base's plain and quantized pairs.
    void remove(const std::string& base) const {
        for (const char* suffix : {".xml.enc", ".bin.enc", "_quantized.xml.enc", "_quantized.bin.enc"})
            std::filesystem::remove(mPath / (base + suffix));
    }
    // A new empty directory beside this one: settings naming it are a change to every stage.
    std::string freshDirectory() {
        const std::filesystem::path p = mTemp.path() / ("other" + std::to_string(++mFresh));
        std::filesystem::create_directories(p);
        return p.string();
    }
    void restore(const std::string& base) const {
        for (bool quantized : {false, true}) lm::models::writeTestNetwork(path(), base, {quantized, 512});
    }

private:
    TempDir mTemp;
    std::filesystem::path mPath;
    int mFresh = 0;
};

// A network for a face estimator whose named outputs are the given constant rows, whatever
// the input: global mean, a zero matrix, then the row as the bias. Written encrypted under
// the base's plain name into the directory.
struct ConstantOutput {
    std::string name;
    std::vector<float> values;
};

inline void writeConstantNetwork(const std::string& directory, const std::string& base, int inputSide,
                                 const std::vector<ConstantOutput>& outputs) {
    using lm::models::Port;
    lm::models::IrWriter w(base);
    Port input = w.parameter("data", {1, 3, inputSide, inputSide});
    Port axes = w.constantI64("pool/axes", {2, 3}, {2});
    Port mean = w.op("ReduceMean", "pool", {input, axes}, {{"keep_dims", "false"}}, {{1, 3}});
    for (const ConstantOutput& out : outputs) {
        const auto n = static_cast<int64_t>(out.values.size());
        Port zero = w.constant(out.name + "/weights", std::vector<float>(3 * n, 0.0f), {3, n});
        Port product = w.op("MatMul", out.name + "/MatMul", {mean, zero},
                            {{"transpose_a", "false"}, {"transpose_b", "false"}}, {{1, n}});
        Port bias = w.constant(out.name + "/bias", out.values, {1, n});
        w.result(w.op("Add", out.name, {product, bias}, {{"auto_broadcast", "numpy"}}, {{1, n}}));
    }
    const std::string stem = directory + "/" + base;
    lm::fs::writeFile(stem + ".xml.enc",
                      lm::crypt::encryptString(w.xml(), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
    lm::fs::writeFile(stem + ".bin.enc",
                      lm::crypt::encryptString(w.weights(), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
}

// Collects what is logged on "LumoraLog" while it lives, as "level: message" lines.
class LogCapture {
public:
    LogCapture() : mLogger(spdlog::get("LumoraLog")) {
        mSink = std::make_shared<spdlog::sinks::ostream_sink_mt>(mStream);
        mSink->set_pattern("%l: %v");
        mLogger->sinks().push_back(mSink);
    }
    ~LogCapture() {
        auto& sinks = mLogger->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), mSink), sinks.end());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text() const { return mStream.str(); }

private:
    std::shared_ptr<spdlog::logger> mLogger;
    std::ostringstream mStream;
    std::shared_ptr<spdlog::sinks::ostream_sink_mt> mSink;
};

// A frame of one colour, given as red, green, blue.
inline cv::Mat colourFrame(int red, int green, int blue, cv::Size size = {640, 480}) {
    return cv::Mat(size, CV_8UC3, cv::Scalar(blue, green, red));
}

inline lm::Person faceAt(const cv::Rect& box, std::int32_t distance = 100) {
    lm::Person p;
    p.boundingBox = box;
    p.distanceFromCamera = distance;
    return p;
}

}  // namespace lmtest

namespace lmtest {

// A face well inside a 640 x 480 frame.
inline const cv::Rect FACE_BOX(200, 150, 100, 100);

// One face at `box`, run through the estimator on `frame`.
template <typename Estimator>
lm::Person estimateOne(Estimator& stage, const cv::Mat& frame, const cv::Rect& box = FACE_BOX,
                       std::int32_t distance = 100) {
    std::vector<lm::Person> people = {faceAt(box, distance)};
    stage.estimate(frame, people);
    return people[0];
}

}  // namespace lmtest
