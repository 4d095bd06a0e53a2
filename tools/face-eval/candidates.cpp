#include "candidates.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace faceeval {

namespace real = lm::models::real;

namespace {

auto blazeFace(real::BlazeFaceOptions options) {
    return [options](const real::WeightsDir& w, int width, int height) {
        return real::convertBlazeFace(w, width, height, options);
    };
}

auto faceBoxes(real::FaceBoxesOptions options) {
    return [options](const real::WeightsDir& w, int width, int height) {
        return real::convertFaceBoxes(w, width, height, options);
    };
}

// FaceBoxes calibrated as the shipped BlazeFace was: its logits shifted so that 0.8 keeps
// what rawThreshold keeps, the lowest raw threshold with at most 0.05 false faces a frame on
// the 640 x 480 tuning scenes (found with the raw "faceboxes:factors=..." variants).
real::FaceBoxesOptions calibratedFaceBoxes(std::vector<float> factors, float rawThreshold) {
    const auto logit = [](float p) { return std::log(p / (1.0f - p)); };
    real::FaceBoxesOptions options;
    options.factors = std::move(factors);
    options.logitShift = logit(0.8f) - logit(rawThreshold);
    return options;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, separator);) parts.push_back(part);
    return parts;
}

std::vector<float> factorList(const std::string& spelled) {
    std::vector<float> factors;
    for (const std::string& factor : split(spelled, '/')) factors.push_back(std::stof(factor));
    return factors;
}

// "key=value+key=value" as its pairs.
std::vector<std::pair<std::string, std::string>> settingsOf(const std::string& spelled) {
    std::vector<std::pair<std::string, std::string>> settings;
    for (const std::string& setting : split(spelled, '+')) {
        const auto equals = setting.find('=');
        if (equals == std::string::npos) throw std::invalid_argument("no value in " + setting);
        settings.emplace_back(setting.substr(0, equals), setting.substr(equals + 1));
    }
    return settings;
}

real::BlazeFaceOptions blazeFaceOptions(const std::string& spelled) {
    real::BlazeFaceOptions options;
    for (const auto& [key, value] : settingsOf(spelled)) {
        if (key == "model") {
            if (value != "back" && value != "full") throw std::invalid_argument("no BlazeFace model called " + value);
            options.model = value == "full" ? real::BlazeFaceModel::FullRange : real::BlazeFaceModel::Back;
        } else if (key == "factors") {
            options.factors = factorList(value);
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

real::FaceBoxesOptions faceBoxesOptions(const std::string& spelled) {
    real::FaceBoxesOptions options;
    for (const auto& [key, value] : settingsOf(spelled)) {
        if (key == "factors") {
            options.factors = factorList(value);
        } else if (key == "shift") {
            options.logitShift = std::stof(value);
        } else if (key == "nms") {
            options.nmsThreshold = std::stof(value);
        } else {
            throw std::invalid_argument("no FaceBoxes setting called " + key);
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
        {"blazeface-long-shipped", "BlazeFace as shipped for LONG: two scales, logit shift 0.3 for its second look",
         blazeFace(real::shippedLongBlazeFace())},
        {"faceboxes", "FaceBoxes on the frame as it comes, calibrated for 0.8 (raw 0.275)",
         faceBoxes(calibratedFaceBoxes({1}, 0.275f))},
        {"faceboxes-1.5", "FaceBoxes on the frame and on the frame enlarged 1.5 times, calibrated for 0.8 (raw 0.466)",
         faceBoxes(calibratedFaceBoxes({1, 2.0f / 3.0f}, 0.466f))},
        {"faceboxes-2", "FaceBoxes on the frame enlarged twice alone, calibrated for 0.8 (raw 0.52)",
         faceBoxes(calibratedFaceBoxes({0.5f}, 0.52f))},
    };
    return list;
}

}  // namespace faceeval

namespace faceeval {

Candidate candidateNamed(const std::string& name) {
    const std::string variant = "blazeface:";
    if (name.rfind(variant, 0) == 0)
        return {name, "BlazeFace variant", blazeFace(blazeFaceOptions(name.substr(variant.size())))};
    const std::string faceBoxesVariant = "faceboxes:";
    if (name.rfind(faceBoxesVariant, 0) == 0)
        return {name, "FaceBoxes variant", faceBoxes(faceBoxesOptions(name.substr(faceBoxesVariant.size())))};
    const auto candidate =
        std::find_if(candidates().begin(), candidates().end(), [&](const Candidate& c) { return c.name == name; });
    if (candidate == candidates().end()) throw std::invalid_argument("no face network called " + name);
    return *candidate;
}

}  // namespace faceeval
