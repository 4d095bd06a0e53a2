#pragma once
// The command lines of the people-count tools: pairs of `--key value`.

#include <map>
#include <set>
#include <string>

#include <lumora/lm_settings.h>

namespace people_count {

// Values by key. Throws std::invalid_argument naming a key that is not in `known` or that
// has no value.
std::map<std::string, std::string> parseOptions(int argc, char** argv, const std::set<std::string>& known);

// The value given for `key`, or `fallback`.
std::string valueOr(const std::map<std::string, std::string>& values, const std::string& key,
                    const std::string& fallback = "");

// The body tracker's rate class of a --body-fps value: dynamic, 30, 10 or 5.
lm::Settings::TrackerFps rateClass(const std::string& name);

}  // namespace people_count
