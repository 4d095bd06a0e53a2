#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <lumora/lm_settings.h>

namespace {

using S = lm::Settings;

TEST(Settings, Defaults) {
    const S s;
    EXPECT_EQ(s.neuralNetworksPath, "");
    EXPECT_EQ(s.logLevel, S::INFO);
    EXPECT_EQ(s.dnnTarget, S::CPU);
    EXPECT_EQ(s.bodyTrackFps, S::DYNAMIC);
    EXPECT_EQ(s.faceTrackFps, S::DYNAMIC);
    EXPECT_EQ(s.networkType, S::NORMAL);
    EXPECT_TRUE(s.useAge && s.useGender && s.useHeadpose && s.useSmile && s.useFaceMask && s.useEmotions);
    EXPECT_FLOAT_EQ(s.faceConfidenceThreshold, 0.8f);
    EXPECT_EQ(s.maxNumFaces, -1);
    EXPECT_EQ(s.minFaceSize, 0);
    EXPECT_EQ(s.maxFaceSize, 0);
    EXPECT_EQ(s.detectionRange, S::REGULAR);
    EXPECT_EQ(s.numThreads, -1);
    EXPECT_TRUE(S() == S());
    EXPECT_FALSE(S() != S());
}

TEST(Settings, EnumeratorValues) {
    EXPECT_EQ(S::TRACE, 0);
    EXPECT_EQ(S::CRITICAL, 5);
    EXPECT_EQ(S::GPU_MT, 2);
    EXPECT_EQ(S::QUANTIZED, 1);
    EXPECT_EQ(S::LONG, 1);
    EXPECT_EQ(S::FPS_5, 3);
}

struct FieldChange {
    const char* field;
    std::function<void(S&)> change;
};

TEST(Settings, EveryComparedFieldMakesRecordsUnequal) {
    const FieldChange changes[] = {
        {"faceConfidenceThreshold", [](S& s) { s.faceConfidenceThreshold = 0.5f; }},
        {"neuralNetworksPath", [](S& s) { s.neuralNetworksPath = "./networks"; }},
        {"logLevel", [](S& s) { s.logLevel = S::DEBUG; }},
        {"dnnTarget", [](S& s) { s.dnnTarget = S::GPU; }},
        {"bodyTrackFps", [](S& s) { s.bodyTrackFps = S::FPS_10; }},
        {"faceTrackFps", [](S& s) { s.faceTrackFps = S::FPS_30; }},
        {"useAge", [](S& s) { s.useAge = false; }},
        {"useGender", [](S& s) { s.useGender = false; }},
        {"useHeadpose", [](S& s) { s.useHeadpose = false; }},
        {"useSmile", [](S& s) { s.useSmile = false; }},
        {"useFaceMask", [](S& s) { s.useFaceMask = false; }},
        {"useEmotions", [](S& s) { s.useEmotions = false; }},
        {"maxNumFaces", [](S& s) { s.maxNumFaces = 3; }},
        {"minFaceSize", [](S& s) { s.minFaceSize = 20; }},
        {"maxFaceSize", [](S& s) { s.maxFaceSize = 200; }},
        {"detectionRange", [](S& s) { s.detectionRange = S::LONG; }},
        {"numThreads", [](S& s) { s.numThreads = 4; }},
    };
    for (const auto& c : changes) {
        S changed;
        c.change(changed);
        EXPECT_TRUE(changed != S()) << c.field;
        EXPECT_FALSE(changed == S()) << c.field;
    }
}

TEST(Settings, NetworkTypeIsNotCompared) {
    S quantized;
    quantized.networkType = S::QUANTIZED;
    EXPECT_TRUE(quantized == S());
    EXPECT_FALSE(quantized != S());
}

TEST(Settings, NanThresholdIsNeverEqual) {
    S s;
    s.faceConfidenceThreshold = std::numeric_limits<float>::quiet_NaN();
    const S copy = s;
    EXPECT_TRUE(s != copy);
    EXPECT_FALSE(s == copy);
}

TEST(Settings, TargetPredicates) {
    S s;
    EXPECT_TRUE(s.cpuTargetEnabled());
    EXPECT_FALSE(s.gpuTargetEnabled());
    for (auto target : {S::GPU, S::GPU_MT}) {
        s.dnnTarget = target;
        EXPECT_FALSE(s.cpuTargetEnabled());
        EXPECT_TRUE(s.gpuTargetEnabled());
    }
}

// One enumeration's words in value order, with its two conversions over plain numbers.
struct Words {
    const char* enumeration;
    std::vector<std::string> words;
    std::function<std::string(int)> toText;
    std::function<bool(const std::string&, int&)> fromText;
};

template <typename Enum>
Words wordsOf(const char* enumeration, std::vector<std::string> words) {
    return {enumeration, std::move(words), [](int value) { return lm::toText(static_cast<Enum>(value)); },
            [](const std::string& text, int& value) {
                Enum parsed = static_cast<Enum>(value);
                const bool known = lm::fromText(text, parsed);
                value = parsed;
                return known;
            }};
}

std::vector<Words> allWords() {
    return {
        wordsOf<S::LogLevel>("LogLevel", {"TRACE", "DEBUG", "INFO", "WARN", "ERR", "CRITICAL"}),
        wordsOf<S::DnnTarget>("DnnTarget", {"CPU", "GPU", "GPU_MT"}),
        wordsOf<S::NetworkType>("NetworkType", {"NORMAL", "QUANTIZED"}),
        wordsOf<S::Range>("Range", {"REGULAR", "LONG"}),
        wordsOf<S::TrackerFps>("TrackerFps", {"DYNAMIC", "FPS_30", "FPS_10", "FPS_5"}),
    };
}

TEST(SettingsWords, EveryValueHasItsWordBothWays) {
    for (const Words& form : allWords()) {
        SCOPED_TRACE(form.enumeration);
        for (int value = 0; value < static_cast<int>(form.words.size()); ++value) {
            EXPECT_EQ(form.toText(value), form.words[static_cast<std::size_t>(value)]);
            int parsed = -1;
            EXPECT_TRUE(form.fromText(form.words[static_cast<std::size_t>(value)], parsed));
            EXPECT_EQ(parsed, value);
        }
        EXPECT_EQ(form.toText(-1), "");
        EXPECT_EQ(form.toText(static_cast<int>(form.words.size())), "");
    }
}

TEST(SettingsWords, OnlyTheExactWordIsTakenAndAnyOtherTextChangesNothing) {
    for (const Words& form : allWords()) {
        SCOPED_TRACE(form.enumeration);
        const std::string& last = form.words.back();
        std::string lower = last;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& bad : {lower, last + " ", " " + last, std::string("0"), std::string()}) {
            int value = 0;
            EXPECT_FALSE(form.fromText(bad, value)) << "'" << bad << "'";
            EXPECT_EQ(value, 0);
        }
    }
}

}  // namespace
