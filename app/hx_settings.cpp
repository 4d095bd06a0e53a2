#include "hx_settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <Poco/JSON/Parser.h>
#include <Poco/JSON/Stringifier.h>
#include <fmt/format.h>

#include <lumora/lm_lumora.h>

#include "hx_log.h"
#include "hx_settings_keys.h"

namespace hx {

namespace {

constexpr std::string_view UNDEFINED = "Undefined";
constexpr std::string_view NOTHING = "";

// The words of the program's own enumerations, in value order: value i is words[i]. The
// library's enumerations have their words in the library.
constexpr std::array<std::string_view, 3> SOURCE_TYPE_WORDS{"WEBCAM", "VIDEO_FILE", "VIDEO_STREAM"};
constexpr std::array<std::string_view, 4> ROTATE_MODE_WORDS{"ROTATE_0", "ROTATE_90", "ROTATE_180", "ROTATE_270"};
constexpr std::array<std::string_view, 3> TOVEX_MODE_WORDS{"START_STOP", "START_START", "START_DURATION"};

template <std::size_t N>
std::string wordAt(const std::array<std::string_view, N>& words, std::int64_t value) {
    if (value < 0 || value >= static_cast<std::int64_t>(N)) return {};
    return std::string(words[static_cast<std::size_t>(value)]);
}

template <typename Enum, std::size_t N>
bool findWord(const std::array<std::string_view, N>& words, const std::string& text, Enum& value) {
    const auto found = std::find(words.begin(), words.end(), text);
    if (found == words.end()) return false;
    value = static_cast<Enum>(found - words.begin());
    return true;
}

// The program's enumerations take the same two calls as the library's.
std::string toText(Settings::SourceType type) { return wordAt(SOURCE_TYPE_WORDS, type); }
std::string toText(Settings::RotateMode mode) { return wordAt(ROTATE_MODE_WORDS, mode); }
std::string toText(Settings::TovexMode mode) { return wordAt(TOVEX_MODE_WORDS, mode); }
bool fromText(const std::string& text, Settings::SourceType& type) { return findWord(SOURCE_TYPE_WORDS, text, type); }
bool fromText(const std::string& text, Settings::RotateMode& mode) { return findWord(ROTATE_MODE_WORDS, text, mode); }
bool fromText(const std::string& text, Settings::TovexMode& mode) { return findWord(TOVEX_MODE_WORDS, text, mode); }
using lm::fromText;
using lm::toText;

template <typename Enum>
std::string wordOrFallback(Enum value, std::string_view fallback) {
    std::string word = toText(value);
    return word.empty() ? std::string(fallback) : word;
}

template <typename Enum>
Enum valueOfWord(const std::string& text, std::string_view error) {
    Enum value{};
    if (!fromText(text, value)) throw std::runtime_error(std::string(error) + text);
    return value;
}

}  // namespace

Settings::Settings() = default;

std::string Settings::getSourceTypeStr(const SourceType& type) { return wordOrFallback(type, UNDEFINED); }
Settings::SourceType Settings::stringToSourceType(const std::string& text) {
    return valueOfWord<SourceType>(text, "Error loading settings file: invalid source type ");
}

std::string Settings::getRotateModeStr(RotateMode mode) { return wordOrFallback(mode, UNDEFINED); }
Settings::RotateMode Settings::stringToRotateMode(const std::string& text) {
    return valueOfWord<RotateMode>(text, "Error loading settings file: invalid rotate mode type ");
}

std::string Settings::getTovexModeStr(const TovexMode& mode) { return wordOrFallback(mode, NOTHING); }
Settings::TovexMode Settings::stringToTovexMode(const std::string& text) {
    return valueOfWord<TovexMode>(text, "Error loading settings file: invalid Tovex Mode ");
}

std::string Settings::getLogLevelStr(const LogLevel& level) { return wordOrFallback(level, UNDEFINED); }
lm::Settings::LogLevel Settings::stringToLogLevel(const std::string& text) {
    return valueOfWord<LogLevel>(text, "Error loading settings file: invalid log-level ");
}

std::string Settings::getDnnTargetStr(const DnnTarget& target) { return wordOrFallback(target, UNDEFINED); }
lm::Settings::DnnTarget Settings::stringToDnnTarget(const std::string& text) {
    return valueOfWord<DnnTarget>(text, "Error loading settings file: invalid DNN-target ");
}

std::string Settings::getNetworkTypeStr(const NetworkType& type) { return wordOrFallback(type, UNDEFINED); }
lm::Settings::NetworkType Settings::stringToNetworkType(const std::string& text) {
    return valueOfWord<NetworkType>(text, "Error loading settings file: invalid network-type ");
}

std::string Settings::getDetectionRangeStr(Range range) { return wordOrFallback(range, NOTHING); }
lm::Settings::Range Settings::stringToRange(const std::string& text) {
    return valueOfWord<Range>(text, "Error loading settings file: invalid range ");
}

std::string Settings::getBodyTrackFpsStr(const TrackerFps& fps) { return wordOrFallback(fps, NOTHING); }
lm::Settings::TrackerFps Settings::stringToBodyTrackFps(const std::string& text) {
    return valueOfWord<TrackerFps>(text, "Error loading settings file: invalid body tracker fps ");
}

namespace {

// The largest camera and stream picture side asked for, in pixels.
constexpr std::int32_t MAX_RESOLUTION = 16384;

// Inclusive range test written so that a NaN is out of every range.
template <typename T>
bool within(T value, T low, T high) {
    return value >= low && value <= high;
}

template <typename T>
std::runtime_error invalidValue(std::string_view key, T value) {
    return invalidSetting(key, fmt::format("{}", value));
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

// The file that saving to target replaces: the one a symbolic link names, else target.
std::optional<std::filesystem::path> replacedFile(const std::filesystem::path& target) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(target, error))) return target;
    fs::path file = fs::weakly_canonical(target, error);
    if (error) return std::nullopt;
    return file;
}

