#include "hx_settings.h"

#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <Poco/JSONString.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <lumora/lm_lumora.h>

#include "hx_log.h"

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
const TextTable<Settings::RotateMode, 4> kRotateModeTexts{{"ROTATE_0", "ROTATE_90", "ROTATE_180", "ROTATE_270"}};
const TextTable<Settings::TovexMode, 3> kTovexModeTexts{{"START_STOP", "START_START", "START_DURATION"}};
const TextTable<lm::Settings::LogLevel, 6> kLogLevelTexts{{"TRACE", "DEBUG", "INFO", "WARN", "ERR", "CRITICAL"}};
const TextTable<lm::Settings::DnnTarget, 3> kDnnTargetTexts{{"CPU", "GPU", "GPU_MT"}};
const TextTable<lm::Settings::NetworkType, 2> kNetworkTypeTexts{{"NORMAL", "QUANTIZED"}};
const TextTable<lm::Settings::Range, 2> kRangeTexts{{"REGULAR", "LONG"}};
const TextTable<lm::Settings::TrackerFps, 4> kTrackerFpsTexts{{"DYNAMIC", "FPS_30", "FPS_10", "FPS_5"}};

}  // namespace

Settings::Settings() = default;

std::string Settings::getSourceTypeStr(const SourceType& type) { return textOf(kSourceTypeTexts, type, kUndefined); }
Settings::SourceType Settings::stringToSourceType(const std::string& text) {
    return valueOf(kSourceTypeTexts, text, "Error loading settings file: invalid source type ");
}

std::string Settings::getRotateModeStr(RotateMode mode) { return textOf(kRotateModeTexts, mode, kUndefined); }
Settings::RotateMode Settings::stringToRotateMode(const std::string& text) {
    return valueOf(kRotateModeTexts, text, "Error loading settings file: invalid rotate mode type ");
}

std::string Settings::getTovexModeStr(const TovexMode& mode) { return textOf(kTovexModeTexts, mode, kEmpty); }
Settings::TovexMode Settings::stringToTovexMode(const std::string& text) {
    return valueOf(kTovexModeTexts, text, "Error loading settings file: invalid Tovex Mode ");
}

std::string Settings::getLogLevelStr(const LogLevel& level) { return textOf(kLogLevelTexts, level, kUndefined); }
lm::Settings::LogLevel Settings::stringToLogLevel(const std::string& text) {
    return valueOf(kLogLevelTexts, text, "Error loading settings file: invalid log-level ");
}

std::string Settings::getDnnTargetStr(const DnnTarget& target) { return textOf(kDnnTargetTexts, target, kUndefined); }
lm::Settings::DnnTarget Settings::stringToDnnTarget(const std::string& text) {
    return valueOf(kDnnTargetTexts, text, "Error loading settings file: invalid DNN-target ");
}

std::string Settings::getNetworkTypeStr(const NetworkType& type) { return textOf(kNetworkTypeTexts, type, kUndefined); }
lm::Settings::NetworkType Settings::stringToNetworkType(const std::string& text) {
    return valueOf(kNetworkTypeTexts, text, "Error loading settings file: invalid network-type ");
}

std::string Settings::getDetectionRangeStr(Range range) { return textOf(kRangeTexts, range, kEmpty); }
lm::Settings::Range Settings::stringToRange(const std::string& text) {
    return valueOf(kRangeTexts, text, "Error loading settings file: invalid range ");
}

std::string Settings::getBodyTrackFpsStr(const TrackerFps& fps) { return textOf(kTrackerFpsTexts, fps, kEmpty); }
lm::Settings::TrackerFps Settings::stringToBodyTrackFps(const std::string& text) {
    return valueOf(kTrackerFpsTexts, text, "Error loading settings file: invalid body tracker fps ");
}

