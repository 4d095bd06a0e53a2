#pragma once
// Where the fetched pretrained weights and Debian's sample media are, for the tests and
// benchmarks of the real networks. Both are optional on a machine: callers skip when
// weightsPresent() or samplesPresent() says they are missing (scripts/setup installs both).

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "real/converters.h"

namespace lmtest::real_media {

const std::string SKIMAGE = "/usr/lib/python3/dist-packages/skimage/data/";
const std::string OPENCV_DATA = "/usr/share/doc/opencv-doc/examples/data/";
const std::string OPENCV_HTML = "/usr/share/doc/opencv-doc/opencv4/html/";

// LUMORA_WEIGHTS_DIR, else the source tree's .cache/weights (where scripts/fetch-weights puts them).
inline std::string weightsRoot() {
    if (const char* dir = std::getenv("LUMORA_WEIGHTS_DIR")) return dir;
    if (const char* src = std::getenv("LUMORA_SOURCE_DIR")) return std::string(src) + "/.cache/weights";
    return (std::filesystem::path(__FILE__).parent_path() / "../../.cache/weights").string();
}

inline bool weightsPresent() {
    const lm::models::real::WeightsDir dir{weightsRoot()};
    return std::filesystem::exists(dir.faceApi("ssd_mobilenetv1_model.bin")) &&
           std::filesystem::exists(dir.human("centernet.bin")) &&
           std::filesystem::exists(dir.humanModels("blazeface-back.bin"));
}

inline bool samplesPresent() {
    return std::filesystem::exists(SKIMAGE + "astronaut.png") && std::filesystem::exists(OPENCV_DATA + "vtest.avi") &&
           std::filesystem::exists(OPENCV_HTML + "227943776_1.jpg");
}

inline cv::Mat image(const std::string& path) {
    cv::Mat m = cv::imread(path);
    if (m.empty()) throw std::runtime_error("cannot read " + path);
    return m;
}

// Frames first .. first + count - 1 of vtest.avi (768 x 576, people walking).
inline std::vector<cv::Mat> videoFrames(int first, int count) {
    cv::VideoCapture capture(OPENCV_DATA + "vtest.avi");
    capture.set(cv::CAP_PROP_POS_FRAMES, first);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i) {
        cv::Mat frame;
        capture >> frame;
        if (frame.empty()) throw std::runtime_error("cannot read vtest.avi frame " + std::to_string(first + i));
        frames.push_back(frame);
    }
    return frames;
}

inline cv::Mat videoFrame(int index) { return videoFrames(index, 1).front(); }

}  // namespace lmtest::real_media
