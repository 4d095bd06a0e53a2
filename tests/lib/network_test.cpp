#include <gtest/gtest.h>

#include "lm_network.h"

namespace {

TEST(ModelFiles, NamesFollowDirectoryBaseAndType) {
    const struct {
        const char* dir;
        const char* base;
        lm::Settings::NetworkType type;
        const char* xml;
        const char* bin;
    } cases[] = {
        {"./networks", "detect_regular", lm::Settings::QUANTIZED, "./networks/detect_regular_quantized.xml.enc",
         "./networks/detect_regular_quantized.bin.enc"},
        {"./networks", "agegender", lm::Settings::NORMAL, "./networks/agegender.xml.enc",
         "./networks/agegender.bin.enc"},
        {"./networks/", "emotion", lm::Settings::NORMAL, "./networks//emotion.xml.enc", "./networks//emotion.bin.enc"},
        {"/m", "smile", static_cast<lm::Settings::NetworkType>(7), "/m/smile.xml.enc", "/m/smile.bin.enc"},
    };
    for (const auto& c : cases) {
        const lm::ModelFiles files = lm::modelFiles(c.dir, c.base, c.type);
        EXPECT_EQ(files.description, c.xml);
        EXPECT_EQ(files.weights, c.bin);
    }
}

}  // namespace

// ---- What the eight stages share: the face crop, the reload rule, the target, failures.

#include <functional>
#include <memory>
#include <set>

#include "face_estimator.h"
#include "lm_age_gender.h"
#include "lm_bodydetector.h"
#include "lm_bodyencoder.h"
#include "lm_emotions.h"
#include "lm_facedetector.h"
#include "lm_facemask.h"
#include "lm_headpose.h"
#include "lm_smile.h"
#include "support/stages.h"

