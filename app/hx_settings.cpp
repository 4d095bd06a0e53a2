#include "hx_settings.h"

#include <array>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace hx {

namespace {

// The text of every value of an enumeration, in value order: value i is texts[i].
template <typename Enum, std::size_t N>
struct TextTable {
    std::array<std::string_view, N> texts;
};

template <typename Enum, std::size_t N>
std::string textOf(const TextTable<Enum, N>& table, Enum value, std::string_view unknown) {
    const auto index = static_cast<std::int64_t>(value);
    if (index < 0 || index >= static_cast<std::int64_t>(N)) return std::string(unknown);
    return std::string(table.texts[static_cast<std::size_t>(index)]);
}

template <typename Enum, std::size_t N>
Enum valueOf(const TextTable<Enum, N>& table, const std::string& text, std::string_view error) {
    for (std::size_t i = 0; i < N; ++i) {
        if (table.texts[i] == text) return static_cast<Enum>(i);
    }
    throw std::runtime_error(std::string(error) + text);
}

constexpr std::string_view kUndefined = "Undefined";
constexpr std::string_view kEmpty = "";

const TextTable<Settings::SourceType, 3> kSourceTypeTexts{{"WEBCAM", "VIDEO_FILE", "VIDEO_STREAM"}};
const TextTable<Settings::RotateMode, 4> kRotateModeTexts{{"ROTATE_0", "ROTATE_90", "ROTATE_180",
                                                          "ROTATE_270"}};
const TextTable<Settings::TovexMode, 3> kTovexModeTexts{{"START_STOP", "START_START", "START_DURATION"}};
const TextTable<lm::Settings::LogLevel, 6> kLogLevelTexts{{"TRACE", "DEBUG", "INFO",
                                                          "WARN",  "ERR",   "CRITICAL"}};
const TextTable<lm::Settings::DnnTarget, 3> kDnnTargetTexts{{"CPU", "GPU", "GPU_MT"}};
const TextTable<lm::Settings::NetworkType, 2> kNetworkTypeTexts{{"NORMAL", "QUANTIZED"}};
const TextTable<lm::Settings::Range, 2> kRangeTexts{{"REGULAR", "LONG"}};
const TextTable<lm::Settings::TrackerFps, 4> kTrackerFpsTexts{{"DYNAMIC", "FPS_30", "FPS_10", "FPS_5"}};

}  // namespace

Settings::Settings() = default;

std::string Settings::getSourceTypeStr(const SourceType& type) {
    return textOf(kSourceTypeTexts, type, kUndefined);
}
Settings::SourceType Settings::stringToSourceType(const std::string& text) {
    return valueOf(kSourceTypeTexts, text, "Error loading settings file: invalid source type ");
}

std::string Settings::getRotateModeStr(RotateMode mode) {
    return textOf(kRotateModeTexts, mode, kUndefined);
}
Settings::RotateMode Settings::stringToRotateMode(const std::string& text) {
    return valueOf(kRotateModeTexts, text, "Error loading settings file: invalid rotate mode type ");
}

std::string Settings::getTovexModeStr(const TovexMode& mode) {
    return textOf(kTovexModeTexts, mode, kEmpty);
}
Settings::TovexMode Settings::stringToTovexMode(const std::string& text) {
    return valueOf(kTovexModeTexts, text, "Error loading settings file: invalid Tovex Mode ");
}

std::string Settings::getLogLevelStr(const LogLevel& level) {
    return textOf(kLogLevelTexts, level, kUndefined);
}
lm::Settings::LogLevel Settings::stringToLogLevel(const std::string& text) {
    return valueOf(kLogLevelTexts, text, "Error loading settings file: invalid log-level ");
}

std::string Settings::getDnnTargetStr(const DnnTarget& target) {
    return textOf(kDnnTargetTexts, target, kUndefined);
}
lm::Settings::DnnTarget Settings::stringToDnnTarget(const std::string& text) {
    return valueOf(kDnnTargetTexts, text, "Error loading settings file: invalid DNN-target ");
}

std::string Settings::getNetworkTypeStr(const NetworkType& type) {
    return textOf(kNetworkTypeTexts, type, kUndefined);
}
lm::Settings::NetworkType Settings::stringToNetworkType(const std::string& text) {
    return valueOf(kNetworkTypeTexts, text, "Error loading settings file: invalid network-type ");
}

std::string Settings::getDetectionRangeStr(Range range) { return textOf(kRangeTexts, range, kEmpty); }
lm::Settings::Range Settings::stringToRange(const std::string& text) {
    return valueOf(kRangeTexts, text, "Error loading settings file: invalid range ");
}

std::string Settings::getBodyTrackFpsStr(const TrackerFps& fps) {
    return textOf(kTrackerFpsTexts, fps, kEmpty);
}
lm::Settings::TrackerFps Settings::stringToBodyTrackFps(const std::string& text) {
    return valueOf(kTrackerFpsTexts, text, "Error loading settings file: invalid body tracker fps ");
}

// The file functions are completed in the next change; until then they do nothing.
void Settings::load(const std::filesystem::path&) {}
void Settings::jsonToSettings(const Poco::JSON::Object::Ptr&) {}
void Settings::checkSettings() const {}
std::string Settings::settingsToJsonString(unsigned int) const { return "{}"; }
void Settings::saveSettingsAsJson(const std::filesystem::path&) const {}
void Settings::logSettings() const {}

}  // namespace hx
