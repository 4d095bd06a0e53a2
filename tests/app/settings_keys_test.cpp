// The table of settings keys: every pass takes each key once, and every row carries its
// own field through the file and into its own line of the log.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <Poco/JSON/Parser.h>

#include "hx_settings.h"
#include "hx_settings_keys.h"
#include "support/log_capture.h"
#include "support/sample_settings.h"

namespace {

using S = hx::Settings;

Poco::JSON::Object::Ptr objectOf(const S& settings) {
    Poco::JSON::Parser parser;
    return parser.parse(settings.settingsToJsonString(0)).extract<Poco::JSON::Object::Ptr>();
}

// Key -> value as the file writes it.
std::map<std::string, std::string> fileValues(const S& settings) {
    const auto json = objectOf(settings);
    std::map<std::string, std::string> values;
    for (const auto& [key, value] : *json) values[key] = value.toString();
    return values;
}

// The settings log's lines, without the two heading lines.
std::vector<std::string> logLines(const S& settings) {
    lmtest::LogCapture log;
    settings.logSettings();
    std::vector<std::string> lines;
    std::istringstream text(log.texts().at(0));
    for (std::string line; std::getline(text, line);) {
        if (line.rfind("  ", 0) == 0) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> linesMissingFrom(const std::vector<std::string>& lines,
                                          const std::vector<std::string>& others) {
    std::vector<std::string> missing;
    for (const std::string& line : lines) {
        if (std::find(others.begin(), others.end(), line) == others.end()) missing.push_back(line);
    }
    return missing;
}

std::vector<int> ranksOf(int hx::SettingsKeyOrder::*pass) {
    std::vector<int> ranks;
    for (const hx::SettingsKey& key : hx::settingsKeys()) {
        if (key.order.*pass != hx::NOT_LOGGED) ranks.push_back(key.order.*pass);
    }
    std::sort(ranks.begin(), ranks.end());
    return ranks;
}

std::vector<int> countingFromZero(std::size_t count) {
    std::vector<int> ranks(count);
    for (std::size_t i = 0; i < count; ++i) ranks[i] = static_cast<int>(i);
    return ranks;
}

}  // namespace

TEST(SettingsKeys, EachPassTakesEveryKeyOnce) {
    const auto& keys = hx::settingsKeys();
    std::set<std::string> names;
    for (const hx::SettingsKey& key : keys) EXPECT_TRUE(names.insert(key.name).second) << key.name << " twice";
    EXPECT_EQ(keys.size(), 71u);

    EXPECT_EQ(ranksOf(&hx::SettingsKeyOrder::presence), countingFromZero(keys.size()));
    EXPECT_EQ(ranksOf(&hx::SettingsKeyOrder::read), countingFromZero(keys.size()));
    const std::vector<int> logRanks = ranksOf(&hx::SettingsKeyOrder::log);
    EXPECT_EQ(logRanks, countingFromZero(logRanks.size()));
    EXPECT_EQ(keys.size() - logRanks.size(), 3u);  // useEmotions, detectionRange and bodyTrackFps
}

// For every row alone: a file that differs from the defaults' file in that key only is read
// and written back with that one key changed, and the log changes in that key's line only.
TEST(SettingsKeys, EveryRowCarriesItsOwnFieldThroughTheFileAndTheLog) {
    const auto sample = objectOf(lmtest::sampleSettings());
    const std::map<std::string, std::string> defaults = fileValues(S());
    const std::vector<std::string> defaultLog = logLines(S());
    for (const hx::SettingsKey& key : hx::settingsKeys()) {
        SCOPED_TRACE(key.name);
        auto json = objectOf(S());
        json->set(key.name, sample->get(key.name));
        S read;
        read.jsonToSettings(json);

        std::map<std::string, std::string> expected = defaults;
        expected[key.name] = sample->get(key.name).toString();
        ASSERT_NE(expected, defaults) << "the sample must differ from the defaults in every key";
        EXPECT_EQ(fileValues(read), expected);

        const std::vector<std::string> log = logLines(read);
        const std::vector<std::string> changed = linesMissingFrom(log, defaultLog);
        if (key.order.log == hx::NOT_LOGGED) {
            EXPECT_EQ(log, defaultLog);
            continue;
        }
        const std::string label = key.logLabel.empty() ? key.name : key.logLabel;
        ASSERT_EQ(changed.size(), 1u);
        EXPECT_EQ(changed[0].rfind("  " + label + " = ", 0), 0u) << changed[0];
        EXPECT_EQ(linesMissingFrom(defaultLog, log).size(), 1u);
    }
}