namespace {

TEST(FaceCrop, SquareIsPaddedShrunkClippedAndCentred) {
    const cv::Mat frame(480, 640, CV_8UC3);
    const struct {
        cv::Rect box, square;
    } cases[] = {
        {{100, 50, 40, 60}, {92, 52, 56, 56}},     // padded 88,32,64,96, shrunk 92,38,56,84
        {{0, 100, 40, 40}, {0, 96, 48, 48}},       // clipped at the left edge to 0,92,48,56
        {{620, 440, 40, 40}, {612, 442, 28, 28}},  // 612,432,56,56 clipped to 28 x 48
        {{100, 50, 40, 61}, {92, 52, 56, 56}},     // 92,38,56,85: 14 rows above, the odd 15th below
    };
    for (const auto& c : cases) EXPECT_EQ(lm::faceCropSquare(c.box, frame), c.square) << c.box;
}

TEST(FaceCrop, UndersizedAndOutsideBoxesAreSkipped) {
    const cv::Mat frame(480, 640, CV_8UC3);
    const struct {
        cv::Rect box;
        bool skipped;
    } cases[] = {
        {{100, 100, 14, 40}, true}, {{100, 100, 40, 14}, true},   {{100, 100, 15, 15}, false},
        {{700, 100, 40, 40}, true}, {{-100, -100, 40, 40}, true}, {{630, 100, 40, 40}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(lm::estimatorCrop(c.box, frame).empty(), c.skipped) << c.box;
}

// The eight stages behind one face, for the table of what reloads.
struct StageUnderTest {
    std::string name;
    std::vector<std::string> bases;
    std::function<std::unique_ptr<lm::ISettingsObserver>()> make;
    std::function<int(const lm::ISettingsObserver&)> target;
};

template <typename Stage>
StageUnderTest stage(const std::string& name, std::vector<std::string> bases) {
    return {name, std::move(bases), [] { return std::make_unique<Stage>(); },
            [](const lm::ISettingsObserver& s) { return static_cast<const Stage&>(s).preferableTarget(); }};
}

const std::vector<StageUnderTest>& allStages() {
    static const std::vector<StageUnderTest> stages = {
        stage<lm::FaceDetector>("face", {"detect_regular", "detect_long"}),
        stage<lm::AgeGender>("agegender", {"agegender"}),
        stage<lm::HeadposeEstimator>("headpose", {"headpose"}),
        stage<lm::Smile>("smile", {"smile"}),
        stage<lm::FaceMask>("facemask", {"facemask"}),
        stage<lm::EmotionsEstimator>("emotion", {"emotion"}),
        stage<lm::BodyDetector>("body", {"bodydetect"}),
        stage<lm::BodyEncoder>("encoder", {"bodyencoder"}),
    };
    return stages;
}

const std::set<std::string> ALL = {"face", "agegender", "headpose", "smile", "facemask", "emotion", "body", "encoder"};

TEST(StageReload, WhatReloadsOnWhichChange) {
    // A stage reloads when its model files are read again: with them removed after the
    // first load, exactly the reloading stages fail.
    const struct {
        const char* what;
        lm::Settings::DnnTarget from;
        std::function<void(lm::Settings&)> change;
        std::set<std::string> reloads;
    } rows[] = {
        {"nothing", lm::Settings::CPU, [](lm::Settings&) {}, {"face"}},
        {"CPU to GPU", lm::Settings::CPU, [](lm::Settings& s) { s.dnnTarget = lm::Settings::GPU; }, ALL},
        {"GPU to CPU", lm::Settings::GPU, [](lm::Settings& s) { s.dnnTarget = lm::Settings::CPU; }, ALL},
        {"GPU to GPU_MT", lm::Settings::GPU, [](lm::Settings& s) { s.dnnTarget = lm::Settings::GPU_MT; }, {"face"}},
        {"network type", lm::Settings::CPU, [](lm::Settings& s) { s.networkType = lm::Settings::QUANTIZED; }, ALL},
        {"model directory", lm::Settings::CPU, [](lm::Settings& s) { s.neuralNetworksPath += "/elsewhere"; }, ALL},
        {"useSmile", lm::Settings::CPU, [](lm::Settings& s) { s.useSmile = false; }, {"face"}},
        {"useHeadpose", lm::Settings::CPU, [](lm::Settings& s) { s.useHeadpose = false; }, {"face"}},
        {"useAge", lm::Settings::CPU, [](lm::Settings& s) { s.useAge = false; }, {"face", "agegender"}},
        {"useGender", lm::Settings::CPU, [](lm::Settings& s) { s.useGender = false; }, {"face", "agegender"}},
        {"detection range",
         lm::Settings::CPU,
         [](lm::Settings& s) { s.detectionRange = lm::Settings::LONG; },
         {"face"}},
        {"face limits",
         lm::Settings::CPU,
         [](lm::Settings& s) {
             s.maxNumFaces = 3;
             s.minFaceSize = 20;
         },
         {"face"}},
    };
    lmtest::ModelDir models;
    for (const auto& row : rows)
        for (const StageUnderTest& st : allStages()) {
            SCOPED_TRACE(std::string(row.what) + ", " + st.name);
            lm::Settings before = models.settings();
            before.dnnTarget = row.from;
            lm::Settings after = before;
            row.change(after);
            const bool reloads = row.reloads.count(st.name) > 0;

            auto stage = st.make();
            stage->onSettingsUpdate(before);
            for (const std::string& base : st.bases) models.remove(base);
            if (reloads) {
                EXPECT_THROW(stage->onSettingsUpdate(after), std::runtime_error);
                EXPECT_EQ(st.target(*stage), lm::dnnTargetFor(before.gpuTargetEnabled()));  // kept
            } else {
                EXPECT_NO_THROW(stage->onSettingsUpdate(after));
                EXPECT_EQ(st.target(*stage), lm::dnnTargetFor(after.gpuTargetEnabled()));
            }
            for (const std::string& base : st.bases) models.restore(base);
        }
}

TEST(StageReload, TargetIsSetOnEveryUpdate) {
    lmtest::ModelDir models;
    const struct {
        lm::Settings::DnnTarget target;
        int expected;
    } sequence[] = {
        {lm::Settings::CPU, cv::dnn::DNN_TARGET_CPU},       {lm::Settings::GPU, cv::dnn::DNN_TARGET_OPENCL},
        {lm::Settings::GPU_MT, cv::dnn::DNN_TARGET_OPENCL}, {lm::Settings::GPU_MT, cv::dnn::DNN_TARGET_OPENCL},
        {lm::Settings::CPU, cv::dnn::DNN_TARGET_CPU},       {lm::Settings::CPU, cv::dnn::DNN_TARGET_CPU}};
    for (const StageUnderTest& st : allStages()) {
        SCOPED_TRACE(st.name);
        auto stage = st.make();
        for (const auto& step : sequence) {
            lm::Settings s = models.settings();
            s.dnnTarget = step.target;
            stage->onSettingsUpdate(s);
            EXPECT_EQ(st.target(*stage), step.expected);
        }
    }
}

TEST(StageReload, MissingModelIsLoggedAndThrownAndThePreviousNetworkKeepsRunning) {
    lmtest::ModelDir models;
    lm::Smile smile;
    smile.onSettingsUpdate(models.settings());
    const cv::Mat frame = lmtest::colourFrame(128, 128, 160);  // blue 160: smile 0.881
    std::vector<lm::Person> people = {lmtest::faceAt({200, 150, 100, 100})};
    smile.estimate(frame, people);
    const float before = people[0].smile;
    ASSERT_NEAR(before, 0.881f, 0.01f);

    std::filesystem::remove(models.path() + "/smile_quantized.xml.enc");
    lm::Settings quantized = models.settings();
    quantized.networkType = lm::Settings::QUANTIZED;
    const std::string message = "Error opening file : " + models.path() + "/smile_quantized.xml.enc";
    {
        lmtest::LogCapture log;
        try {
            smile.onSettingsUpdate(quantized);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), message);
        }
        EXPECT_EQ(log.text(), "error: " + message + "\n");
    }
    people = {lmtest::faceAt({200, 150, 100, 100})};
    smile.estimate(frame, people);
    EXPECT_EQ(people[0].smile, before);
}

TEST(StageReload, FailedReloadIsTriedAgainWithTheSameSettings) {
    lmtest::ModelDir models;
    lm::AgeGender ageGender;
    ageGender.onSettingsUpdate(models.settings());
    models.remove("agegender");
    lm::Settings quantized = models.settings();
    quantized.networkType = lm::Settings::QUANTIZED;
    quantized.dnnTarget = lm::Settings::GPU;
    EXPECT_THROW(ageGender.onSettingsUpdate(quantized), std::runtime_error);
    // Not taken for loaded: the same settings read the files again.
    EXPECT_THROW(ageGender.onSettingsUpdate(quantized), std::runtime_error);
    EXPECT_EQ(ageGender.preferableTarget(), cv::dnn::DNN_TARGET_CPU);
    models.restore("agegender");
    EXPECT_NO_THROW(ageGender.onSettingsUpdate(quantized));
    EXPECT_EQ(ageGender.preferableTarget(), cv::dnn::DNN_TARGET_OPENCL);
    // Back to the first settings: a change again, so a reload that now fails.
    models.remove("agegender");
    EXPECT_THROW(ageGender.onSettingsUpdate(models.settings()), std::runtime_error);
}

TEST(StageReload, UnparsableModelPassesOnUnlogged) {
    lmtest::ModelDir models;
    lm::FaceMask mask;
    mask.onSettingsUpdate(models.settings());
    lm::fs::writeFile(models.path() + "/facemask_quantized.xml.enc",
                      lm::crypt::encryptString("<net", lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV));
    lm::Settings quantized = models.settings();
    quantized.networkType = lm::Settings::QUANTIZED;
    lmtest::LogCapture log;
    EXPECT_THROW(mask.onSettingsUpdate(quantized), cv::Exception);
    EXPECT_EQ(log.text(), "");
}

TEST(StageReload, UndecryptableModelIsLoggedWithTheCipherMessage) {
    lmtest::ModelDir models;
    lm::BodyEncoder encoder;
    lm::fs::writeFile(models.path() + "/bodyencoder.bin.enc", "not a ciphertext of whole blocks");
    lmtest::LogCapture log;
    EXPECT_THROW(encoder.onSettingsUpdate(models.settings()), std::runtime_error);
    EXPECT_NE(log.text().find("error: Decryption"), std::string::npos) << log.text();
}

}  // namespace

