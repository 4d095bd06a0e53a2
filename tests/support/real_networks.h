#pragma once
// The real networks for benchmarks: one model directory converted from the fetched weights
// per process, each network read back through the project's IR reader, and the input blob
// its stage feeds it, so raw Net::forward times stay comparable between benchmarks.

#include <map>
#include <string>

#include <opencv2/dnn.hpp>

#include "real/real_models.h"
#include "support/real_media.h"
#include "support/temp_dir.h"
#include "util/crypt.h"
#include "util/filesystem.h"
#include "util/ir_reader.h"

namespace lmtest::real_networks {

// Every role converted once; nullptr when the weights are missing.
inline const std::string* modelsDir() {
    static const lmtest::TempDir dir;
    static const bool ok = [] {
        if (!real_media::weightsPresent()) return false;
        lm::models::real::writeRealModels({real_media::weightsRoot()}, dir.path().string());
        return true;
    }();
    static const std::string path = dir.path().string();
    return ok ? &path : nullptr;
}

inline cv::dnn::Net load(const std::string& base, bool quantized) {
    const std::string stem = *modelsDir() + "/" + base + (quantized ? "_quantized" : "");
    const std::string xml =
        lm::crypt::decryptString(lm::fs::readFile(stem + ".xml.enc"), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
    const std::string bin =
        lm::crypt::decryptString(lm::fs::readFile(stem + ".bin.enc"), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
    return lm::dnn::readNetFromIR(xml.data(), xml.size(), bin.data(), bin.size());
}

struct Role {
    cv::Size size;
    cv::Scalar mean;
    double scale;
    bool body;  // fed a vtest frame instead of the astronaut
};

inline const std::map<std::string, Role>& roles() {
    static const std::map<std::string, Role> table = {
        {"detect_regular", {{640, 480}, {123, 117, 104}, 1.0, false}},
        {"detect_long", {{1024, 768}, {123, 117, 104}, 1.0, false}},
        {"agegender", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"headpose", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"emotion", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"smile", {{64, 64}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"facemask", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"faceverify", {{112, 112}, {131.0912, 103.8827, 91.4953}, 1.0, false}},
        {"bodydetect", {{640, 480}, {123, 117, 104}, 1.0, true}},
        {"bodyencoder", {{128, 256}, {123.675, 116.28, 103.56}, 0.01735207357279195, true}},
    };
    return table;
}

// The astronaut, or vtest.avi frame 300 for the body roles; empty when the media are missing.
inline cv::Mat sampleFor(const Role& role) {
    if (!role.body) return cv::imread(real_media::SKIMAGE + "astronaut.png");
    cv::VideoCapture capture(real_media::OPENCV_DATA + "vtest.avi");
    capture.set(cv::CAP_PROP_POS_FRAMES, 300);
    cv::Mat frame;
    capture >> frame;
    return frame;
}

inline cv::Mat blobFor(const Role& role, const cv::Mat& sample) {
    return cv::dnn::blobFromImage(sample, role.scale, role.size, role.mean, true, false);
}

}  // namespace lmtest::real_networks
