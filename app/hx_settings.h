#pragma once
// The application's one configuration record. It begins with the analysis library's
// record, so it is handed to the library wherever an lm::Settings is expected, and adds
// the program's own fields. The record is a plain value: copy it, change it, hand it on.
//
// The settings file is one flat JSON object (see hx_settings_keys.cpp for its keys). Reading
// it (load, jsonToSettings) requires every key, stores the values one by one and then
// checks their ranges; on failure the record may be partly updated, so callers read into
// a record they throw away when an exception comes out.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include <Poco/JSON/Object.h>

#include <lumora/lm_settings.h>

namespace hx {

struct Settings : public lm::Settings {
    enum SourceType : std::int32_t { WEBCAM = 0, VIDEO_FILE = 1, VIDEO_STREAM = 2 };
    // Clockwise rotation: ROTATE_90 is a quarter turn clockwise, ROTATE_270 a quarter
    // turn counter-clockwise.
    enum RotateMode : std::int32_t { ROTATE_0 = 0, ROTATE_90 = 1, ROTATE_180 = 2, ROTATE_270 = 3 };
    enum TovexMode : std::int32_t { START_STOP = 0, START_START = 1, START_DURATION = 2 };

    // Of the library part, faceTrackFps is not in the file and keeps its default, and the
    // library's pixel face sizes (lm::Settings::minFaceSize / maxFaceSize) are set to 0 by
    // the reader; the engine derives them from the fractions below when it opens a source.
    // neuralNetworksPath stays empty here: callers that want usable defaults set it.

    // Fractions are of the frame's width (X, W, face sizes) or height (Y, H).
    SourceType sourceType = WEBCAM;
    std::int32_t webcamIndex = 0;
    std::string videoFilePath;
    std::string videoStreamUrl;
    std::int32_t resolutionWidth = 640;
    std::int32_t resolutionHeight = 480;
    bool loopVideo = false;
    bool processAllFrames = true;
    bool drawResult = true;
    bool blurFaces = false;
    bool peopleCountEnabled = true;
    std::uint32_t peopleCountFrequency = 30;  // seconds, 1 to 3600
    std::string instanceName = "hx";
    std::uint32_t aggregationFrequency = 30;  // seconds, 1 to 3600
    std::uint16_t httpInterfacePort = 8080;
    bool httpInterfaceSsl = false;
    std::string httpInterfaceSslKey = "certificate.key";
    std::string httpInterfaceSslCrt = "certificate.crt";
    bool rawCsvEnabled = false;
    std::string rawCsvPath;
    bool aggregatedCsvEnabled = false;
    std::string aggregatedCsvPath;
    bool peopleCountCsvEnabled = false;
    std::string peopleCountCsvPath;
    bool rawPushEnabled = false;
    std::string rawPushUrl;
    bool aggregatedPushEnabled = false;
    std::string aggregatedPushUrl;
    bool peopleCountPushEnabled = false;
    std::string peopleCountPushUrl;
    bool statusPushEnabled = false;
    std::string statusPushUrl;
    bool statusPullEnabled = true;
    bool rawPullEnabled = false;
    bool aggregatedPullEnabled = false;
    bool peopleCountPullEnabled = false;
    bool flipHorizontally = false;
    bool flipVertically = false;
    RotateMode rotateMode = ROTATE_0;
    float zoomFactor = 1.0f;          // 1 to 100
    float zoomCenterOffset_X = 0.0f;  // 0 to 1, right of the frame centre
    float zoomCenterOffset_Y = 0.0f;  // 0 to 1, below the frame centre
    float ROI_X = 0.0f;
    float ROI_Y = 0.0f;
    float ROI_W = 0.0f;
    float ROI_H = 0.0f;
    float maxFaceSize = 0.0f;  // fraction of the frame width; hides the library's pixel field
    float minFaceSize = 0.0f;  // fraction of the frame width; hides the library's pixel field
    bool currentStatsEnabled = false;
    std::int32_t currentStatsDuration = 10;  // seconds
    bool tovexEnabled = false;
    TovexMode tovexMode = START_STOP;
    bool tovexCsvEnabled = false;
    std::string tovexCsvPath;
    bool tovexPushEnabled = false;
    std::string tovexPushUrl;

    Settings();

    // Text forms. Writers never throw: an unknown value gives "Undefined" or an empty
    // string. Parsers accept only the exact text and throw std::runtime_error naming the
    // offending text otherwise.
    static std::string getSourceTypeStr(const SourceType& type);
    static SourceType stringToSourceType(const std::string& text);
    static std::string getRotateModeStr(RotateMode mode);
    static RotateMode stringToRotateMode(const std::string& text);
    static std::string getTovexModeStr(const TovexMode& mode);
    static TovexMode stringToTovexMode(const std::string& text);
    static std::string getLogLevelStr(const LogLevel& level);
    static LogLevel stringToLogLevel(const std::string& text);
    static std::string getDnnTargetStr(const DnnTarget& target);
    static DnnTarget stringToDnnTarget(const std::string& text);
    static std::string getNetworkTypeStr(const NetworkType& type);
    static NetworkType stringToNetworkType(const std::string& text);
    static std::string getDetectionRangeStr(Range range);
    static Range stringToRange(const std::string& text);
    static std::string getBodyTrackFpsStr(const TrackerFps& fps);
    static TrackerFps stringToBodyTrackFps(const std::string& text);

    // Creates the file from this record when the path does not exist; otherwise reads it.
    void load(const std::filesystem::path& path);
    // Every key must be present (checked before anything is written); then the values are
    // stored and checkSettings runs.
    void jsonToSettings(const Poco::JSON::Object::Ptr& object);
    // Throws std::runtime_error on the first value out of its range.
    void checkSettings() const;
    // indent 0: compact, one line; otherwise multi-line, indent blanks per level.
    std::string settingsToJsonString(unsigned int indent) const;
    // Replaces the file atomically: the old content stays intact when writing fails.
    void saveSettingsAsJson(const std::filesystem::path& path) const;
    // Removes the temporary files that saves of the file at path left behind when the
    // process was killed before their rename; returns how many went. Errors are ignored.
    static std::size_t removeStaleTemporaryFiles(const std::filesystem::path& path);
    // One multi-line info message through "HarbixLog".
    void logSettings() const;
};

}  // namespace hx