// ---- Concurrency: the five estimators share one list, each writing its own fields.

#include <atomic>
#include <thread>

namespace {

// OpenCV hands its inner loops to TBB workers, whose synchronisation ThreadSanitizer cannot
// see (TBB is not instrumented). Run those loops on the calling threads instead, so that
// every access to a stage's network stays visible and a race on one is still reported.
class OpenCvSingleThreaded {
public:
    OpenCvSingleThreaded() : mThreads(cv::getNumThreads()) { cv::setNumThreads(1); }
    ~OpenCvSingleThreaded() { cv::setNumThreads(mThreads); }
    OpenCvSingleThreaded(const OpenCvSingleThreaded&) = delete;
    OpenCvSingleThreaded& operator=(const OpenCvSingleThreaded&) = delete;

private:
    int mThreads;
};

TEST(FaceEstimatorsThreads, RunTogetherOnOneListWhileSettingsChange) {
    const OpenCvSingleThreaded visibleToTheSanitizer;
    lmtest::ModelDir models;
    lm::AgeGender ageGender;
    lm::HeadposeEstimator headpose;
    lm::Smile smile;
    lm::FaceMask faceMask;
    lm::EmotionsEstimator emotions;
    std::vector<lm::ISettingsObserver*> stages = {&ageGender, &headpose, &smile, &faceMask, &emotions};
    for (lm::ISettingsObserver* s : stages) s->onSettingsUpdate(models.settings());

    const cv::Mat frame = lmtest::colourFrame(61, 160, 160);
    std::vector<lm::Person> people = {lmtest::faceAt({40, 40, 100, 100}), lmtest::faceAt({300, 100, 60, 60}),
                                      lmtest::faceAt({450, 250, 120, 120}), lmtest::faceAt({10, 300, 14, 40})};
    constexpr int PASSES = 15;
    std::atomic<bool> go{false};
    const auto worker = [&](auto& stage) {
        return std::thread([&] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < PASSES; ++i) stage.estimate(frame, people);
        });
    };
    std::vector<std::thread> threads;
    threads.push_back(worker(ageGender));
    threads.push_back(worker(headpose));
    threads.push_back(worker(smile));
    threads.push_back(worker(faceMask));
    threads.push_back(worker(emotions));
    threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < PASSES; ++i) {
            // Every switch flips, both age and gender go off together (a reload), and the
            // next round turns everything back on.
            lm::Settings s = models.settings();
            const bool on = i % 2 == 1;
            s.useAge = s.useGender = s.useHeadpose = s.useSmile = s.useFaceMask = s.useEmotions = on;
            for (lm::ISettingsObserver* stage : stages) stage->onSettingsUpdate(s);
        }
    });
    go = true;
    for (std::thread& t : threads) t.join();

    // Switched on again, every stage still works and fills its own fields.
    for (lm::ISettingsObserver* s : stages) s->onSettingsUpdate(models.settings());
    for (lm::Person& p : people) p = lmtest::faceAt(p.boundingBox);
    ageGender.estimate(frame, people);
    headpose.estimate(frame, people);
    smile.estimate(frame, people);
    faceMask.estimate(frame, people);
    emotions.estimate(frame, people);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(people[i].age, 30) << i;
        EXPECT_GT(people[i].gender, 0.7f) << i;
        EXPECT_EQ(people[i].headpose.yaw, -33) << i;  // (61 - 128) / 2
        EXPECT_GT(people[i].smile, 0.8f) << i;
        EXPECT_NEAR(people[i].faceMask, 1.0f / 3.0f, 0.01f) << i;
        // happiness and surprise, raised by green and blue, above neutral
        EXPECT_GT(people[i].emotions[4], 2 * people[i].emotions[0]) << i;
        EXPECT_GT(people[i].emotions[6], 2 * people[i].emotions[0]) << i;
    }
    EXPECT_EQ(people[3].age, -1);  // too narrow for every estimator
    EXPECT_EQ(people[3].smile, -1.0f);
}

}  // namespace

