// The record's defaults and the text forms of every enumeration the settings file carries.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hx_settings.h"

namespace {

using S = hx::Settings;

// One enumeration's text table: its texts in value order, what the writer gives for a
// value outside the table, and the parser's message prefix.
struct TextForm {
    std::string name;
    std::vector<std::string> texts;
    std::string unknownText;
    std::string errorPrefix;
    std::function<std::string(int)> write;
    std::function<int(const std::string&)> parse;
};

template <typename Enum, typename Writer, typename Parser>
TextForm textForm(std::string name, std::vector<std::string> texts, std::string unknown, std::string error,
                  Writer writer, Parser parser) {
    return TextForm{std::move(name),
                    std::move(texts),
                    std::move(unknown),
                    std::move(error),
                    [writer](int v) { return writer(static_cast<Enum>(v)); },
                    [parser](const std::string& t) { return static_cast<int>(parser(t)); }};
}

std::vector<TextForm> allTextForms() {
    return {
        textForm<S::SourceType>("SourceType", {"WEBCAM", "VIDEO_FILE", "VIDEO_STREAM"}, "Undefined",
                                "Error loading settings file: invalid source type ", S::getSourceTypeStr,
                                S::stringToSourceType),
        textForm<S::RotateMode>("RotateMode", {"ROTATE_0", "ROTATE_90", "ROTATE_180", "ROTATE_270"}, "Undefined",
                                "Error loading settings file: invalid rotate mode type ", S::getRotateModeStr,
                                S::stringToRotateMode),
        textForm<S::TovexMode>("TovexMode", {"START_STOP", "START_START", "START_DURATION"}, "",
                               "Error loading settings file: invalid Tovex Mode ", S::getTovexModeStr,
                               S::stringToTovexMode),
        textForm<S::LogLevel>("LogLevel", {"TRACE", "DEBUG", "INFO", "WARN", "ERR", "CRITICAL"}, "Undefined",
                              "Error loading settings file: invalid log-level ", S::getLogLevelStr,
                              S::stringToLogLevel),
        textForm<S::DnnTarget>("DnnTarget", {"CPU", "GPU", "GPU_MT"}, "Undefined",
                               "Error loading settings file: invalid DNN-target ", S::getDnnTargetStr,
                               S::stringToDnnTarget),
        textForm<S::NetworkType>("NetworkType", {"NORMAL", "QUANTIZED"}, "Undefined",
                                 "Error loading settings file: invalid network-type ", S::getNetworkTypeStr,
                                 S::stringToNetworkType),
        textForm<S::Range>("Range", {"REGULAR", "LONG"}, "", "Error loading settings file: invalid range ",
                           S::getDetectionRangeStr, S::stringToRange),
        textForm<S::TrackerFps>("TrackerFps", {"DYNAMIC", "FPS_30", "FPS_10", "FPS_5"}, "",
                                "Error loading settings file: invalid body tracker fps ", S::getBodyTrackFpsStr,
                                S::stringToBodyTrackFps),
    };
}

std::string parseError(const TextForm& form, const std::string& text) {
    try {
        form.parse(text);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "no exception";
}

}  // namespace

TEST(SettingsText, EveryValueHasItsTextBothWays) {
    for (const TextForm& form : allTextForms()) {
        SCOPED_TRACE(form.name);
        for (std::size_t value = 0; value < form.texts.size(); ++value) {
            EXPECT_EQ(form.write(static_cast<int>(value)), form.texts[value]);
            EXPECT_EQ(form.parse(form.texts[value]), static_cast<int>(value));
        }
    }
}

TEST(SettingsText, ValuesOutsideTheTableGiveTheFallbackText) {
    for (const TextForm& form : allTextForms()) {
        SCOPED_TRACE(form.name);
        EXPECT_EQ(form.write(static_cast<int>(form.texts.size())), form.unknownText);
        EXPECT_EQ(form.write(-1), form.unknownText);
    }
}

TEST(SettingsText, ParsersAcceptOnlyTheExactTextAndNameTheOffendingOne) {
    for (const TextForm& form : allTextForms()) {
        SCOPED_TRACE(form.name);
        std::string lower = form.texts[0];
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& bad :
             {lower, form.texts[0] + " ", " " + form.texts[0], std::string("0"), std::string()}) {
            EXPECT_EQ(parseError(form, bad), form.errorPrefix + bad);
        }
    }
}