namespace {

// Every key of the settings file, in the order in which the reader checks that they are
// present: the file order, except that the library's model and system keys come as a group.
const std::vector<std::string> hxSettingsJsonFields{"useAge",
                                                    "useEmotions",
                                                    "useFaceMask",
                                                    "useGender",
                                                    "useHeadpose",
                                                    "useSmile",
                                                    "detectionRange",
                                                    "maxNumFaces",
                                                    "neuralNetworksPath",
                                                    "logLevel",
                                                    "dnnTarget",
                                                    "networkType",
                                                    "bodyTrackFps",
                                                    "faceConfidenceThreshold",
                                                    "numThreads",
                                                    "drawResult",
                                                    "blurFaces",
                                                    "instanceName",
                                                    "sourceType",
                                                    "webcamIndex",
                                                    "videoFilePath",
                                                    "videoStreamUrl",
                                                    "resolutionWidth",
                                                    "resolutionHeight",
                                                    "loopVideo",
                                                    "processAllFrames",
                                                    "flipHorizontally",
                                                    "flipVertically",
                                                    "rotateMode",
                                                    "zoomFactor",
                                                    "zoomCenterOffset_X",
                                                    "zoomCenterOffset_Y",
                                                    "ROI_X",
                                                    "ROI_Y",
                                                    "ROI_W",
                                                    "ROI_H",
                                                    "maxFaceSize",
                                                    "minFaceSize",
                                                    "httpInterfacePort",
                                                    "httpInterfaceSsl",
                                                    "httpInterfaceSslKey",
                                                    "httpInterfaceSslCrt",
                                                    "rawCsvEnabled",
                                                    "rawCsvPath",
                                                    "rawPullEnabled",
                                                    "rawPushEnabled",
                                                    "rawPushUrl",
                                                    "aggregationFrequency",
                                                    "aggregatedCsvEnabled",
                                                    "aggregatedCsvPath",
                                                    "aggregatedPullEnabled",
                                                    "aggregatedPushEnabled",
                                                    "aggregatedPushUrl",
                                                    "peopleCountEnabled",
                                                    "peopleCountFrequency",
                                                    "peopleCountCsvEnabled",
                                                    "peopleCountCsvPath",
                                                    "peopleCountPullEnabled",
                                                    "peopleCountPushEnabled",
                                                    "peopleCountPushUrl",
                                                    "statusPushEnabled",
                                                    "statusPushUrl",
                                                    "statusPullEnabled",
                                                    "currentStatsEnabled",
                                                    "currentStatsDuration",
                                                    "tovexEnabled",
                                                    "tovexMode",
                                                    "tovexCsvEnabled",
                                                    "tovexCsvPath",
                                                    "tovexPushEnabled",
                                                    "tovexPushUrl"};

// Inclusive range test written so that a NaN is out of every range.
bool within(float value, float low, float high) { return value >= low && value <= high; }

template <typename T>
void readValue(const Poco::JSON::Object& object, const std::string& key, T& field) {
    field = object.getValue<T>(key);
}

std::string readText(const Poco::JSON::Object& object, const std::string& key) {
    return object.getValue<std::string>(key);
}

// Writes the whole text to the descriptor; false on any failure, a full disk included.
bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Replaces the file at target with text so that the target holds either its old content
// or the whole new one, never a part: the text goes to a temporary file in the same
// directory, which is synced, closed and renamed over the target only when all of that
// succeeded. A symbolic link is followed, so the file it names is replaced, not the link.
// Returns false (and leaves no temporary file behind) on any failure.
bool replaceFileContent(const std::filesystem::path& target, const std::string& text) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path file = target;
    if (fs::is_symlink(fs::symlink_status(target, error))) {
        file = fs::weakly_canonical(target, error);
        if (error) return false;
    }
    const fs::file_status status = fs::status(file, error);
    const bool exists = fs::exists(status);
    // A device or directory is never replaced by a regular file.
    if (exists && !fs::is_regular_file(status)) return false;

