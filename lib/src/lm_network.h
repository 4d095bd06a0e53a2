#pragma once
// What the library's network stages share: where a model's two encrypted files lie, how a
// model is read from them, the model state every stage keeps with its reload rule, and the
// reading of network outputs into record fields.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "lumora/lm_settings.h"

namespace lm {

struct ModelFiles {
    std::string description;  // the encrypted IR XML
    std::string weights;      // the encrypted IR weights
};

// Plain concatenation, no normalisation: a directory ending in "/" gives "//", which
// the file system accepts.
ModelFiles modelFiles(const std::string& directory, const std::string& baseName, Settings::NetworkType networkType);

// Reads both files, decrypts them with the model files' key and builds the network.
// A std::runtime_error (missing, unreadable or undecryptable file) is logged at level
// error on "LumoraLog" with exactly its text and rethrown; the reader's cv::Exception for
// a text it cannot parse passes on unlogged. The network holds copies of every weight, so
// the decrypted texts go as soon as it is built: kept, they would double what a model
// holds (about 20 MB for the regular set).
cv::dnn::Net loadModel(const ModelFiles& files);

// cv::dnn::DNN_TARGET_OPENCL for the GPU targets, else cv::dnn::DNN_TARGET_CPU. No back end
// is chosen, so GPU and GPU_MT both mean OpenCL.
int dnnTargetFor(bool gpu);

// How a stage turns its crops into the network's input: each resized to `size`, red and
// blue swapped, `mean` subtracted and the result times `scale`, as 32-bit floats.
struct BlobInput {
    cv::Size size;
    cv::Scalar mean;
    double scale;
};

// Per image, its slice of every output asked for, in their order (batch dimension 1).
using OutputsPerImage = std::vector<std::vector<cv::Mat>>;

// The model state of one stage. The compared values (model directory, network type) are
// stored only by a load that succeeded, so a failed reload is tried again by the next
// update that asks for the same model instead of being taken for done. Not locked: the
// owning stage calls it under its own mutex.
class StageModel {
public:
    // True when the settings ask for another model or target than the one held, or when
    // no network has been loaded yet.
    bool differs(const Settings& settings) const;
    // Replaces the network, the directory and the network type together; a failure leaves
    // all of them as they were and propagates (see loadModel).
    void load(const Settings& settings, const std::string& baseName);
    // Stores the GPU flag and sets the network's preferable target accordingly.
    void setTarget(bool gpu);
    // The named outputs (the network's last output when none is named) of every image.
    // One forward pass over a blob holding them all, which gives what one pass per image
    // gives; a network that refuses a batch of several images (a reshape fixed to one) is
    // run once per image, and remembered as such until the next load.
    OutputsPerImage forwardEach(const std::vector<cv::Mat>& images, const BlobInput& input,
                                const std::vector<std::string>& outputs);

    cv::dnn::Net& net() { return mNet; }
    bool empty() const { return mNet.empty(); }
    // The target last applied to the network (cv::dnn::Target).
    int target() const { return dnnTargetFor(mGpu); }

private:
    cv::dnn::Net mNet;
    std::string mDirectory;
    Settings::NetworkType mNetworkType = Settings::NORMAL;
    bool mGpu = false;
    bool mTakesBatches = true;
};

// The first `count` values of a network output. Throws std::runtime_error when the output
// holds fewer, so that a model with a smaller head than a stage reads fails instead of
// reading past the end of its output.
const float* outputValues(const cv::Mat& output, std::size_t count);

// Float to integer conversions that cannot overflow: truncated toward zero after the value
// is clamped to the target's range; NaN gives 0.
std::int32_t truncateToInt32(float value);
std::int16_t truncateToInt16(float value);

// A value clamped to [low, high]; NaN passes through unchanged.
float clampScore(float value, float low, float high);

}  // namespace lm
