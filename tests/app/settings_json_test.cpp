// The settings JSON file: reading with its presence and read orders, the range checks,
// writing (atomically), create-on-missing and the settings log.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <Poco/Exception.h>
#include <Poco/JSON/Parser.h>

#include "hx_settings.h"
#include "support/log_capture.h"
#include "support/sample_settings.h"
#include "support/settings_extremes.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using S = hx::Settings;
using lmtest::sampleSettings;

namespace {

Poco::JSON::Object::Ptr parseObject(const std::string& text) {
    Poco::JSON::Parser parser;
    return parser.parse(text).extract<Poco::JSON::Object::Ptr>();
}

// The JSON object of a record, ready to be changed key by key.
Poco::JSON::Object::Ptr objectOf(const S& settings) { return parseObject(settings.settingsToJsonString(0)); }

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The message of the std::runtime_error that reading the object into target raises.
std::string readError(S& target, const Poco::JSON::Object::Ptr& object) {
    try {
        target.jsonToSettings(object);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

std::size_t entriesIn(const fs::path& directory) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory), fs::directory_iterator()));
}

// In a child process: save under a file-size limit, as if the disk were full, and exit 0
// when the save failed with the expected message.
[[noreturn]] void saveWithFileSizeLimit(const fs::path& file, rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);  // a short write, not a signal, reports the limit
    const rlimit limit{bytes, bytes};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    int code = 1;
    try {
        sampleSettings().saveSettingsAsJson(file);
    } catch (const std::runtime_error& e) {
        code = std::string(e.what()) == "Error opening json file: " + file.string() ? 0 : 2;
    }
    std::_Exit(code);
}

}  // namespace

TEST(SettingsJson, CompactFormOfTheDefaults) {
    const std::string text = S().settingsToJsonString(0);
    EXPECT_EQ(text.rfind("{\"useAge\":true,\"useEmotions\":true,", 0), 0u) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(objectOf(S())->size(), 71u);
}

