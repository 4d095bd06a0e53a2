#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "lumora/lm_settings.h"
#include "support/temp_dir.h"

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeAll(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string goldenPath(const std::string& name) {
    return (std::filesystem::path(LUMORA_TEST_DATA_DIR) / name).string();
}

std::string loadError(const std::string& fileText, lm::Settings& settings) {
    lmtest::TempDir dir;
    const std::string path = dir.file("s.ini");
    writeAll(path, fileText);
    try {
        settings.load(path);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(SettingsFile, DefaultsAreWrittenAsTheGoldenFile) {
    lmtest::TempDir dir;
    lm::Settings settings;
    settings.save(dir.file("default.ini"));
    EXPECT_EQ(readAll(dir.file("default.ini")), readAll(goldenPath("default_settings.ini")));
}

TEST(SettingsFile, RoundTripKeepsEveryField) {
    lmtest::TempDir dir;
    lm::Settings saved;
    saved.neuralNetworksPath = "  /models/with blanks  ";
    saved.logLevel = lm::Settings::ERR;
    saved.dnnTarget = lm::Settings::GPU_MT;
    saved.bodyTrackFps = lm::Settings::FPS_5;
    saved.faceTrackFps = lm::Settings::FPS_30;
    saved.networkType = lm::Settings::QUANTIZED;
    saved.useAge = false;
    saved.useSmile = false;
    saved.useEmotions = false;
    saved.faceConfidenceThreshold = 0.123456789f;
    saved.maxNumFaces = 7;
    saved.minFaceSize = 20;
    saved.maxFaceSize = 400;
    saved.detectionRange = lm::Settings::LONG;
    saved.numThreads = 3;
    saved.save(dir.file("s.ini"));

    lm::Settings loaded;
    loaded.load(dir.file("s.ini"));
    EXPECT_EQ(loaded.neuralNetworksPath, "/models/with blanks  ");  // leading blanks are lost
    EXPECT_EQ(loaded.networkType, lm::Settings::QUANTIZED);         // not part of ==
    EXPECT_FLOAT_EQ(loaded.faceConfidenceThreshold, 0.123457f);     // six decimals
    loaded.neuralNetworksPath = saved.neuralNetworksPath;
    loaded.faceConfidenceThreshold = saved.faceConfidenceThreshold;
    EXPECT_EQ(loaded, saved);
}

TEST(SettingsFile, AnEnumerationOutsideItsWordsIsWrittenEmpty) {
    lmtest::TempDir dir;
    lm::Settings settings;
    settings.logLevel = static_cast<lm::Settings::LogLevel>(42);
    settings.save(dir.file("s.ini"));
    EXPECT_NE(readAll(dir.file("s.ini")).find("logLevel = \n"), std::string::npos);
}

TEST(SettingsFile, APartialFileChangesOnlyItsKeys) {
    lm::Settings settings;
    settings.numThreads = 5;
    EXPECT_EQ(loadError("[FaceDetection]\nmaxNumFaces = 3\n[Detectors]\nuseAge = 0\nuseGender =\n"
                        "[NeuralNetwork]\nneuralNetworksPath =\nfaceConfidenceThreshold = \n"
                        "numThreads = 9\n",  // in the wrong section: not read
                        settings),
              "");
    lm::Settings expected;
    expected.numThreads = 5;
    expected.maxNumFaces = 3;
    expected.useAge = false;
    EXPECT_EQ(settings, expected);
    EXPECT_TRUE(settings.useGender);  // an empty value keeps the flag
    EXPECT_TRUE(settings.neuralNetworksPath.empty());

    lm::Settings untouched;
    untouched.neuralNetworksPath = "/keep";
    EXPECT_EQ(loadError("", untouched), "");
    EXPECT_EQ(untouched.neuralNetworksPath, "/keep");
    EXPECT_EQ(loadError("[NeuralNetwork]\nneuralNetworksPath =\n", untouched), "");
    EXPECT_EQ(untouched.neuralNetworksPath, "");
}

TEST(SettingsFile, ConvertsNumbersAndFlagsLikeTheStandardConversions) {
    lm::Settings settings;
    EXPECT_EQ(loadError("[Detectors]\nuseAge = 2\nuseGender = 7x\nuseSmile = 0\n"
                        "[FaceDetection]\nminFaceSize =   12abc\n"
                        "[NeuralNetwork]\nfaceConfidenceThreshold = 0.25 high\n"
                        "[System]\nnumThreads = 1024\n",
                        settings),
              "");
    EXPECT_TRUE(settings.useAge);
    EXPECT_TRUE(settings.useGender);
    EXPECT_FALSE(settings.useSmile);
    EXPECT_EQ(settings.minFaceSize, 12);
    EXPECT_FLOAT_EQ(settings.faceConfidenceThreshold, 0.25f);
    EXPECT_EQ(settings.numThreads, lm::Settings::MAX_NUM_THREADS);
}

TEST(SettingsFile, LoadErrorsCarryTheSpecifiedMessages) {
    struct Case {
        std::string file;
        std::string message;
    };
    const Case cases[] = {
        {"[System]\nnumThreads = many\n", "Error loading settings file: section \"System\" parameter \"numThreads\""},
        // More threads than the thread pool can take is refused like a value that is no number.
        {"[System]\nnumThreads = 1025\n", "Error loading settings file: section \"System\" parameter \"numThreads\""},
        {"[Detectors]\nuseSmile = true\n", "Error loading settings file: section \"Detectors\" parameter \"useSmile\""},
        {"[FaceDetection]\nmaxNumFaces = 99999999999\n",
         "Error loading settings file: section \"FaceDetection\" parameter \"maxNumFaces\""},
        {"[NeuralNetwork]\nfaceConfidenceThreshold = 1e99\n",
         "Error loading settings file: section \"NeuralNetwork\" parameter \"faceConfidenceThreshold\""},
        {"[System]\nlogLevel = INFO \n", "Error loading settings file: invalid log-level INFO "},
        {"[System]\nlogLevel = info\n", "Error loading settings file: invalid log-level info"},
        {"[System]\ndnnTarget =\n", "Error loading settings file: invalid DNN-target "},
        {"[System]\nbodyTrackFps = FPS_15\n", "Error loading settings file: invalid tracker fps FPS_15"},
        {"[System]\nfaceTrackFps = 30\n", "Error loading settings file: invalid tracker fps 30"},
        {"[System]\nnetworkType = FAST\n", "Error loading settings file: invalid network type FAST"},
        {"[FaceDetection]\ndetectionRange = SHORT\n", "Error loading settings file: invalid range SHORT"},
        {"[System]\nbroken line\n", "Error parsing ini file. Offending line: broken line"},
    };
    for (const auto& c : cases) {
        lm::Settings settings;
        EXPECT_EQ(loadError(c.file, settings), c.message) << c.file;
    }
}

TEST(SettingsFile, ABadValueLeavesTheEarlierFieldsUpdated) {
    lm::Settings settings;
    // Read order: threshold, path, logLevel, dnnTarget, ... numThreads last.
    EXPECT_NE(loadError("[NeuralNetwork]\nfaceConfidenceThreshold = 0.5\nneuralNetworksPath = /m\n"
                        "[System]\ndnnTarget = TPU\nlogLevel = DEBUG\nnetworkType = QUANTIZED\n",
                        settings),
              "");
    EXPECT_FLOAT_EQ(settings.faceConfidenceThreshold, 0.5f);
    EXPECT_EQ(settings.neuralNetworksPath, "/m");
    EXPECT_EQ(settings.logLevel, lm::Settings::DEBUG);
    EXPECT_EQ(settings.dnnTarget, lm::Settings::CPU);
    EXPECT_EQ(settings.networkType, lm::Settings::NORMAL);

    // A file that does not parse changes nothing.
    lm::Settings unchanged;
    EXPECT_NE(loadError("[System]\nlogLevel = DEBUG\n;\r\n", unchanged), "");
    EXPECT_EQ(unchanged.logLevel, lm::Settings::INFO);
}

TEST(SettingsFile, CrlfFilesAreRead) {
    lm::Settings settings;
    EXPECT_EQ(loadError("[System]\r\nlogLevel = WARN\r\n\r\n[FaceDetection]\r\nmaxFaceSize = 80\r\n", settings), "");
    EXPECT_EQ(settings.logLevel, lm::Settings::WARN);
    EXPECT_EQ(settings.maxFaceSize, 80);
}

TEST(SettingsFile, SaveReportsAFileThatCannotBeWritten) {
    lm::Settings settings;
    EXPECT_THROW(settings.save("/nonexistent-dir/s.ini"), std::runtime_error);
    EXPECT_THROW(settings.save("/dev/full"), std::runtime_error);
}

}  // namespace