    const fs::path directory = file.has_parent_path() ? file.parent_path() : fs::path(".");
    std::string temporary = (directory / ("." + file.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;

    const mode_t mode = exists ? static_cast<mode_t>(status.permissions() & fs::perms::mask) : 0644;
    bool ok = ::fchmod(fd, mode) == 0;
    ok = ok && writeAll(fd, text);
    ok = ok && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    ok = ok && ::rename(temporary.c_str(), file.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
}

}  // namespace

void Settings::load(const std::filesystem::path& path) {
    if (!std::filesystem::exists(path)) {
        if (auto log = harbixLog()) {
            log->info("Lumora Harbix setting file not found. Creating a default one: {}", path.string());
        }
        saveSettingsAsJson(path);
        return;
    }
    if (!std::filesystem::is_regular_file(path)) {
        throw std::runtime_error("Settings file is not a regular file : " + path.string());
    }
    std::ifstream stream(path);
    Poco::JSON::Parser parser;
    const Poco::Dynamic::Var root = parser.parse(stream);
    jsonToSettings(root.extract<Poco::JSON::Object::Ptr>());
}

void Settings::jsonToSettings(const Poco::JSON::Object::Ptr& object) {
    const Poco::JSON::Object& json = *object;
    for (const std::string& key : hxSettingsJsonFields) {
        if (!json.has(key)) throw std::runtime_error("Field missing in settings JSON object: " + key);
    }

    readValue(json, "useAge", useAge);
    readValue(json, "useEmotions", useEmotions);
    readValue(json, "useFaceMask", useFaceMask);
    readValue(json, "useGender", useGender);
    readValue(json, "useHeadpose", useHeadpose);
    readValue(json, "useSmile", useSmile);
    // The library's pixel sizes follow from the fractions once the frame size is known.
    lm::Settings::minFaceSize = 0;
    lm::Settings::maxFaceSize = 0;
    readValue(json, "maxNumFaces", maxNumFaces);
    readValue(json, "faceConfidenceThreshold", faceConfidenceThreshold);
    readValue(json, "neuralNetworksPath", neuralNetworksPath);
    bodyTrackFps = stringToBodyTrackFps(readText(json, "bodyTrackFps"));
    dnnTarget = stringToDnnTarget(readText(json, "dnnTarget"));
    networkType = stringToNetworkType(readText(json, "networkType"));
    logLevel = stringToLogLevel(readText(json, "logLevel"));
    detectionRange = stringToRange(readText(json, "detectionRange"));
    readValue(json, "numThreads", numThreads);

    readValue(json, "drawResult", drawResult);
    readValue(json, "blurFaces", blurFaces);
    readValue(json, "instanceName", instanceName);
    sourceType = stringToSourceType(readText(json, "sourceType"));
    readValue(json, "webcamIndex", webcamIndex);
    readValue(json, "videoFilePath", videoFilePath);
    readValue(json, "videoStreamUrl", videoStreamUrl);
    readValue(json, "resolutionWidth", resolutionWidth);
    readValue(json, "resolutionHeight", resolutionHeight);
    readValue(json, "loopVideo", loopVideo);
    readValue(json, "processAllFrames", processAllFrames);
    readValue(json, "flipHorizontally", flipHorizontally);
    readValue(json, "flipVertically", flipVertically);
    rotateMode = stringToRotateMode(readText(json, "rotateMode"));
    readValue(json, "zoomFactor", zoomFactor);
    readValue(json, "zoomCenterOffset_X", zoomCenterOffset_X);
    readValue(json, "zoomCenterOffset_Y", zoomCenterOffset_Y);
    readValue(json, "ROI_X", ROI_X);
    readValue(json, "ROI_Y", ROI_Y);
    readValue(json, "ROI_W", ROI_W);
    readValue(json, "ROI_H", ROI_H);
    readValue(json, "maxFaceSize", maxFaceSize);
    readValue(json, "minFaceSize", minFaceSize);
    readValue(json, "httpInterfacePort", httpInterfacePort);
    readValue(json, "httpInterfaceSsl", httpInterfaceSsl);
    readValue(json, "httpInterfaceSslKey", httpInterfaceSslKey);
    readValue(json, "httpInterfaceSslCrt", httpInterfaceSslCrt);
    readValue(json, "rawCsvEnabled", rawCsvEnabled);
    readValue(json, "rawCsvPath", rawCsvPath);
    readValue(json, "rawPullEnabled", rawPullEnabled);
    readValue(json, "rawPushEnabled", rawPushEnabled);
    readValue(json, "rawPushUrl", rawPushUrl);
    readValue(json, "aggregationFrequency", aggregationFrequency);
    readValue(json, "aggregatedCsvEnabled", aggregatedCsvEnabled);
    readValue(json, "aggregatedCsvPath", aggregatedCsvPath);
    readValue(json, "aggregatedPullEnabled", aggregatedPullEnabled);
    readValue(json, "aggregatedPushEnabled", aggregatedPushEnabled);
    readValue(json, "aggregatedPushUrl", aggregatedPushUrl);
    readValue(json, "peopleCountEnabled", peopleCountEnabled);
    readValue(json, "peopleCountFrequency", peopleCountFrequency);
    readValue(json, "peopleCountCsvEnabled", peopleCountCsvEnabled);
    readValue(json, "peopleCountCsvPath", peopleCountCsvPath);
    readValue(json, "peopleCountPullEnabled", peopleCountPullEnabled);
    readValue(json, "peopleCountPushEnabled", peopleCountPushEnabled);
    readValue(json, "peopleCountPushUrl", peopleCountPushUrl);
    readValue(json, "statusPushEnabled", statusPushEnabled);
    readValue(json, "statusPushUrl", statusPushUrl);
    readValue(json, "statusPullEnabled", statusPullEnabled);
    readValue(json, "currentStatsEnabled", currentStatsEnabled);
    readValue(json, "currentStatsDuration", currentStatsDuration);
    readValue(json, "tovexEnabled", tovexEnabled);
    tovexMode = stringToTovexMode(readText(json, "tovexMode"));
    readValue(json, "tovexCsvEnabled", tovexCsvEnabled);
    readValue(json, "tovexCsvPath", tovexCsvPath);
    readValue(json, "tovexPushEnabled", tovexPushEnabled);
    readValue(json, "tovexPushUrl", tovexPushUrl);

    checkSettings();
}

void Settings::checkSettings() const {
    // Unsigned, so 0 wraps round and fails the same test as a value above 3600.
    if (peopleCountFrequency - 1u > 3599u) {
        throw std::runtime_error(fmt::format("Invalid setting: peopleCountFrequency =  {} ", peopleCountFrequency));
    }
    if (aggregationFrequency - 1u > 3599u) {
        throw std::runtime_error(fmt::format("Invalid setting: aggregationFrequency =  {} ", aggregationFrequency));
    }
    if (!within(zoomFactor, 1.0f, 100.0f)) {
        throw std::runtime_error(fmt::format("Invalid setting: zoom_factor =  {} ", zoomFactor));
    }
    if (!within(ROI_X, 0.0f, 1.0f) || !within(ROI_Y, 0.0f, 1.0f) || !within(ROI_W, 0.0f, 1.0f) ||
        !within(ROI_H, 0.0f, 1.0f)) {
        throw std::runtime_error("Invalid setting. ROI values should be between 0-1");
    }
    if (!within(minFaceSize, 0.0f, 1.0f)) {
        throw std::runtime_error("Invalid setting. minFaceSize should be between 0-1");
    }
    if (!within(maxFaceSize, 0.0f, 1.0f)) {
        throw std::runtime_error("Invalid setting. maxFaceSize should be between 0-1");
    }
    if (!within(zoomCenterOffset_X, 0.0f, 1.0f) || !within(zoomCenterOffset_Y, 0.0f, 1.0f)) {
        throw std::runtime_error("Invalid setting. zoomCenterOffset values should be between 0-1");
    }
}

std::string Settings::settingsToJsonString(unsigned int indent) const {
    Poco::JSON::Object::Ptr json = new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
    json->set("useAge", useAge);
    json->set("useEmotions", useEmotions);
    json->set("useFaceMask", useFaceMask);
    json->set("useGender", useGender);
    json->set("useHeadpose", useHeadpose);
    json->set("useSmile", useSmile);
    json->set("detectionRange", getDetectionRangeStr(detectionRange));
    json->set("maxNumFaces", static_cast<int>(maxNumFaces));
    json->set("faceConfidenceThreshold", faceConfidenceThreshold);
    json->set("neuralNetworksPath", neuralNetworksPath);
    json->set("bodyTrackFps", getBodyTrackFpsStr(bodyTrackFps));
    json->set("dnnTarget", getDnnTargetStr(dnnTarget));
    json->set("networkType", getNetworkTypeStr(networkType));
    json->set("logLevel", getLogLevelStr(logLevel));
    json->set("numThreads", static_cast<int>(numThreads));
    json->set("drawResult", drawResult);
    json->set("blurFaces", blurFaces);
    json->set("instanceName", instanceName);
    json->set("sourceType", getSourceTypeStr(sourceType));
    json->set("webcamIndex", static_cast<int>(webcamIndex));
    json->set("videoFilePath", videoFilePath);
    json->set("videoStreamUrl", videoStreamUrl);
    json->set("resolutionWidth", static_cast<int>(resolutionWidth));
    json->set("resolutionHeight", static_cast<int>(resolutionHeight));
    json->set("loopVideo", loopVideo);
    json->set("processAllFrames", processAllFrames);
    json->set("flipHorizontally", flipHorizontally);
    json->set("flipVertically", flipVertically);
    json->set("rotateMode", getRotateModeStr(rotateMode));
    json->set("zoomFactor", zoomFactor);
    json->set("zoomCenterOffset_X", zoomCenterOffset_X);
    json->set("zoomCenterOffset_Y", zoomCenterOffset_Y);
    json->set("ROI_X", ROI_X);
    json->set("ROI_Y", ROI_Y);
    json->set("ROI_W", ROI_W);
    json->set("ROI_H", ROI_H);
    json->set("maxFaceSize", maxFaceSize);
    json->set("minFaceSize", minFaceSize);
    json->set("httpInterfacePort", static_cast<unsigned short>(httpInterfacePort));
    json->set("httpInterfaceSsl", httpInterfaceSsl);
    json->set("httpInterfaceSslKey", httpInterfaceSslKey);
    json->set("httpInterfaceSslCrt", httpInterfaceSslCrt);
    json->set("rawCsvEnabled", rawCsvEnabled);
    json->set("rawCsvPath", rawCsvPath);
    json->set("rawPullEnabled", rawPullEnabled);
    json->set("rawPushEnabled", rawPushEnabled);
    json->set("rawPushUrl", rawPushUrl);
    json->set("aggregationFrequency", static_cast<unsigned int>(aggregationFrequency));
    json->set("aggregatedCsvEnabled", aggregatedCsvEnabled);
    json->set("aggregatedCsvPath", aggregatedCsvPath);
    json->set("aggregatedPullEnabled", aggregatedPullEnabled);
    json->set("aggregatedPushEnabled", aggregatedPushEnabled);
    json->set("aggregatedPushUrl", aggregatedPushUrl);
    json->set("peopleCountEnabled", peopleCountEnabled);
    json->set("peopleCountFrequency", static_cast<unsigned int>(peopleCountFrequency));
    json->set("peopleCountCsvEnabled", peopleCountCsvEnabled);
    json->set("peopleCountCsvPath", peopleCountCsvPath);
    json->set("peopleCountPullEnabled", peopleCountPullEnabled);
    json->set("peopleCountPushEnabled", peopleCountPushEnabled);
    json->set("peopleCountPushUrl", peopleCountPushUrl);
    json->set("statusPushEnabled", statusPushEnabled);
    json->set("statusPushUrl", statusPushUrl);
    json->set("statusPullEnabled", statusPullEnabled);
    json->set("currentStatsEnabled", currentStatsEnabled);
    json->set("currentStatsDuration", static_cast<int>(currentStatsDuration));
    json->set("tovexEnabled", tovexEnabled);
    json->set("tovexMode", getTovexModeStr(tovexMode));
    json->set("tovexCsvEnabled", tovexCsvEnabled);
    json->set("tovexCsvPath", tovexCsvPath);
    json->set("tovexPushEnabled", tovexPushEnabled);
    json->set("tovexPushUrl", tovexPushUrl);

    std::ostringstream out;
    Poco::JSON::Stringifier::stringify(json, out, indent, -1, Poco::JSON_WRAP_STRINGS);
    return out.str();
}

void Settings::saveSettingsAsJson(const std::filesystem::path& path) const {
    if (!replaceFileContent(path, settingsToJsonString(4))) {
        throw std::runtime_error("Error opening json file: " + path.string());
    }
}

void Settings::logSettings() const {
    std::string text = "\n";
    auto out = std::back_inserter(text);
    fmt::format_to(out, "Lumora version : {}\n", lm::getVersion());
    fmt::format_to(out, "Harbix settings:\n");
    fmt::format_to(out, "  neuralNetworksPath = {}\n", neuralNetworksPath);
    fmt::format_to(out, "  logLevel = {}\n", getLogLevelStr(logLevel));
    fmt::format_to(out, "  dnnTarget = {}\n", getDnnTargetStr(dnnTarget));
    fmt::format_to(out, "  networkType = {}\n", getNetworkTypeStr(networkType));
    fmt::format_to(out, "  useAge = {}\n", useAge);
    fmt::format_to(out, "  useGender = {}\n", useGender);
    fmt::format_to(out, "  useHeadpose = {}\n", useHeadpose);
    fmt::format_to(out, "  useSmile = {}\n", useSmile);
    fmt::format_to(out, "  useFaceMask = {}\n", useFaceMask);
    fmt::format_to(out, "  faceConfidenceThreshold = {}\n", faceConfidenceThreshold);
    fmt::format_to(out, "  maxNumFaces = {}\n", maxNumFaces);
    fmt::format_to(out, "  numThreads = {}\n", numThreads);
    fmt::format_to(out, "  sourceType = {}\n", getSourceTypeStr(sourceType));
    fmt::format_to(out, "  webcamIndex = {}\n", webcamIndex);
    fmt::format_to(out, "  videoFilePath = {}\n", videoFilePath);
    fmt::format_to(out, "  videoStreamUrl = {}\n", videoStreamUrl);
    fmt::format_to(out, "  resolutionWidth = {}\n", resolutionWidth);
    fmt::format_to(out, "  resolutionHeight = {}\n", resolutionHeight);
    fmt::format_to(out, "  loopVideo = {}\n", loopVideo);
    fmt::format_to(out, "  processAllFrames = {}\n", processAllFrames);
    fmt::format_to(out, "  drawResult = {}\n", drawResult);
    fmt::format_to(out, "  blurFaces = {}\n", blurFaces);
    fmt::format_to(out, "  instanceName = {}\n", instanceName);
    fmt::format_to(out, "  aggregationFrequency = {}\n", aggregationFrequency);
    fmt::format_to(out, "  httpInterfacePort = {}\n", httpInterfacePort);
    fmt::format_to(out, "  httpInterfaceSsl = {}\n", httpInterfaceSsl);
    fmt::format_to(out, "  httpInterfaceSslKey = {}\n", httpInterfaceSslKey);
    fmt::format_to(out, "  httpInterfaceSslCrt = {}\n", httpInterfaceSslCrt);
    fmt::format_to(out, "  rawCsvEnabled = {}\n", rawCsvEnabled);
    fmt::format_to(out, "  rawCsvPath = {}\n", rawCsvPath);
    fmt::format_to(out, "  aggregatedCsvEnabled = {}\n", aggregatedCsvEnabled);
    fmt::format_to(out, "  aggregatedCsvPath = {}\n", aggregatedCsvPath);
    fmt::format_to(out, "  rawPushEnabled = {}\n", rawPushEnabled);
    fmt::format_to(out, "  rawPushUrl = {}\n", rawPushUrl);
    fmt::format_to(out, "  aggregatedPushEnabled = {}\n", aggregatedPushEnabled);
    fmt::format_to(out, "  aggregatedPushUrl = {}\n", aggregatedPushUrl);
    fmt::format_to(out, "  rawPullEnabled = {}\n", rawPullEnabled);
    fmt::format_to(out, "  aggregatedPullEnabled = {}\n", aggregatedPullEnabled);
    fmt::format_to(out, "  flipHorizontally = {}\n", flipHorizontally);
    fmt::format_to(out, "  flipVertically = {}\n", flipVertically);
    fmt::format_to(out, "  rotateMode = {}\n", getRotateModeStr(rotateMode));
    fmt::format_to(out, "  zoomFactor = {}\n", zoomFactor);
    fmt::format_to(out, "  zoomCenterOffset (x, y) = {}, {}\n", zoomCenterOffset_X, zoomCenterOffset_Y);
    fmt::format_to(out, "  ROI (x, y, w, h) = {}, {}, {}, {}\n", ROI_X, ROI_Y, ROI_W, ROI_H);
    fmt::format_to(out, "  maxFaceSize = {}\n", maxFaceSize);
    fmt::format_to(out, "  minFaceSize = {}\n", minFaceSize);
    fmt::format_to(out, "  peopleCountEnabled = {}\n", peopleCountEnabled);
    fmt::format_to(out, "  peopleCountPullEnabled = {}\n", peopleCountPullEnabled);
    fmt::format_to(out, "  peopleCountPushEnabled = {}\n", peopleCountPushEnabled);
    fmt::format_to(out, "  peopleCountPushUrl = {}\n", peopleCountPushUrl);
    fmt::format_to(out, "  peopleCountCsvEnabled = {}\n", peopleCountCsvEnabled);
    fmt::format_to(out, "  peopleCountCsvPath = {}\n", peopleCountCsvPath);
    fmt::format_to(out, "  peopleCountFrequency = {}\n", peopleCountFrequency);
    fmt::format_to(out, "  statusPushEnabled = {}\n", statusPushEnabled);
    fmt::format_to(out, "  statusPushUrl = {}\n", statusPushUrl);
    fmt::format_to(out, "  statusPullEnabled = {}\n", statusPullEnabled);
    fmt::format_to(out, "  currentStatsEnabled = {}\n", currentStatsEnabled);
    fmt::format_to(out, "  currentStatsDuration = {}\n", currentStatsDuration);
    fmt::format_to(out, "  tovexEnabled = {}\n", tovexEnabled);
    fmt::format_to(out, "  tovexMode = {}\n", static_cast<std::int32_t>(tovexMode));
    fmt::format_to(out, "  tovexCsvEnabled = {}\n", tovexCsvEnabled);
    fmt::format_to(out, "  tovexCsvPath = {}\n", tovexCsvPath);
    fmt::format_to(out, "  tovexPushEnabled = {}\n", tovexPushEnabled);
    fmt::format_to(out, "  tovexPushUrl = {}\n", tovexPushUrl);
    // The finished text goes out as it is, so braces in a path or URL are not formatted.
    if (auto log = harbixLog()) log->info(std::string_view(text));
}

}  // namespace hx
