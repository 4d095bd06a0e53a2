// The face detector on the generated slot detectors: a grey square drawn exactly on a slot
// is detected with confidence grey / 255 (tools/lumora-models/README.md).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "lm_facedetector.h"
#include "real/ir_graph.h"
#include "real/real_models.h"
#include "support/stages.h"

namespace {

// A slot of a detector in pixels of a frame of the given size.
cv::Rect slotRect(const std::string& base, std::size_t index, cv::Size frame = {640, 480}) {
    const lm::models::Slot s = lm::models::detectorSlots(base).at(index);
    return {cvRound(s.x0 * frame.width), cvRound(s.y0 * frame.height), cvRound((s.x1 - s.x0) * frame.width),
            cvRound((s.y1 - s.y0) * frame.height)};
}

cv::Mat frameWithSlots(const std::vector<std::size_t>& slots, int grey = 255, cv::Size size = {640, 480},
                       const std::string& base = "detect_regular") {
    cv::Mat frame(size, CV_8UC3, cv::Scalar::all(0));
    for (std::size_t i : slots) frame(slotRect(base, i, size)).setTo(cv::Scalar::all(grey));
    return frame;
}

std::vector<int> widthsOf(const std::vector<lm::Person>& people) {
    std::vector<int> widths;
    for (const lm::Person& p : people) widths.push_back(p.boundingBox.width);
    std::sort(widths.begin(), widths.end());
    return widths;
}

// A second look that adds `logit` to the logit of every box it looks at, whatever the crop.
void writeConstantSecondLook(const std::string& dir, float logit) {
    namespace real = lm::models::real;
    const real::RealModel model{
        "faceverify", [logit](const real::WeightsDir&) {
            real::IrGraph g("faceverify");
            const real::Port image = g.parameter("image", {1, 3, 112, 112});
            const real::Port mean = g.reshape("mean", g.avgPool("pool", image, 112, 112, real::Padding::Valid), {1, 3});
            const real::Tensor kernel({3, 3}, 0.0f);
            const real::Tensor bias({3}, {0.0f, -60.0f, logit});
            g.result(g.softmax("model/face/Softmax", g.dense("model/face/logits", mean, kernel, bias), 1));
            return g;
        }};
    real::writeRealModel({""}, model, dir);
}

double sigmoid(double z) { return 1.0 / (1.0 + std::exp(-z)); }
double logit(double p) { return std::log(p / (1.0 - p)); }

class FaceDetectorTest : public ::testing::Test {
protected:
    std::vector<lm::Person> detectWith(const cv::Mat& frame, void (*adjust)(lm::Settings&)) {
        lm::Settings s = models.settings();
        adjust(s);
        detector.onSettingsUpdate(s);
        return detector.detect(frame);
    }

    lmtest::ModelDir models;
    lm::FaceDetector detector;
};

TEST_F(FaceDetectorTest, EmptyFrameYieldsNoFaceWhateverTheThreshold) {
    // OpenCV answers "nothing" with one all-zero row; only the 0.1 floor keeps it out.
    const float thresholds[] = {0.8f, 0.05f, 0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()};
    const cv::Mat black(480, 640, CV_8UC3, cv::Scalar::all(0));
    for (float t : thresholds) {
        SCOPED_TRACE(t);
        lm::Settings s = models.settings();
        s.faceConfidenceThreshold = t;
        detector.onSettingsUpdate(s);
        EXPECT_TRUE(detector.detect(black).empty());
    }
}

TEST_F(FaceDetectorTest, ConfidenceThresholdHasAFloorOfOneTenth) {
    const struct {
        float threshold;
        int grey;  // confidence grey / 255
        bool found;
    } cases[] = {
        {0.05f, 20, false},  // 0.078 < 0.1
        {0.05f, 31, true},   // 0.122
        {std::numeric_limits<float>::quiet_NaN(), 20, false},
        {std::numeric_limits<float>::quiet_NaN(), 31, true},
        {0.8f, 196, false},  // 0.769
        {0.8f, 214, true},   // 0.839
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.threshold << " / " << c.grey);
        lm::Settings s = models.settings();
        s.faceConfidenceThreshold = c.threshold;
        detector.onSettingsUpdate(s);
        const auto people = detector.detect(frameWithSlots({1}, c.grey));
        ASSERT_EQ(people.size(), c.found ? 1u : 0u);
        if (c.found) {
            EXPECT_NEAR(people[0].detectionConfidence, c.grey / 255.0, 1e-3);
        }
    }
}

