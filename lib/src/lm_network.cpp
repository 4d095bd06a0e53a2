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

// The outputs of one pass over the blob; the network's last output when none is named.
// Copied, since the network reuses its buffers on the next pass.
std::vector<cv::Mat> forwardBlob(cv::dnn::Net& net, const cv::Mat& blob, const std::vector<std::string>& names) {
    net.setInput(blob);
    std::vector<cv::Mat> outputs;
    if (names.empty())
        outputs.push_back(net.forward());
    else
        net.forward(outputs, names);
    for (cv::Mat& output : outputs) output = output.clone();
    return outputs;
}

// Image `index` of a batched output, as an output of batch one sharing its values.
cv::Mat batchSlice(const cv::Mat& output, int index) {
    std::vector<cv::Range> ranges(static_cast<std::size_t>(output.dims), cv::Range::all());
    ranges[0] = cv::Range(index, index + 1);
    return output(ranges);
}

bool holdsBatchOf(const std::vector<cv::Mat>& outputs, int count) {
    return std::all_of(outputs.begin(), outputs.end(),
                       [count](const cv::Mat& output) { return output.dims >= 1 && output.size[0] == count; });
}

// Largest floats that still convert to the integer type without overflow.
constexpr float INT32_LOW = -2147483648.0f;
constexpr float INT32_HIGH = 2147483520.0f;

}  // namespace

ModelFiles modelFiles(const std::string& directory, const std::string& baseName, Settings::NetworkType networkType) {
    const std::string stem = directory + "/" + baseName + (networkType == Settings::QUANTIZED ? "_quantized" : "");
    return {stem + ".xml.enc", stem + ".bin.enc"};
}

cv::dnn::Net loadModel(const ModelFiles& files) {
    std::string description;
    std::string weights;
    try {
        const std::string encryptedDescription = fs::readFile(files.description);
        const std::string encryptedWeights = fs::readFile(files.weights);
        description = crypt::decryptString(encryptedDescription, crypt::DEFAULT_KEY, crypt::DEFAULT_IV);
        weights = crypt::decryptString(encryptedWeights, crypt::DEFAULT_KEY, crypt::DEFAULT_IV);
    } catch (const std::runtime_error& e) {
        logError(e.what());
        throw;
    }
    return dnn::readNetFromIR(description.data(), description.size(), weights.data(), weights.size());
}

int dnnTargetFor(bool gpu) { return gpu ? cv::dnn::DNN_TARGET_OPENCL : cv::dnn::DNN_TARGET_CPU; }

bool StageModel::differs(const Settings& settings) const {
    return mNet.empty() || settings.gpuTargetEnabled() != mGpu || settings.neuralNetworksPath != mDirectory ||
           settings.networkType != mNetworkType;
}

void StageModel::load(const Settings& settings, const std::string& baseName) {
    mNet = loadModel(modelFiles(settings.neuralNetworksPath, baseName, settings.networkType));
    mDirectory = settings.neuralNetworksPath;
    mNetworkType = settings.networkType;
    mTakesBatches = true;
}

void StageModel::setTarget(bool gpu) {
    mGpu = gpu;
    mNet.setPreferableTarget(dnnTargetFor(gpu));
}

OutputsPerImage StageModel::forwardEach(const std::vector<cv::Mat>& images, const BlobInput& input,
                                        const std::vector<std::string>& outputs) {
    const int count = static_cast<int>(images.size());
    if (count > 1 && mTakesBatches) {
        const cv::Mat blob = cv::dnn::blobFromImages(images, input.scale, input.size, input.mean, true, false, CV_32F);
        try {
            const std::vector<cv::Mat> batched = forwardBlob(mNet, blob, outputs);
            if (holdsBatchOf(batched, count)) {
                OutputsPerImage perImage(images.size());
                for (int i = 0; i < count; ++i)
                    for (const cv::Mat& output : batched) perImage[i].push_back(batchSlice(output, i));
                return perImage;
            }
        } catch (const cv::Exception&) {
            // The network's shapes hold one image only; the passes below need no batch.
        }
        mTakesBatches = false;
    }
    OutputsPerImage perImage;
    for (const cv::Mat& image : images)
        perImage.push_back(forwardBlob(
            mNet, cv::dnn::blobFromImage(image, input.scale, input.size, input.mean, true, false, CV_32F), outputs));
    return perImage;
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