TEST(SettingsJson, WriterEmitsTheKeysInFileOrder) {
    const std::string text = S().settingsToJsonString(0);
    const std::vector<std::string> fileOrder{"useAge",
                                             "useEmotions",
                                             "useFaceMask",
                                             "useGender",
                                             "useHeadpose",
                                             "useSmile",
                                             "detectionRange",
                                             "maxNumFaces",
                                             "faceConfidenceThreshold",
                                             "neuralNetworksPath",
                                             "bodyTrackFps",
                                             "dnnTarget",
                                             "networkType",
                                             "logLevel",
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
    ASSERT_EQ(fileOrder.size(), 71u);
    std::size_t at = 0;
    for (const std::string& key : fileOrder) {
        const std::size_t found = text.find("\"" + key + "\":", at);
        ASSERT_NE(found, std::string::npos) << key << " missing or out of order";
        at = found;
    }
}

TEST(SettingsJson, ValuesAreWrittenWithTheirJsonTypes) {
    const auto json = objectOf(sampleSettings());
    EXPECT_TRUE(json->get("useAge").isBoolean());
    EXPECT_EQ(json->getValue<std::string>("detectionRange"), "LONG");
    EXPECT_EQ(json->getValue<std::string>("bodyTrackFps"), "FPS_10");
    EXPECT_EQ(json->getValue<std::string>("tovexMode"), "START_DURATION");
    EXPECT_EQ(json->getValue<std::string>("instanceName"), "hall \"A\"");
    EXPECT_TRUE(json->get("httpInterfacePort").isInteger());
    EXPECT_EQ(json->getValue<int>("httpInterfacePort"), 9443);
    EXPECT_NEAR(json->getValue<double>("faceConfidenceThreshold"), 0.65, 1e-6);
    EXPECT_TRUE(json->get("rotateMode").isString());
}

TEST(SettingsJson, RoundTripThroughTheFile) {
    lmtest::TempDir dir;
    const fs::path file = dir.path() / "settings.json";
    S written = sampleSettings();
    written.lm::Settings::minFaceSize = 33;  // the library's pixel sizes are not in the file
    written.lm::Settings::maxFaceSize = 99;
    written.saveSettingsAsJson(file);

    const std::string content = readFile(file);
    EXPECT_EQ(content, written.settingsToJsonString(4));
    EXPECT_EQ(content.back(), '}');
    EXPECT_NE(content.find("\n    \"useAge\""), std::string::npos);

    S read;
    read.faceTrackFps = S::FPS_5;
    read.lm::Settings::minFaceSize = 11;
    read.lm::Settings::maxFaceSize = 12;
    read.load(file);
    EXPECT_EQ(read.settingsToJsonString(0), written.settingsToJsonString(0));
    EXPECT_EQ(read.lm::Settings::minFaceSize, 0);
    EXPECT_EQ(read.lm::Settings::maxFaceSize, 0);
    EXPECT_EQ(read.faceTrackFps, S::FPS_5);  // not in the file: untouched
    // A few fields read directly, so a key mapped to the wrong field both ways shows up.
    EXPECT_EQ(read.minFaceSize, 0.125f);
    EXPECT_EQ(read.maxFaceSize, 0.5f);
    EXPECT_EQ(read.ROI_H, 0.75f);
    EXPECT_EQ(read.zoomCenterOffset_Y, 0.5f);
    EXPECT_EQ(read.httpInterfacePort, 9443);
    EXPECT_EQ(read.aggregationFrequency, 15u);
    EXPECT_EQ(read.peopleCountFrequency, 60u);
    EXPECT_EQ(read.tovexPushUrl, "http://h/tovex");
    EXPECT_EQ(read.statusPushUrl, "http://h/status");
    EXPECT_FALSE(read.useEmotions);
    EXPECT_EQ(read.neuralNetworksPath, "/opt/nets {v}");
}

TEST(SettingsJson, EveryKeyIsRequiredAndNothingIsWrittenWhenOneIsMissing) {
    const S before = sampleSettings();
    const auto full = objectOf(S());
    std::vector<std::string> keys;
    full->getNames(keys);
    ASSERT_EQ(keys.size(), 71u);
    for (const std::string& key : keys) {
        SCOPED_TRACE(key);
        auto json = objectOf(S());
        json->remove(key);
        S target = before;
        EXPECT_EQ(readError(target, json), "Field missing in settings JSON object: " + key);
        EXPECT_EQ(target.settingsToJsonString(0), before.settingsToJsonString(0));
    }
}

TEST(SettingsJson, PresenceOrderDecidesWhichMissingKeyIsReported) {
    struct Case {
        std::vector<std::string> removed;
        std::string reported;
    };
    const std::vector<Case> cases{
        {{"faceConfidenceThreshold", "neuralNetworksPath"}, "neuralNetworksPath"},
        {{"faceConfidenceThreshold", "bodyTrackFps"}, "bodyTrackFps"},
        {{"logLevel", "detectionRange"}, "detectionRange"},
        {{"tovexPushUrl", "useSmile"}, "useSmile"},
    };
    for (const Case& c : cases) {
        auto json = objectOf(S());
        for (const std::string& key : c.removed) json->remove(key);
        S target;
        EXPECT_EQ(readError(target, json), "Field missing in settings JSON object: " + c.reported);
    }
    S target;
    EXPECT_EQ(readError(target, new Poco::JSON::Object), "Field missing in settings JSON object: useAge");
}

TEST(SettingsJson, ANullValuePassesThePresenceCheckButNotTheConversion) {
    auto json = objectOf(S());
    json->set("tovexPushUrl", Poco::Dynamic::Var());
    S target;
    EXPECT_THROW(target.jsonToSettings(json), Poco::Exception);
}

TEST(SettingsJson, ExtraKeysAreIgnored) {
    auto json = objectOf(sampleSettings());
    json->set("somethingElse", 12);
    S target;
    target.jsonToSettings(json);
    EXPECT_EQ(target.settingsToJsonString(0), sampleSettings().settingsToJsonString(0));
}

TEST(SettingsJson, CheckTable) {
    struct Case {
        std::string key;
        Poco::Dynamic::Var value;
        std::string message;  // empty: accepted
    };
    const std::vector<Case> cases{
        {"peopleCountFrequency", 0, "Invalid setting: peopleCountFrequency =  0 "},
        {"peopleCountFrequency", 1, ""},
        {"peopleCountFrequency", 3600, ""},
        {"peopleCountFrequency", 3601, "Invalid setting: peopleCountFrequency =  3601 "},
        {"aggregationFrequency", 0, "Invalid setting: aggregationFrequency =  0 "},
        {"aggregationFrequency", 3600, ""},
        {"aggregationFrequency", 3601, "Invalid setting: aggregationFrequency =  3601 "},
        {"zoomFactor", 1.0, ""},
        {"zoomFactor", 100.0, ""},
        {"zoomFactor", 0.5, "Invalid setting: zoom_factor =  0.5 "},
        {"zoomFactor", 100.5, "Invalid setting: zoom_factor =  100.5 "},
        {"ROI_W", 1.0, ""},
        {"ROI_X", 0.0, ""},
        {"ROI_W", -0.1, "Invalid setting. ROI values should be between 0-1"},
        {"ROI_X", 1.5, "Invalid setting. ROI values should be between 0-1"},
        {"ROI_Y", 2.0, "Invalid setting. ROI values should be between 0-1"},
        {"ROI_H", -1.0, "Invalid setting. ROI values should be between 0-1"},
        {"minFaceSize", 1.0, ""},
        {"minFaceSize", 1.01, "Invalid setting. minFaceSize should be between 0-1"},
        {"maxFaceSize", -0.5, "Invalid setting. maxFaceSize should be between 0-1"},
        {"zoomCenterOffset_X", 1.0, ""},
        {"zoomCenterOffset_X", -0.01, "Invalid setting. zoomCenterOffset values should be between 0-1"},
        {"zoomCenterOffset_Y", 1.2, "Invalid setting. zoomCenterOffset values should be between 0-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key + " = " + c.value.toString());
        auto json = objectOf(S());
        json->set(c.key, c.value);
        S target;
        EXPECT_EQ(readError(target, json), c.message);
    }
}

// Every numeric key at the extremes of its type, read from an object and from the file.
TEST(SettingsJson, EveryNumericKeyAtItsExtremesIsReadOrRefusedByName) {
    const lmtest::TempDir dir;
    const fs::path file = dir.path() / "settings.json";
    for (const auto& row : lmtest::settingsExtremes()) {
        SCOPED_TRACE(row.key + " = " + row.value.toString());
        auto json = objectOf(S());
        json->set(row.key, row.value);
        S fromObject;
        EXPECT_EQ(readError(fromObject, json), row.message);

        writeFile(file, lmtest::settingsTextWith(S(), row.key, row.value));
        S fromFile;
        std::string fileError;
        try {
            fromFile.load(file);
        } catch (const std::runtime_error& e) {
            fileError = e.what();
        }
        EXPECT_EQ(fileError, row.message);
        if (row.message.empty()) {
            EXPECT_EQ(fromFile.settingsToJsonString(0), fromObject.settingsToJsonString(0));
        }
    }
}

TEST(SettingsJson, FirstBrokenRuleWins) {
    auto json = objectOf(S());
    json->set("peopleCountFrequency", 0);
    json->set("aggregationFrequency", 0);
    json->set("ROI_X", 2.0);
    S target;
    EXPECT_EQ(readError(target, json), "Invalid setting: peopleCountFrequency =  0 ");

    json->set("peopleCountFrequency", 10);
    EXPECT_EQ(readError(target, json), "Invalid setting: aggregationFrequency =  0 ");

    // The region may reach past the frame and the face sizes need not be ordered.
    json = objectOf(S());
    json->set("ROI_X", 0.8);
    json->set("ROI_W", 0.8);
    json->set("minFaceSize", 0.9);
    json->set("maxFaceSize", 0.1);
    EXPECT_EQ(readError(target, json), "");
}

TEST(SettingsJson, NotANumberIsOutOfEveryRange) {
    S s;
    s.zoomFactor = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(s.checkSettings(), std::runtime_error);
    s = S();
    s.ROI_W = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(s.checkSettings(), std::runtime_error);
    s = S();
    s.minFaceSize = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(s.checkSettings(), std::runtime_error);
}

TEST(SettingsJson, ReadOrderLeavesEarlierFieldsChangedOnFailure) {
    // Everything up to "flipVertically" in read order is taken before "rotateMode" fails;
    // everything after it keeps its old value.
    const S newer = sampleSettings();
    auto json = objectOf(newer);
    json->set("rotateMode", "ROTATE_45");
    S target;
    EXPECT_EQ(readError(target, json), "Error loading settings file: invalid rotate mode type ROTATE_45");
    EXPECT_FALSE(target.useAge);
    EXPECT_EQ(target.detectionRange, S::LONG);
    EXPECT_EQ(target.numThreads, 3);
    EXPECT_EQ(target.instanceName, newer.instanceName);
    EXPECT_EQ(target.sourceType, S::VIDEO_STREAM);
    EXPECT_TRUE(target.flipVertically);
    const S old;
    EXPECT_EQ(target.rotateMode, old.rotateMode);
    EXPECT_EQ(target.zoomFactor, old.zoomFactor);
    EXPECT_EQ(target.httpInterfacePort, old.httpInterfacePort);
    EXPECT_EQ(target.tovexPushUrl, old.tovexPushUrl);
}

TEST(SettingsJson, ReadOrderDiffersFromFileOrder) {
    // "logLevel" is read before "detectionRange", although the file has them the other way.
    auto json = objectOf(S());
    json->set("logLevel", "ERROR");
    json->set("detectionRange", "");
    S target;
    EXPECT_EQ(readError(target, json), "Error loading settings file: invalid log-level ERROR");
    json->set("logLevel", "WARN");
    EXPECT_EQ(readError(target, json), "Error loading settings file: invalid range ");
    EXPECT_EQ(target.logLevel, S::WARN);

    // The library's pixel face sizes are cleared after the six flags, before "maxNumFaces".
    json = objectOf(S());
    json->set("useSmile", false);
    json->set("maxNumFaces", "many");
    target = S();
    target.lm::Settings::minFaceSize = 50;
    target.faceConfidenceThreshold = 0.3f;
    EXPECT_THROW(target.jsonToSettings(json), Poco::Exception);
    EXPECT_FALSE(target.useSmile);
    EXPECT_EQ(target.lm::Settings::minFaceSize, 0);
    EXPECT_EQ(target.faceConfidenceThreshold, 0.3f);
}

TEST(SettingsJson, AnUnknownEnumerationValueIsWrittenButCannotBeReadBack) {
    S s;
    s.detectionRange = static_cast<S::Range>(5);
    s.sourceType = static_cast<S::SourceType>(9);
    const auto json = objectOf(s);
    EXPECT_EQ(json->getValue<std::string>("detectionRange"), "");
    EXPECT_EQ(json->getValue<std::string>("sourceType"), "Undefined");
    S target;
    EXPECT_EQ(readError(target, json), "Error loading settings file: invalid range ");
}

TEST(SettingsFile, MissingFileIsCreatedFromTheRecordWithoutChecks) {
    lmtest::TempDir dir;
    const fs::path file = dir.path() / "harbix.json";
    lmtest::LogCapture log;
    S s;
    s.neuralNetworksPath = "./networks";
    s.zoomFactor = 0.0f;  // out of range, but nothing is checked when the file is created
    const std::string before = s.settingsToJsonString(0);
    s.load(file);
    EXPECT_EQ(s.settingsToJsonString(0), before);
    EXPECT_EQ(readFile(file), s.settingsToJsonString(4));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Lumora Harbix setting file not found. Creating a default one: " +
                                                    file.string()});
    EXPECT_EQ(entriesIn(dir.path()), 1u);  // no temporary file left beside it
}