TEST_F(FaceDetectorTest, SizeLimitsTestTheWidthOnlyAndIncludeTheirEnds) {
    // Reported widths of the ten slots: 61 x3, 81, 121 x4, 181, 241 (slot + 1 pixel).
    const cv::Mat frame = frameWithSlots({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    const struct {
        int minSize, maxSize;
        std::vector<int> widths;
    } cases[] = {
        {0, 0, {61, 61, 61, 81, 121, 121, 121, 121, 181, 241}},
        {-5, -9, {61, 61, 61, 81, 121, 121, 121, 121, 181, 241}},
        {61, 121, {61, 61, 61, 81, 121, 121, 121, 121}},
        {62, 120, {81}},
        // slot 8 is 81 wide and 121 high, slot 9 121 wide and 90 high: heights do not count
        {82, 121, {121, 121, 121, 121}},
        {0, 80, {61, 61, 61}},
        {182, 0, {241}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.minSize << ".." << c.maxSize);
        lm::Settings s = models.settings();
        s.minFaceSize = c.minSize;
        s.maxFaceSize = c.maxSize;
        detector.onSettingsUpdate(s);
        EXPECT_EQ(widthsOf(detector.detect(frame)), c.widths);
    }
}

TEST_F(FaceDetectorTest, FaceCountLimitKeepsTheLargest) {
    const cv::Mat frame = frameWithSlots({0, 1, 2, 5, 8});  // widths 61, 121, 181, 241, 81
    const struct {
        int maxNumFaces;
        std::vector<int> widths;
    } cases[] = {{2, {181, 241}}, {-1, {61, 81, 121, 181, 241}}, {-7, {61, 81, 121, 181, 241}},
                 {0, {}},         {5, {61, 81, 121, 181, 241}},  {9, {61, 81, 121, 181, 241}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxNumFaces);
        lm::Settings s = models.settings();
        s.maxNumFaces = c.maxNumFaces;
        detector.onSettingsUpdate(s);
        EXPECT_EQ(widthsOf(detector.detect(frame)), c.widths);
    }
}

TEST_F(FaceDetectorTest, FacesComeLargestAreaFirstWithUnsetAttributesAndOneTime) {
    const auto people = detectWith(frameWithSlots({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), [](lm::Settings&) {});
    ASSERT_EQ(people.size(), 10u);
    EXPECT_EQ(people[0].boundingBox, cv::Rect(0, 240, 241, 240));  // clipped at the bottom
    for (std::size_t i = 1; i < people.size(); ++i)
        EXPECT_GE(people[i - 1].boundingBox.area(), people[i].boundingBox.area()) << i;
    // Slot 9 (121 x 90, area 10890) comes before the taller but narrower slot 8 (81 x 121).
    const auto at = [&](int w, int h) {
        return std::find_if(
                   people.begin(), people.end(),
                   [&](const lm::Person& p) { return p.boundingBox.width == w && p.boundingBox.height == h; }) -
               people.begin();
    };
    EXPECT_LT(at(121, 90), at(81, 121));

    const lm::Person unset;
    for (const lm::Person& p : people) {
        EXPECT_EQ(p.detectionTime, people[0].detectionTime);
        EXPECT_NE(p.detectionTime, lm::TimePoint{});
        EXPECT_EQ(p.id, 0u);
        EXPECT_EQ(p.age, -1);
        EXPECT_EQ(p.gender, 0.0f);
        EXPECT_EQ(p.smile, -1.0f);
        EXPECT_EQ(p.faceMask, -1.0f);
        EXPECT_EQ(p.emotions, unset.emotions);
        EXPECT_EQ(p.headpose.yaw, -360);
        EXPECT_EQ(p.headpose.pitch, -360);
        EXPECT_EQ(p.headpose.roll, -360);
        EXPECT_EQ(p.worldPosition.z, 0);
        EXPECT_EQ(p.headgaze.x, 0);
        EXPECT_FALSE(p.isViewing || p.isDwelling);
    }
}

TEST(FaceDetectorUnloaded, DetectBeforeAnyModelIsRefused) {
    lm::FaceDetector detector;
    EXPECT_THROW(detector.detect(lmtest::colourFrame(0, 0, 0)), std::logic_error);
}

TEST(FaceDistance, ConstantsFollowTheFrameWidth) {
    const struct {
        int frameWidth;
        float k;
    } constants[] = {{320, 43500.0f},   {640, 99900.0f},        {800, 108750.0078125f}, {1024, 130500.0f},
                     {1280, 130500.0f}, {1920, 195450.015625f}, {1000, 66900.0f},       {0, 66900.0f}};
    for (const auto& c : constants) EXPECT_EQ(lm::distanceConstant(c.frameWidth), c.k) << c.frameWidth;
    EXPECT_NE(lm::distanceConstant(800), 108750.0f);
    EXPECT_NE(lm::distanceConstant(1920), 195450.0f);

    const struct {
        int boxWidth, frameWidth, distance;
    } distances[] = {{100, 640, 99}, {200, 1920, 97}, {100, 1000, 66},     {150, 1024, 87},
                     {40, 320, 108}, {1, 640, 9990},  {0, 640, 2147483520}};
    for (const auto& d : distances)
        EXPECT_EQ(lm::distanceFromCamera(d.boxWidth, d.frameWidth), d.distance) << d.boxWidth << " / " << d.frameWidth;
}

TEST_F(FaceDetectorTest, DistanceUsesTheAnalysedFrameWidth) {
    const struct {
        cv::Size size;
        float k;
    } frames[] = {{{640, 480}, 99900.0f}, {{1280, 960}, 130500.0f}, {{320, 240}, 43500.0f}, {{1000, 750}, 66900.0f}};
    for (const auto& f : frames) {
        SCOPED_TRACE(f.size.width);
        const auto people = detectWith(frameWithSlots({1}, 255, f.size), [](lm::Settings&) {});
        ASSERT_EQ(people.size(), 1u);
        const int width = people[0].boundingBox.width;
        EXPECT_EQ(people[0].distanceFromCamera, static_cast<int>(f.k / static_cast<float>(width) / 10.0f));
    }
}

TEST_F(FaceDetectorTest, DetectionRangeChoosesTheNetwork) {
    const cv::Mat longFace = frameWithSlots({0}, 255, {640, 480}, "detect_long");
    const cv::Mat regularFace = frameWithSlots({2}, 255);

    EXPECT_TRUE(detectWith(longFace, [](lm::Settings&) {}).empty());
    EXPECT_EQ(detectWith(regularFace, [](lm::Settings&) {}).size(), 1u);

    auto found = detectWith(longFace, [](lm::Settings& s) { s.detectionRange = lm::Settings::LONG; });
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].boundingBox, cv::Rect(40, 30, 61, 61));
    EXPECT_TRUE(detectWith(regularFace, [](lm::Settings& s) { s.detectionRange = lm::Settings::LONG; }).empty());

    // Only the long model lacking: the range switch fails and the regular model stays.
    EXPECT_EQ(detectWith(regularFace, [](lm::Settings&) {}).size(), 1u);
    models.remove("detect_long");
    lm::Settings longRange = models.settings();
    longRange.detectionRange = lm::Settings::LONG;
    EXPECT_THROW(detector.onSettingsUpdate(longRange), std::runtime_error);
    EXPECT_EQ(detector.detect(regularFace).size(), 1u);
    EXPECT_TRUE(detector.detect(longFace).empty());
}

TEST_F(FaceDetectorTest, SecondLookMovesTheLogitOfBoxesFromOneHalfBeforeTheThreshold) {
    const struct {
        float threshold;
        int grey;  // the detector's confidence grey / 255
        float secondLook;
        double expected;  // -1: no face
    } cases[] = {
        {0.8f, 196, 1.0f, sigmoid(logit(196 / 255.0) + 1.0)},  // 0.769 raised over 0.8
        {0.8f, 214, -1.0f, -1},                                // 0.839 lowered under it
        {0.8f, 250, -1.0f, sigmoid(logit(250 / 255.0) - 1.0)},
        {0.3f, 110, 5.0f, 110 / 255.0},  // 0.431: under one half, the detector's own
        {0.3f, 140, -5.0f, -1},          // 0.549 looked at and dropped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.threshold << " / " << c.grey << " / " << c.secondLook);
        writeConstantSecondLook(models.path(), c.secondLook);
        lm::Settings s = models.settings();
        s.faceConfidenceThreshold = c.threshold;
        detector.onSettingsUpdate(s);
        const auto found = detector.detect(frameWithSlots({1}, c.grey));
        ASSERT_EQ(found.size(), c.expected < 0 ? 0u : 1u);
        if (c.expected >= 0) {
            EXPECT_NEAR(found[0].detectionConfidence, c.expected, 2e-3);
        }
    }
}

TEST_F(FaceDetectorTest, SecondLookAtBothRangesOnlyWhereItsModelIs) {
    const cv::Mat regularFace = frameWithSlots({1}, 240);
    const cv::Mat longFace = frameWithSlots({0}, 240, {640, 480}, "detect_long");
    const auto longRange = [](lm::Settings& s) { s.detectionRange = lm::Settings::LONG; };
    const auto longUnverified = detectWith(longFace, longRange);
    ASSERT_EQ(longUnverified.size(), 1u);

    writeConstantSecondLook(models.path(), -5.0f);
    EXPECT_TRUE(detectWith(regularFace, [](lm::Settings&) {}).empty());
    EXPECT_TRUE(detectWith(longFace, longRange).empty());

    models.remove("faceverify");
    const auto unverified = detectWith(regularFace, [](lm::Settings&) {});
    ASSERT_EQ(unverified.size(), 1u);
    EXPECT_NEAR(unverified[0].detectionConfidence, 240 / 255.0, 1e-3);
    const auto longAgain = detectWith(longFace, longRange);
    ASSERT_EQ(longAgain.size(), 1u);
    EXPECT_EQ(longAgain[0].detectionConfidence, longUnverified[0].detectionConfidence);
}

}  // namespace
