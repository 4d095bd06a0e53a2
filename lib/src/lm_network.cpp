#include "lm_network.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "util/crypt.h"
#include "util/filesystem.h"
#include "util/ir_reader.h"

namespace lm {

namespace {

constexpr const char* LOGGER_NAME = "LumoraLog";

void logError(const std::string& message) {
    if (auto logger = spdlog::get(LOGGER_NAME)) logger->error(message);
}

// Largest floats that still convert to the integer type without overflow.
constexpr float INT32_LOW = -2147483648.0f;
constexpr float INT32_HIGH = 2147483520.0f;

}  // namespace

ModelFiles modelFiles(const std::string& directory, const std::string& baseName, Settings::NetworkType networkType) {
    const std::string stem = directory + "/" + baseName + (networkType == Settings::QUANTIZED ? "_quantized" : "");
    return {stem + ".xml.enc", stem + ".bin.enc"};
}

LoadedModel loadModel(const ModelFiles& files) {
    LoadedModel model;
    try {
        const std::string encryptedDescription = fs::readFile(files.description);
        const std::string encryptedWeights = fs::readFile(files.weights);
        model.description = crypt::decryptString(encryptedDescription, crypt::DEFAULT_KEY, crypt::DEFAULT_IV);
        model.weights = crypt::decryptString(encryptedWeights, crypt::DEFAULT_KEY, crypt::DEFAULT_IV);
    } catch (const std::runtime_error& e) {
        logError(e.what());
        throw;
    }
    model.net = dnn::readNetFromIR(model.description.data(), model.description.size(), model.weights.data(),
                                   model.weights.size());
    return model;
}

int dnnTargetFor(bool gpu) { return gpu ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU; }

bool StageModel::differs(const Settings& settings) const {
    return mNet.empty() || settings.gpuTargetEnabled() != mGpu || settings.neuralNetworksPath != mDirectory ||
           settings.networkType != mNetworkType;
}

void StageModel::load(const Settings& settings, const std::string& baseName) {
    LoadedModel model = loadModel(modelFiles(settings.neuralNetworksPath, baseName, settings.networkType));
    mNet = std::move(model.net);
    mDescription = std::move(model.description);
    mWeights = std::move(model.weights);
    mDirectory = settings.neuralNetworksPath;
    mNetworkType = settings.networkType;
}

void StageModel::setTarget(bool gpu) {
    mGpu = gpu;
    mNet.setPreferableTarget(dnnTargetFor(gpu));
}

const float* outputValues(const cv::Mat& output, std::size_t count) {
    if (output.type() != CV_32F || output.total() < count || !output.isContinuous())
        throw std::runtime_error("Network output holds fewer values than the stage reads: " +
                                 std::to_string(output.total()) + " < " + std::to_string(count));
    return output.ptr<float>();
}

std::int32_t truncateToInt32(float value) {
    if (std::isnan(value)) return 0;
    return static_cast<std::int32_t>(std::clamp(value, INT32_LOW, INT32_HIGH));
}

std::int16_t truncateToInt16(float value) {
    if (std::isnan(value)) return 0;
    return static_cast<std::int16_t>(std::clamp(value, -32768.0f, 32767.0f));
}

float clampScore(float value, float low, float high) {
    if (value < low) return low;
    return std::min(value, high);
}

}  // namespace lm
