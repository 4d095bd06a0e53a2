#include "hx_settings_keys.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include <Poco/Exception.h>
#include <fmt/format.h>

namespace hx {

namespace {

using S = Settings;

// A number that does not fit its field's type is out of the key's range, told by the key
// and the value as the file has it.
template <typename T>
T valueOf(const Poco::JSON::Object& json, const std::string& key) {
    if constexpr (std::is_arithmetic_v<T> && !std::is_same_v<T, bool>) {
        try {
            return json.getValue<T>(key);
        } catch (const Poco::RangeException&) {
            throw invalidSetting(key, json.get(key).toString());
        }
    } else {
        return json.getValue<T>(key);
    }
}

// A value JSON carries as it is: a flag, a number or a text, with the field's own type.
template <typename T, typename Owner>
SettingsValue plain(T Owner::*field) {
    return {[field](const Poco::JSON::Object& json, const std::string& key, Settings& settings) {
                settings.*field = valueOf<T>(json, key);
            },
            [field](const Settings& settings) { return Poco::Dynamic::Var(settings.*field); },
            [field](const Settings& settings) { return fmt::format("{}", settings.*field); }};
}

// An enumeration, carried and shown as its word.
template <typename Enum, typename Owner, typename WordOf, typename ValueOf>
SettingsValue word(Enum Owner::*field, WordOf wordOf, ValueOf valueOf) {
    return {[field, valueOf](const Poco::JSON::Object& json, const std::string& key, Settings& settings) {
                settings.*field = valueOf(json.getValue<std::string>(key));
            },
            [field, wordOf](const Settings& settings) { return Poco::Dynamic::Var(wordOf(settings.*field)); },
            [field, wordOf](const Settings& settings) { return wordOf(settings.*field); }};
}

// An enumeration carried as its word, which the log shows by its number.
template <typename Enum, typename Owner, typename WordOf, typename ValueOf>
SettingsValue wordShownAsNumber(Enum Owner::*field, WordOf wordOf, ValueOf valueOf) {
    SettingsValue value = word(field, wordOf, valueOf);
    value.show = [field](const Settings& settings) {
        return fmt::format("{}", static_cast<std::int32_t>(settings.*field));
    };
    return value;
}

}  // namespace

std::runtime_error invalidSetting(std::string_view key, std::string_view value) {
    return std::runtime_error(fmt::format("Invalid setting: {} =  {} ", key, value));
}

const std::vector<SettingsKey>& settingsKeys() {
    // Each row: the key, its value, its {presence, read, log} ranks and, for keys that
    // share a log line, the line's label. The library's keys come first; they are checked
    // and read in orders of their own.
    static const std::vector<SettingsKey> keys{
        {"useAge", plain(&S::useAge), {0, 0, 4}},
        {"useEmotions", plain(&S::useEmotions), {1, 1, NOT_LOGGED}},
        {"useFaceMask", plain(&S::useFaceMask), {2, 2, 8}},
        {"useGender", plain(&S::useGender), {3, 3, 5}},
        {"useHeadpose", plain(&S::useHeadpose), {4, 4, 6}},
        {"useSmile", plain(&S::useSmile), {5, 5, 7}},
        {"detectionRange", word(&S::detectionRange, S::getDetectionRangeStr, S::stringToRange), {6, 13, NOT_LOGGED}},
        {"maxNumFaces", plain(&S::maxNumFaces), {7, 6, 10}},
        {"faceConfidenceThreshold", plain(&S::faceConfidenceThreshold), {13, 7, 9}},
        {"neuralNetworksPath", plain(&S::neuralNetworksPath), {8, 8, 0}},
        {"bodyTrackFps", word(&S::bodyTrackFps, S::getBodyTrackFpsStr, S::stringToBodyTrackFps), {12, 9, NOT_LOGGED}},
        {"dnnTarget", word(&S::dnnTarget, S::getDnnTargetStr, S::stringToDnnTarget), {10, 10, 2}},
        {"networkType", word(&S::networkType, S::getNetworkTypeStr, S::stringToNetworkType), {11, 11, 3}},
        {"logLevel", word(&S::logLevel, S::getLogLevelStr, S::stringToLogLevel), {9, 12, 1}},
        {"numThreads", plain(&S::numThreads), {14, 14, 11}},
        {"drawResult", plain(&S::drawResult), {15, 15, 20}},
        {"blurFaces", plain(&S::blurFaces), {16, 16, 21}},
        {"instanceName", plain(&S::instanceName), {17, 17, 22}},
        {"sourceType", word(&S::sourceType, S::getSourceTypeStr, S::stringToSourceType), {18, 18, 12}},
        {"webcamIndex", plain(&S::webcamIndex), {19, 19, 13}},
        {"videoFilePath", plain(&S::videoFilePath), {20, 20, 14}},
        {"videoStreamUrl", plain(&S::videoStreamUrl), {21, 21, 15}},
        {"resolutionWidth", plain(&S::resolutionWidth), {22, 22, 16}},
        {"resolutionHeight", plain(&S::resolutionHeight), {23, 23, 17}},
        {"loopVideo", plain(&S::loopVideo), {24, 24, 18}},
        {"processAllFrames", plain(&S::processAllFrames), {25, 25, 19}},
        {"flipHorizontally", plain(&S::flipHorizontally), {26, 26, 38}},
        {"flipVertically", plain(&S::flipVertically), {27, 27, 39}},
        {"rotateMode", word(&S::rotateMode, S::getRotateModeStr, S::stringToRotateMode), {28, 28, 40}},
        {"zoomFactor", plain(&S::zoomFactor), {29, 29, 41}},
        {"zoomCenterOffset_X", plain(&S::zoomCenterOffset_X), {30, 30, 42}, "zoomCenterOffset (x, y)"},
        {"zoomCenterOffset_Y", plain(&S::zoomCenterOffset_Y), {31, 31, 43}, "zoomCenterOffset (x, y)"},
        {"ROI_X", plain(&S::ROI_X), {32, 32, 44}, "ROI (x, y, w, h)"},
        {"ROI_Y", plain(&S::ROI_Y), {33, 33, 45}, "ROI (x, y, w, h)"},
        {"ROI_W", plain(&S::ROI_W), {34, 34, 46}, "ROI (x, y, w, h)"},
        {"ROI_H", plain(&S::ROI_H), {35, 35, 47}, "ROI (x, y, w, h)"},
        {"maxFaceSize", plain(&S::maxFaceSize), {36, 36, 48}},
        {"minFaceSize", plain(&S::minFaceSize), {37, 37, 49}},
        {"httpInterfacePort", plain(&S::httpInterfacePort), {38, 38, 24}},
        {"httpInterfaceSsl", plain(&S::httpInterfaceSsl), {39, 39, 25}},
        {"httpInterfaceSslKey", plain(&S::httpInterfaceSslKey), {40, 40, 26}},
        {"httpInterfaceSslCrt", plain(&S::httpInterfaceSslCrt), {41, 41, 27}},
        {"rawCsvEnabled", plain(&S::rawCsvEnabled), {42, 42, 28}},
        {"rawCsvPath", plain(&S::rawCsvPath), {43, 43, 29}},
        {"rawPullEnabled", plain(&S::rawPullEnabled), {44, 44, 36}},
        {"rawPushEnabled", plain(&S::rawPushEnabled), {45, 45, 32}},
        {"rawPushUrl", plain(&S::rawPushUrl), {46, 46, 33}},
        {"aggregationFrequency", plain(&S::aggregationFrequency), {47, 47, 23}},
        {"aggregatedCsvEnabled", plain(&S::aggregatedCsvEnabled), {48, 48, 30}},
        {"aggregatedCsvPath", plain(&S::aggregatedCsvPath), {49, 49, 31}},
        {"aggregatedPullEnabled", plain(&S::aggregatedPullEnabled), {50, 50, 37}},
        {"aggregatedPushEnabled", plain(&S::aggregatedPushEnabled), {51, 51, 34}},
        {"aggregatedPushUrl", plain(&S::aggregatedPushUrl), {52, 52, 35}},
        {"peopleCountEnabled", plain(&S::peopleCountEnabled), {53, 53, 50}},
        {"peopleCountFrequency", plain(&S::peopleCountFrequency), {54, 54, 56}},
        {"peopleCountCsvEnabled", plain(&S::peopleCountCsvEnabled), {55, 55, 54}},
        {"peopleCountCsvPath", plain(&S::peopleCountCsvPath), {56, 56, 55}},
        {"peopleCountPullEnabled", plain(&S::peopleCountPullEnabled), {57, 57, 51}},
        {"peopleCountPushEnabled", plain(&S::peopleCountPushEnabled), {58, 58, 52}},
        {"peopleCountPushUrl", plain(&S::peopleCountPushUrl), {59, 59, 53}},
        {"statusPushEnabled", plain(&S::statusPushEnabled), {60, 60, 57}},
        {"statusPushUrl", plain(&S::statusPushUrl), {61, 61, 58}},
        {"statusPullEnabled", plain(&S::statusPullEnabled), {62, 62, 59}},
        {"currentStatsEnabled", plain(&S::currentStatsEnabled), {63, 63, 60}},
        {"currentStatsDuration", plain(&S::currentStatsDuration), {64, 64, 61}},
        {"tovexEnabled", plain(&S::tovexEnabled), {65, 65, 62}},
        {"tovexMode", wordShownAsNumber(&S::tovexMode, S::getTovexModeStr, S::stringToTovexMode), {66, 66, 63}},
        {"tovexCsvEnabled", plain(&S::tovexCsvEnabled), {67, 67, 64}},
        {"tovexCsvPath", plain(&S::tovexCsvPath), {68, 68, 65}},
        {"tovexPushEnabled", plain(&S::tovexPushEnabled), {69, 69, 66}},
        {"tovexPushUrl", plain(&S::tovexPushUrl), {70, 70, 67}},
    };
    return keys;
}

std::vector<const SettingsKey*> settingsKeysInOrder(int SettingsKeyOrder::*pass) {
    std::vector<const SettingsKey*> ordered;
    for (const SettingsKey& key : settingsKeys()) {
        if (key.order.*pass >= 0) ordered.push_back(&key);
    }
    std::sort(ordered.begin(), ordered.end(),
              [pass](const SettingsKey* a, const SettingsKey* b) { return a->order.*pass < b->order.*pass; });
    return ordered;
}

}  // namespace hx
