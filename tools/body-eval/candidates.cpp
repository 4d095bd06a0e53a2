#include "candidates.h"

#include <algorithm>
#include <regex>
#include <stdexcept>

namespace bodyeval {

namespace real = lm::models::real;

const std::vector<Candidate>& candidates() {
    static const std::vector<Candidate> list = {
        {"centernet-640x480", {640, 480, false}},       {"centernet-640x480-hswish", {640, 480, true}},
        {"centernet-512x384-hswish", {512, 384, true}}, {"centernet-384x288-hswish", {384, 288, true}},
        {"centernet-320x256-hswish", {320, 256, true}}, {"centernet-256x192-hswish", {256, 192, true}},
    };
    return list;
}

Candidate candidateNamed(const std::string& name) {
    const auto listed =
        std::find_if(candidates().begin(), candidates().end(), [&](const Candidate& c) { return c.name == name; });
    if (listed != candidates().end()) return *listed;
    if (name == "shipped") return {name, real::shippedBodyDetector()};
    static const std::regex spelled("centernet-([0-9]+)x([0-9]+)(-hswish)?(-split)?(-shift=([-0-9.]+))?");
    std::smatch m;
    if (!std::regex_match(name, m, spelled)) throw std::invalid_argument("no body detector called " + name);
    real::BodyDetectorOptions options{std::stoi(m[1]), std::stoi(m[2]), m[3].matched, m[4].matched};
    if (m[6].matched) options.logitShift = std::stof(m[6]);
    return {name, options};
}

}  // namespace bodyeval