std::filesystem::path directoryOf(const std::filesystem::path& file) {
    return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// A save writes ".<name>.XXXXXX" beside the file, where mkstemp puts six letters or digits
// in place of the Xs.
constexpr std::string_view TEMPORARY_SUFFIX = "XXXXXX";
std::string temporaryPrefix(const std::filesystem::path& file) { return "." + file.filename().string() + "."; }

bool isTemporaryOf(const std::string& name, const std::string& prefix) {
    if (name.size() != prefix.size() + TEMPORARY_SUFFIX.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

// Replaces the file at target with text so that the target holds either its old content
// or the whole new one, never a part: the text goes to a temporary file in the same
// directory, which is synced, closed and renamed over the target only when all of that
// succeeded. A symbolic link is followed, so the file it names is replaced, not the link.
// Returns false (and leaves no temporary file behind) on any failure.
bool replaceFileContent(const std::filesystem::path& target, const std::string& text) {
    namespace fs = std::filesystem;
    const std::optional<fs::path> replaced = replacedFile(target);
    if (!replaced) return false;
    const fs::path& file = *replaced;
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    const bool exists = fs::exists(status);
    // A device or directory is never replaced by a regular file.
    if (exists && !fs::is_regular_file(status)) return false;

    std::string temporary = (directoryOf(file) / (temporaryPrefix(file) + std::string(TEMPORARY_SUFFIX))).string();
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

// The settings log's lines as label and values, in log order.
std::vector<std::pair<std::string, std::string>> logLines(const Settings& settings) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (const SettingsKey* key : settingsKeysInOrder(&SettingsKeyOrder::log)) {
        const std::string& label = key->logLabel.empty() ? key->name : key->logLabel;
        const std::string value = key->value.show(settings);
        if (!lines.empty() && lines.back().first == label) {
            lines.back().second += ", " + value;
        } else {
            lines.emplace_back(label, value);
        }
    }
    return lines;
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
    for (const SettingsKey* key : settingsKeysInOrder(&SettingsKeyOrder::presence)) {
        if (!json.has(key->name)) throw std::runtime_error("Field missing in settings JSON object: " + key->name);
    }
    for (const SettingsKey* key : settingsKeysInOrder(&SettingsKeyOrder::read)) {
        // The library's pixel sizes follow from the fractions once the frame size is known;
        // they are cleared where the library's face detection keys begin.
        if (key->name == "maxNumFaces") {
            lm::Settings::minFaceSize = 0;
            lm::Settings::maxFaceSize = 0;
        }
        key->value.read(json, key->name, *this);
    }
    checkSettings();
}

void Settings::checkSettings() const {
    // Unsigned, so 0 wraps round and fails the same test as a value above 3600.
    if (peopleCountFrequency - 1u > 3599u) throw invalidValue("peopleCountFrequency", peopleCountFrequency);
    if (aggregationFrequency - 1u > 3599u) throw invalidValue("aggregationFrequency", aggregationFrequency);
    if (!within(zoomFactor, 1.0f, 100.0f)) throw invalidValue("zoom_factor", zoomFactor);
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
    if (numThreads > MAX_NUM_THREADS) throw invalidValue("numThreads", numThreads);
    if (!within(resolutionWidth, 0, MAX_RESOLUTION)) throw invalidValue("resolutionWidth", resolutionWidth);
    if (!within(resolutionHeight, 0, MAX_RESOLUTION)) throw invalidValue("resolutionHeight", resolutionHeight);
    // Port 0 would have the system pick one, which nobody could then find.
    if (httpInterfacePort == 0) throw invalidValue("httpInterfacePort", httpInterfacePort);
}

std::string Settings::settingsToJsonString(unsigned int indent) const {
    Poco::JSON::Object::Ptr json = new Poco::JSON::Object(Poco::JSON_PRESERVE_KEY_ORDER);
    for (const SettingsKey& key : settingsKeys()) json->set(key.name, key.value.write(*this));

    std::ostringstream out;
    Poco::JSON::Stringifier::stringify(json, out, indent, -1, Poco::JSON_WRAP_STRINGS);
    return out.str();
}

void Settings::saveSettingsAsJson(const std::filesystem::path& path) const {
    if (!replaceFileContent(path, settingsToJsonString(4))) {
        throw std::runtime_error("Error opening json file: " + path.string());
    }
}

std::size_t Settings::removeStaleTemporaryFiles(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    const std::optional<fs::path> file = replacedFile(path);
    if (!file) return 0;
    const std::string prefix = temporaryPrefix(*file);
    std::size_t removed = 0;
    std::error_code error;
    for (fs::directory_iterator entry(directoryOf(*file), error), end; !error && entry != end; entry.increment(error)) {
        std::error_code ignored;
        if (!isTemporaryOf(entry->path().filename().string(), prefix)) continue;
        // mkstemp makes regular files only: anything else of the name is someone else's.
        if (entry->is_symlink(ignored) || !entry->is_regular_file(ignored)) continue;
        if (fs::remove(entry->path(), ignored)) ++removed;
    }
    return removed;
}

void Settings::logSettings() const {
    std::string text = "\n";
    auto out = std::back_inserter(text);
    fmt::format_to(out, "Lumora version : {}\n", lm::getVersion());
    fmt::format_to(out, "Harbix settings:\n");
    for (const auto& [label, values] : logLines(*this)) fmt::format_to(out, "  {} = {}\n", label, values);
    // The finished text goes out as it is, so braces in a path or URL are not formatted.
    if (auto log = harbixLog()) log->info(std::string_view(text));
}

}  // namespace hx