TEST(SettingsText, CasesThatAreEasyToGetWrong) {
    EXPECT_EQ(S::stringToLogLevel("ERR"), S::ERR);
    EXPECT_THROW(S::stringToLogLevel("ERROR"), std::runtime_error);
    EXPECT_THROW(S::stringToSourceType("webcam"), std::runtime_error);
    EXPECT_EQ(S::getRotateModeStr(static_cast<S::RotateMode>(4)), "Undefined");
    EXPECT_EQ(S::getDetectionRangeStr(static_cast<S::Range>(2)), "");
    EXPECT_EQ(S::stringToTovexMode("START_DURATION"), 2);
    EXPECT_EQ(S::getTovexModeStr(S::START_DURATION), "START_DURATION");
    try {
        S::stringToRotateMode("ROTATE_45");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error loading settings file: invalid rotate mode type ROTATE_45");
    }
}

TEST(SettingsDefaults, ApplicationAndLibraryParts) {
    const hx::Settings s;
    // Library part: the library's own defaults, path left empty for the caller to set.
    EXPECT_TRUE(s.neuralNetworksPath.empty());
    EXPECT_EQ(s.logLevel, S::INFO);
    EXPECT_EQ(s.dnnTarget, S::CPU);
    EXPECT_EQ(s.faceTrackFps, S::DYNAMIC);
    EXPECT_EQ(s.lm::Settings::minFaceSize, 0);
    EXPECT_EQ(s.lm::Settings::maxFaceSize, 0);
    EXPECT_FLOAT_EQ(s.faceConfidenceThreshold, 0.8f);

    EXPECT_EQ(s.sourceType, S::WEBCAM);
    EXPECT_EQ(s.webcamIndex, 0);
    EXPECT_EQ(s.resolutionWidth, 640);
    EXPECT_EQ(s.resolutionHeight, 480);
    EXPECT_FALSE(s.loopVideo);
    EXPECT_TRUE(s.processAllFrames);
    EXPECT_TRUE(s.drawResult);
    EXPECT_FALSE(s.blurFaces);
    EXPECT_TRUE(s.peopleCountEnabled);
    EXPECT_EQ(s.peopleCountFrequency, 30u);
    EXPECT_EQ(s.instanceName, "hx");
    EXPECT_EQ(s.aggregationFrequency, 30u);
    EXPECT_EQ(s.httpInterfacePort, 8080);
    EXPECT_FALSE(s.httpInterfaceSsl);
    EXPECT_EQ(s.httpInterfaceSslKey, "certificate.key");
    EXPECT_EQ(s.httpInterfaceSslCrt, "certificate.crt");
    EXPECT_TRUE(s.statusPullEnabled);
    EXPECT_FALSE(s.rawPushEnabled || s.aggregatedPushEnabled || s.peopleCountPushEnabled || s.statusPushEnabled ||
                 s.tovexPushEnabled);
    EXPECT_FALSE(s.rawCsvEnabled || s.aggregatedCsvEnabled || s.peopleCountCsvEnabled || s.tovexCsvEnabled);
    EXPECT_FALSE(s.rawPullEnabled || s.aggregatedPullEnabled || s.peopleCountPullEnabled);
    EXPECT_EQ(s.rotateMode, S::ROTATE_0);
    EXPECT_FLOAT_EQ(s.zoomFactor, 1.0f);
    EXPECT_EQ(s.zoomCenterOffset_X, 0.0f);
    EXPECT_EQ(s.zoomCenterOffset_Y, 0.0f);
    EXPECT_EQ(s.ROI_X + s.ROI_Y + s.ROI_W + s.ROI_H, 0.0f);
    EXPECT_EQ(s.minFaceSize, 0.0f);
    EXPECT_EQ(s.maxFaceSize, 0.0f);
    EXPECT_FALSE(s.currentStatsEnabled);
    EXPECT_EQ(s.currentStatsDuration, 10);
    EXPECT_FALSE(s.tovexEnabled);
    EXPECT_EQ(s.tovexMode, S::START_STOP);
}

TEST(SettingsDefaults, TheRecordIsTheLibrarysRecordToo) {
    hx::Settings s;
    s.neuralNetworksPath = "./networks";
    s.lm::Settings::minFaceSize = 40;
    s.minFaceSize = 0.25f;
    const lm::Settings library = s;  // what the library is handed
    EXPECT_EQ(library.neuralNetworksPath, "./networks");
    EXPECT_EQ(library.minFaceSize, 40);
}