TEST(SettingsFile, BadPathsAndContents) {
    lmtest::TempDir dir;
    S s;
    try {
        s.load(dir.path());
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Settings file is not a regular file : " + dir.path().string());
    }

    const fs::path file = dir.path() / "s.json";
    for (const std::string& content : {std::string("{\"useAge\": tru"), std::string("[1, 2]"), std::string("")}) {
        SCOPED_TRACE(content);
        writeFile(file, content);
        EXPECT_THROW(s.load(file), Poco::Exception);
    }

    const fs::path unreadable = dir.path() / "no-dir" / "s.json";
    try {
        s.saveSettingsAsJson(unreadable);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Error opening json file: " + unreadable.string());
    }
}

TEST(SettingsFile, SavingReplacesTheFileBehindALink) {
    lmtest::TempDir dir;
    const fs::path real = dir.path() / "real.json";
    const fs::path link = dir.path() / "link.json";
    writeFile(real, "old");
    ::chmod(real.c_str(), 0640);
    fs::create_symlink(real, link);
    sampleSettings().saveSettingsAsJson(link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(real), sampleSettings().settingsToJsonString(4));
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::mask,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST(SettingsFile, ADeviceIsNeverReplaced) {
    const fs::path device = "/dev/full";
    if (!fs::exists(device)) GTEST_SKIP() << "no /dev/full";
    try {
        S().saveSettingsAsJson(device);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error opening json file: /dev/full");
    }
    EXPECT_TRUE(fs::is_character_file(device));
}

TEST(SettingsFile, AFullDiskLeavesTheOldFileIntact) {
    lmtest::TempDir dir;
    const fs::path file = dir.path() / "settings.json";
    S().saveSettingsAsJson(file);
    const std::string old = readFile(file);

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(saveWithFileSizeLimit(file, 300), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(readFile(file), old);
    EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(SettingsFile, StaleTemporaryFilesOfASaveAreRemovedAndNothingElse) {
    const lmtest::TempDir dir;
    const fs::path real = dir.path() / "real";
    fs::create_directory(real);
    const fs::path file = real / "settings.json";
    writeFile(file, "{}");
    const fs::path link = dir.path() / "link.json";
    fs::create_symlink(file, link);

    const std::vector<std::string> stale = {".settings.json.Ab12Cd", ".settings.json.XXXXXX", ".settings.json.000000"};
    const std::vector<std::string> kept = {
        "settings.json",      ".settings.json.Ab12C",  ".settings.json.Ab12Cde", "settings.json.Ab12Cd",
        ".other.json.Ab12Cd", ".settings.json.Ab_2Cd", ".settings.json.Ab12Cd~",
    };
    for (const auto& name : stale) writeFile(real / name, "{\"half");
    for (const auto& name : kept)
        if (name != "settings.json") writeFile(real / name, "x");
    // Of the temporary names only regular files are a save's.
    fs::create_directory(real / ".settings.json.dir123");
    fs::create_symlink(file, real / ".settings.json.lnk123");

    // Through the link, the temporaries beside the file it names are the ones.
    EXPECT_EQ(S::removeStaleTemporaryFiles(link), stale.size());
    for (const auto& name : stale) EXPECT_FALSE(fs::exists(real / name)) << name;
    for (const auto& name : kept) EXPECT_TRUE(fs::exists(real / name)) << name;
    EXPECT_TRUE(fs::is_directory(real / ".settings.json.dir123"));
    EXPECT_TRUE(fs::is_symlink(real / ".settings.json.lnk123"));
    EXPECT_EQ(readFile(file), "{}");

    EXPECT_EQ(S::removeStaleTemporaryFiles(file), 0u);
    EXPECT_EQ(S::removeStaleTemporaryFiles(dir.path() / "missing" / "settings.json"), 0u);
}

TEST(SettingsLog, GoldenText) {
    lmtest::LogCapture log;
    sampleSettings().logSettings();
    const std::string expected =
        "\n"
        "Lumora version : 3.0.0\n"
        "Harbix settings:\n"
        "  neuralNetworksPath = /opt/nets {v}\n"
        "  logLevel = DEBUG\n"
        "  dnnTarget = GPU_MT\n"
        "  networkType = QUANTIZED\n"
        "  useAge = false\n"
        "  useGender = false\n"
        "  useHeadpose = false\n"
        "  useSmile = false\n"
        "  useFaceMask = false\n"
        "  faceConfidenceThreshold = 0.65\n"
        "  maxNumFaces = 7\n"
        "  numThreads = 3\n"
        "  sourceType = VIDEO_STREAM\n"
        "  webcamIndex = 2\n"
        "  videoFilePath = /v/a.mp4\n"
        "  videoStreamUrl = rtsp://cam/{id}\n"
        "  resolutionWidth = 1280\n"
        "  resolutionHeight = 720\n"
        "  loopVideo = true\n"
        "  processAllFrames = false\n"
        "  drawResult = false\n"
        "  blurFaces = true\n"
        "  instanceName = hall \"A\"\n"
        "  aggregationFrequency = 15\n"
        "  httpInterfacePort = 9443\n"
        "  httpInterfaceSsl = true\n"
        "  httpInterfaceSslKey = k.pem\n"
        "  httpInterfaceSslCrt = c.pem\n"
        "  rawCsvEnabled = true\n"
        "  rawCsvPath = /csv/raw\n"
        "  aggregatedCsvEnabled = true\n"
        "  aggregatedCsvPath = /csv/agg\n"
        "  rawPushEnabled = true\n"
        "  rawPushUrl = http://h/raw\n"
        "  aggregatedPushEnabled = true\n"
        "  aggregatedPushUrl = http://h/agg\n"
        "  rawPullEnabled = true\n"
        "  aggregatedPullEnabled = true\n"
        "  flipHorizontally = true\n"
        "  flipVertically = true\n"
        "  rotateMode = ROTATE_270\n"
        "  zoomFactor = 2.5\n"
        "  zoomCenterOffset (x, y) = 0.25, 0.5\n"
        "  ROI (x, y, w, h) = 0.1, 0.2, 0.5, 0.75\n"
        "  maxFaceSize = 0.5\n"
        "  minFaceSize = 0.125\n"
        "  peopleCountEnabled = false\n"
        "  peopleCountPullEnabled = true\n"
        "  peopleCountPushEnabled = true\n"
        "  peopleCountPushUrl = http://h/pc\n"
        "  peopleCountCsvEnabled = true\n"
        "  peopleCountCsvPath = /csv/pc\n"
        "  peopleCountFrequency = 60\n"
        "  statusPushEnabled = true\n"
        "  statusPushUrl = http://h/status\n"
        "  statusPullEnabled = false\n"
        "  currentStatsEnabled = true\n"
        "  currentStatsDuration = 60\n"
        "  tovexEnabled = true\n"
        "  tovexMode = 2\n"
        "  tovexCsvEnabled = true\n"
        "  tovexCsvPath = /csv/tovex\n"
        "  tovexPushEnabled = true\n"
        "  tovexPushUrl = http://h/tovex\n";
    EXPECT_EQ(log.texts(), std::vector<std::string>{expected});
}

TEST(SettingsLog, DefaultsPrintInTheirShortestForm) {
    lmtest::LogCapture log;
    S().logSettings();
    ASSERT_EQ(log.texts().size(), 1u);
    const std::string text = log.texts().front();
    EXPECT_NE(text.find("\n  faceConfidenceThreshold = 0.8\n"), std::string::npos);
    EXPECT_NE(text.find("\n  zoomFactor = 1\n"), std::string::npos);
    EXPECT_NE(text.find("\n  ROI (x, y, w, h) = 0, 0, 0, 0\n"), std::string::npos);
    EXPECT_NE(text.find("\n  neuralNetworksPath = \n"), std::string::npos);
    EXPECT_EQ(text.find("useEmotions"), std::string::npos);
    EXPECT_EQ(text.find("detectionRange"), std::string::npos);
    EXPECT_EQ(text.find("bodyTrackFps"), std::string::npos);
}