// ---- One pass over several images.

namespace {

// The generated networks, each fed three different images at once and one at a time: every
// image gets its own outputs either way, whether the network takes the batch or not.
TEST(StageModelBatch, EveryImageGetsTheOutputsOfItsOwnPass) {
    const struct {
        const char* base;
        lm::BlobInput input;
    } models[] = {
        {"agegender", {{112, 112}, {131, 104, 91}, 1.0}}, {"headpose", {{112, 112}, {131, 104, 91}, 1.0}},
        {"smile", {{64, 64}, {131, 104, 91}, 1.0}},       {"facemask", {{112, 112}, {131, 104, 91}, 1.0}},
        {"emotion", {{112, 112}, {131, 104, 91}, 1.0}},   {"bodyencoder", {{128, 256}, {124, 116, 104}, 0.0174}},
    };
    const lmtest::ModelDir directory;
    const std::vector<cv::Mat> images = {lmtest::colourFrame(200, 40, 10, {90, 120}),
                                         lmtest::colourFrame(10, 220, 90, {60, 60}),
                                         lmtest::colourFrame(128, 128, 255, {140, 100})};
    for (const auto& m : models) {
        SCOPED_TRACE(m.base);
        lm::StageModel model;
        model.load(directory.settings(), m.base);
        const lm::OutputsPerImage together = model.forwardEach(images, m.input, {});
        ASSERT_EQ(together.size(), images.size());
        for (std::size_t i = 0; i < images.size(); ++i) {
            const lm::OutputsPerImage alone = model.forwardEach({images[i]}, m.input, {});
            ASSERT_EQ(alone.size(), 1u);
            ASSERT_EQ(together[i].size(), alone[0].size());
            for (std::size_t k = 0; k < alone[0].size(); ++k) {
                ASSERT_EQ(together[i][k].total(), alone[0][k].total());
                EXPECT_LE(cv::norm(together[i][k].reshape(1, 1), alone[0][k].reshape(1, 1), cv::NORM_INF), 1e-5)
                    << "image " << i << " output " << k;
            }
        }
    }
}

}  // namespace
