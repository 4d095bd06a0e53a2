#include "lumora/lm_settings.h"

#include <array>
#include <stdexcept>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "util/ini.h"

namespace lm {

bool Settings::operator!=(const Settings& other) const {
    // The threshold first, as a float comparison: a NaN is never equal to anything.
    // networkType is left out on purpose.
    return !(faceConfidenceThreshold == other.faceConfidenceThreshold) ||
           neuralNetworksPath != other.neuralNetworksPath || logLevel != other.logLevel ||
           dnnTarget != other.dnnTarget || bodyTrackFps != other.bodyTrackFps || faceTrackFps != other.faceTrackFps ||
           useAge != other.useAge || useGender != other.useGender || useHeadpose != other.useHeadpose ||
           useSmile != other.useSmile || useFaceMask != other.useFaceMask || useEmotions != other.useEmotions ||
           maxNumFaces != other.maxNumFaces || minFaceSize != other.minFaceSize || maxFaceSize != other.maxFaceSize ||
           detectionRange != other.detectionRange || numThreads != other.numThreads;
}

bool Settings::operator==(const Settings& other) const { return !(*this != other); }

bool Settings::cpuTargetEnabled() const { return dnnTarget == CPU; }

bool Settings::gpuTargetEnabled() const { return dnnTarget != CPU; }

}  // namespace lm

// ---------------------------------------------------------------------------------------
// Words of the enumerations

