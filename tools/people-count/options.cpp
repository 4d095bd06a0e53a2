#include "options.h"

#include <stdexcept>

namespace people_count {

std::map<std::string, std::string> parseOptions(int argc, char** argv, const std::set<std::string>& known) {
    std::map<std::string, std::string> values;
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        if (known.count(key) == 0) throw std::invalid_argument("unknown option " + key);
        if (i + 1 >= argc) throw std::invalid_argument("option " + key + " needs a value");
        values[key] = argv[i + 1];
    }
    return values;
}

std::string valueOr(const std::map<std::string, std::string>& values, const std::string& key,
                    const std::string& fallback) {
    const auto found = values.find(key);
    return found == values.end() ? fallback : found->second;
}

lm::Settings::TrackerFps rateClass(const std::string& name) {
    if (name == "dynamic") return lm::Settings::DYNAMIC;
    if (name == "30") return lm::Settings::FPS_30;
    if (name == "10") return lm::Settings::FPS_10;
    if (name == "5") return lm::Settings::FPS_5;
    throw std::invalid_argument("--body-fps takes dynamic, 30, 10 or 5");
}

}  // namespace people_count
