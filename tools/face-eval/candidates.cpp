#include "candidates.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace faceeval {

namespace real = lm::models::real;

namespace {

auto blazeFace(real::BlazeFaceOptions options) {
    return [options](const real::WeightsDir& w, int width, int height) {
        return real::convertBlazeFace(w, width, height, options);
    };
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
    return parts;
}

real::BlazeFaceOptions blazeFaceOptions(const std::string& spelled) {
    real::BlazeFaceOptions options;
    for (const std::string& setting : split(spelled, '+')) {
        const auto equals = setting.find('=');
        if (equals == std::string::npos) throw std::invalid_argument("no value in " + setting);
        const std::string key = setting.substr(0, equals), value = setting.substr(equals + 1);
        if (key == "model") {
            if (value != "back" && value != "full") throw std::invalid_argument("no BlazeFace model called " + value);
            options.model = value == "full" ? real::BlazeFaceModel::FullRange : real::BlazeFaceModel::Back;
        } else if (key == "factors") {
            options.factors.clear();
            for (const std::string& factor : split(value, '/')) options.factors.push_back(std::stof(factor));
        } else if (key == "shift") {
            options.logitShift = std::stof(value);
        } else if (key == "scale") {
            options.boxScale = std::stof(value);
        } else if (key == "nms") {
            options.nmsThreshold = std::stof(value);
        } else {
            throw std::invalid_argument("no BlazeFace setting called " + key);
        }
    }
    return options;
}

}  // namespace

const std::vector<Candidate>& candidates() {
    static const std::vector<Candidate> list = {
        {"ssd-native", "SSD on the frame as it comes, anchors regenerated for the input size",
         [](const real::WeightsDir& w, int width, int height) {
             return real::convertFaceDetector(w, width, height, real::DetectorInput::Native);
         }},
        {"ssd-512", "SSD letterboxed to its trained 512 x 512 input inside the network, trained anchors",
         [](const real::WeightsDir& w, int width, int height) {
             return real::convertFaceDetector(w, width, height, real::DetectorInput::Letterbox512);
         }},
        {"blazeface", "BlazeFace on the frame as it comes", blazeFace({real::BlazeFaceModel::Back, {1}})},
        {"blazeface-2", "BlazeFace on the frame and on the frame at half size",
         blazeFace({real::BlazeFaceModel::Back, {1, 2}})},
        {"blazeface-full", "full-range BlazeFace on the frame as it comes",
         blazeFace({real::BlazeFaceModel::FullRange, {1}})},
        {"blazeface-shipped", "BlazeFace as shipped for REGULAR: two scales, calibrated for 0.8",
         blazeFace(real::shippedBlazeFace())},
    };
    return list;
}

}  // namespace faceeval

namespace faceeval {

Candidate candidateNamed(const std::string& name) {
    const std::string variant = "blazeface:";
    if (name.rfind(variant, 0) == 0)
        return {name, "BlazeFace variant", blazeFace(blazeFaceOptions(name.substr(variant.size())))};
    const auto candidate =
        std::find_if(candidates().begin(), candidates().end(), [&](const Candidate& c) { return c.name == name; });
    if (candidate == candidates().end()) throw std::invalid_argument("no face network called " + name);
    return *candidate;
}

}  // namespace faceeval