namespace lm {

namespace {

constexpr std::array<std::pair<Settings::LogLevel, const char*>, 6> LOG_LEVEL_WORDS{{
    {Settings::TRACE, "TRACE"},
    {Settings::DEBUG, "DEBUG"},
    {Settings::INFO, "INFO"},
    {Settings::WARN, "WARN"},
    {Settings::ERR, "ERR"},
    {Settings::CRITICAL, "CRITICAL"},
}};
constexpr std::array<std::pair<Settings::DnnTarget, const char*>, 3> DNN_TARGET_WORDS{{
    {Settings::CPU, "CPU"},
    {Settings::GPU, "GPU"},
    {Settings::GPU_MT, "GPU_MT"},
}};
constexpr std::array<std::pair<Settings::TrackerFps, const char*>, 4> TRACKER_FPS_WORDS{{
    {Settings::DYNAMIC, "DYNAMIC"},
    {Settings::FPS_30, "FPS_30"},
    {Settings::FPS_10, "FPS_10"},
    {Settings::FPS_5, "FPS_5"},
}};
constexpr std::array<std::pair<Settings::NetworkType, const char*>, 2> NETWORK_TYPE_WORDS{{
    {Settings::NORMAL, "NORMAL"},
    {Settings::QUANTIZED, "QUANTIZED"},
}};
constexpr std::array<std::pair<Settings::Range, const char*>, 2> RANGE_WORDS{{
    {Settings::REGULAR, "REGULAR"},
    {Settings::LONG, "LONG"},
}};

template <typename Enum, std::size_t N>
std::string wordOf(Enum value, const std::array<std::pair<Enum, const char*>, N>& words) {
    for (const auto& [enumerator, word] : words)
        if (enumerator == value) return word;
    return {};
}

template <typename Enum, std::size_t N>
bool valueOfWord(const std::string& text, const std::array<std::pair<Enum, const char*>, N>& words, Enum& value) {
    for (const auto& [enumerator, word] : words) {
        if (text == word) {
            value = enumerator;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string toText(Settings::LogLevel level) { return wordOf(level, LOG_LEVEL_WORDS); }
std::string toText(Settings::DnnTarget target) { return wordOf(target, DNN_TARGET_WORDS); }
std::string toText(Settings::NetworkType type) { return wordOf(type, NETWORK_TYPE_WORDS); }
std::string toText(Settings::Range range) { return wordOf(range, RANGE_WORDS); }
std::string toText(Settings::TrackerFps fps) { return wordOf(fps, TRACKER_FPS_WORDS); }

bool fromText(const std::string& text, Settings::LogLevel& level) { return valueOfWord(text, LOG_LEVEL_WORDS, level); }
bool fromText(const std::string& text, Settings::DnnTarget& target) {
    return valueOfWord(text, DNN_TARGET_WORDS, target);
}
bool fromText(const std::string& text, Settings::NetworkType& type) {
    return valueOfWord(text, NETWORK_TYPE_WORDS, type);
}
bool fromText(const std::string& text, Settings::Range& range) { return valueOfWord(text, RANGE_WORDS, range); }
bool fromText(const std::string& text, Settings::TrackerFps& fps) { return valueOfWord(text, TRACKER_FPS_WORDS, fps); }

}  // namespace lm

// ---------------------------------------------------------------------------------------
// INI file

namespace lm {

namespace {

constexpr const char* NETWORK = "NeuralNetwork";
constexpr const char* DETECTORS = "Detectors";
constexpr const char* FACE_DETECTION = "FaceDetection";
constexpr const char* SYSTEM = "System";

// Reads one settings file; every field keeps its value when its key is missing.
class SettingsReader {
public:
    explicit SettingsReader(ini::Sections sections) : mSections(std::move(sections)) {}

    void readText(const char* section, const char* key, std::string& field) const {
        std::string value;
        if (ini::getValue(mSections, section, key, value)) field = value;
    }

    void readFloat(const char* section, const char* key, float& field) const {
        std::string value;
        if (!presentAndNotEmpty(section, key, value)) return;
        try {
            field = std::stof(value);
        } catch (const std::logic_error&) {  // invalid_argument and out_of_range
            throw badNumber(section, key);
        }
    }

    void readInt(const char* section, const char* key, std::int32_t& field) const {
        std::string value;
        if (!presentAndNotEmpty(section, key, value)) return;
        try {
            field = std::stoi(value);
        } catch (const std::logic_error&) {
            throw badNumber(section, key);
        }
    }

    // An integer with an upper bound, refused like one that is not a number.
    void readInt(const char* section, const char* key, std::int32_t highest, std::int32_t& field) const {
        readInt(section, key, field);
        if (field > highest) throw badNumber(section, key);
    }

    void readFlag(const char* section, const char* key, bool& field) const {
        std::int32_t number = field ? 1 : 0;
        std::string value;
        if (!presentAndNotEmpty(section, key, value)) return;
        readInt(section, key, number);
        field = number != 0;
    }

    template <typename Enum>
    void readWord(const char* section, const char* key, const char* error, Enum& field) const {
        std::string value;
        if (!ini::getValue(mSections, section, key, value)) return;
        if (!fromText(value, field))
            throw std::runtime_error(std::string("Error loading settings file: ") + error + value);
    }

private:
    bool presentAndNotEmpty(const char* section, const char* key, std::string& value) const {
        return ini::getValue(mSections, section, key, value) && !value.empty();
    }

    static std::runtime_error badNumber(const char* section, const char* key) {
        return std::runtime_error(std::string("Error loading settings file: section \"") + section + "\" parameter \"" +
                                  key + "\"");
    }

    ini::Sections mSections;
};

std::string flagText(bool flag) { return flag ? "1" : "0"; }

}  // namespace

void Settings::load(const std::string& path) {
    const SettingsReader reader(ini::readFromFile(path));
    reader.readFloat(NETWORK, "faceConfidenceThreshold", faceConfidenceThreshold);
    reader.readText(NETWORK, "neuralNetworksPath", neuralNetworksPath);
    reader.readWord(SYSTEM, "logLevel", "invalid log-level ", logLevel);
    reader.readWord(SYSTEM, "dnnTarget", "invalid DNN-target ", dnnTarget);
    reader.readWord(SYSTEM, "bodyTrackFps", "invalid tracker fps ", bodyTrackFps);
    reader.readWord(SYSTEM, "faceTrackFps", "invalid tracker fps ", faceTrackFps);
    reader.readWord(SYSTEM, "networkType", "invalid network type ", networkType);
    reader.readFlag(DETECTORS, "useAge", useAge);
    reader.readFlag(DETECTORS, "useGender", useGender);
    reader.readFlag(DETECTORS, "useHeadpose", useHeadpose);
    reader.readFlag(DETECTORS, "useSmile", useSmile);
    reader.readFlag(DETECTORS, "useFaceMask", useFaceMask);
    reader.readFlag(DETECTORS, "useEmotions", useEmotions);
    reader.readInt(FACE_DETECTION, "maxNumFaces", maxNumFaces);
    reader.readInt(FACE_DETECTION, "minFaceSize", minFaceSize);
    reader.readInt(FACE_DETECTION, "maxFaceSize", maxFaceSize);
    reader.readWord(FACE_DETECTION, "detectionRange", "invalid range ", detectionRange);
    reader.readInt(SYSTEM, "numThreads", MAX_NUM_THREADS, numThreads);
}

void Settings::save(const std::string& path) {
    ini::Sections sections;
    auto& network = sections[NETWORK];
    network["faceConfidenceThreshold"] = fmt::format("{:f}", static_cast<double>(faceConfidenceThreshold));
    network["neuralNetworksPath"] = neuralNetworksPath;

    auto& system = sections[SYSTEM];
    system["logLevel"] = toText(logLevel);
    system["dnnTarget"] = toText(dnnTarget);
    system["bodyTrackFps"] = toText(bodyTrackFps);
    system["faceTrackFps"] = toText(faceTrackFps);
    system["networkType"] = toText(networkType);
    system["numThreads"] = std::to_string(numThreads);

    auto& detectors = sections[DETECTORS];
    detectors["useAge"] = flagText(useAge);
    detectors["useGender"] = flagText(useGender);
    detectors["useHeadpose"] = flagText(useHeadpose);
    detectors["useSmile"] = flagText(useSmile);
    detectors["useFaceMask"] = flagText(useFaceMask);
    detectors["useEmotions"] = flagText(useEmotions);

    auto& faceDetection = sections[FACE_DETECTION];
    faceDetection["maxNumFaces"] = std::to_string(maxNumFaces);
    faceDetection["minFaceSize"] = std::to_string(minFaceSize);
    faceDetection["maxFaceSize"] = std::to_string(maxFaceSize);
    faceDetection["detectionRange"] = toText(detectionRange);

    ini::writeToFile(sections, path);
}

}  // namespace lm
