// The real networks, converted from the fetched pretrained weights and read back through
// the project's IR reader, checked against reference values measured on Debian's sample
// images. Tolerances are tight on purpose: a wrong channel order, a missing mean or a
// misplaced pad still finds "a face", but moves scores and boxes by more than these allow.
//
// The checks skip when the weights (scripts/fetch-weights) or the sample images
// (python3-skimage, opencv-doc) are missing; scripts/setup installs both.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>

#include <opencv2/core/ocl.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "lm_age_gender.h"
#include "lm_bodyencoder.h"
#include "lm_emotions.h"
#include "lm_facedetector.h"
#include "lm_facemask.h"
#include "lm_headpose.h"
#include "lm_network.h"
#include "lm_smile.h"
#include "real/body_encoder.h"
#include "real/converters.h"
#include "real/ir_emit.h"
#include "real/real_models.h"
#include "real/tfjs.h"
#include "support/opencl.h"
#include "support/real_media.h"
#include "support/temp_dir.h"
#include "util/crypt.h"
#include "util/filesystem.h"
#include "util/ir_reader.h"

namespace {

namespace fs = std::filesystem;
namespace real = lm::models::real;

using lmtest::real_media::image;
using lmtest::real_media::OPENCV_DATA;
using lmtest::real_media::OPENCV_HTML;
using lmtest::real_media::samplesPresent;
using lmtest::real_media::SKIMAGE;
using lmtest::real_media::videoFrame;
using lmtest::real_media::weightsPresent;
using lmtest::real_media::weightsRoot;

const cv::Scalar FACE_MEAN(131.0912, 103.8827, 91.4953);
const std::string FACEMASK_DATA = std::string(LUMORA_TEST_DATA_DIR) + "/facemask/";
const cv::Scalar DETECT_MEAN(123, 117, 104);

// The model directory of this test process; each base is converted when first needed.
const std::string& realModelsDir() {
    static const lmtest::TempDir dir;
    static const std::string path = dir.path().string();
    return path;
}

const std::string& convertedModelsDir(const std::string& base) {
    static std::set<std::string> converted;
    if (converted.insert(base).second) real::writeRealModel({weightsRoot()}, real::realModel(base), realModelsDir());
    return realModelsDir();
}

// Reads a model pair as the stages do: files, decryption, then the reader.
cv::dnn::Net loadModel(const std::string& base, bool quantized) {
    const lm::ModelFiles files =
        lm::modelFiles(convertedModelsDir(base), base, quantized ? lm::Settings::QUANTIZED : lm::Settings::NORMAL);
    const std::string xml =
        lm::crypt::decryptString(lm::fs::readFile(files.description), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
    const std::string bin =
        lm::crypt::decryptString(lm::fs::readFile(files.weights), lm::crypt::DEFAULT_KEY, lm::crypt::DEFAULT_IV);
    return lm::dnn::readNetFromIR(xml.data(), xml.size(), bin.data(), bin.size());
}

// Writes a graph through the project's IR writer and reads it back, in memory.
cv::dnn::Net readGraph(const real::IrGraph& graph, bool quantized = false) {
    const real::IrPair ir = real::emitIr(graph, quantized);
    return lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
}

cv::dnn::DetectionModel detector(const std::string& base, bool quantized, cv::Size size) {
    cv::dnn::DetectionModel model(loadModel(base, quantized));
    model.setInputScale(1.0);
    model.setInputSwapRB(true);
    model.setInputSize(size);
    model.setInputMean(DETECT_MEAN);
    return model;
}

struct Detections {
    std::vector<float> scores;
    std::vector<cv::Rect> boxes;
};

Detections detect(cv::dnn::DetectionModel& model, const cv::Mat& frame, float threshold) {
    std::vector<int> classes;
    Detections d;
    model.detect(frame, classes, d.scores, d.boxes, threshold, 0.0f);
    return d;
}

// Runs a face attribute network on a square crop as the stages do.
std::vector<cv::Mat> attributes(cv::dnn::Net& net, const cv::Mat& crop, int side,
                                const std::vector<std::string>& outputs) {
    net.setInput(cv::dnn::blobFromImage(crop, 1.0, cv::Size(side, side), FACE_MEAN, true, false));
    std::vector<cv::Mat> result;
    net.forward(result, outputs);
    for (cv::Mat& m : result) m = m.reshape(1, 1).clone();
    return result;
}

// Sum of i * p_i over a probability row, and the row's total.
std::pair<double, double> expectation(const cv::Mat& row) {
    double e = 0, total = 0;
    for (int i = 0; i < row.cols; ++i) {
        e += i * row.at<float>(0, i);
        total += row.at<float>(0, i);
    }
    return {e, total};
}

void expectBoxNear(const cv::Rect& actual, const cv::Rect& expected, int pixels) {
    EXPECT_NEAR(actual.x, expected.x, pixels) << actual << " vs " << expected;
    EXPECT_NEAR(actual.y, expected.y, pixels) << actual << " vs " << expected;
    EXPECT_NEAR(actual.width, expected.width, pixels) << actual << " vs " << expected;
    EXPECT_NEAR(actual.height, expected.height, pixels) << actual << " vs " << expected;
}

struct Variant {
    bool quantized;
    double slack;  // how much wider the compressed weights' tolerances are
};

void PrintTo(const Variant& v, std::ostream* out) { *out << (v.quantized ? "_quantized" : "plain"); }

class RealModels : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!weightsPresent()) GTEST_SKIP() << "pretrained weights missing in " << weightsRoot();
        if (!samplesPresent()) GTEST_SKIP() << "sample images missing (python3-skimage, opencv-doc)";
    }
    bool quantized() const { return GetParam().quantized; }
    double slack() const { return GetParam().slack; }
};

TEST_P(RealModels, FaceDetectorRegularFindsReferenceFacesOnly) {
    // At 0.8, the threshold its scores are calibrated for.
    auto model = detector("detect_regular", quantized(), {640, 480});
    const struct {
        std::string path;
        float score;
        cv::Rect box;
    } faces[] = {
        {SKIMAGE + "astronaut.png", 0.958f, {180, 71, 89, 117}},
        {OPENCV_HTML + "227943776_1.jpg", 0.971f, {134, 77, 164, 218}},
        {OPENCV_DATA + "messi5.jpg", 0.945f, {218, 97, 42, 35}},
    };
    for (const auto& face : faces) {
        SCOPED_TRACE(face.path);
        const Detections d = detect(model, image(face.path), 0.8f);
        ASSERT_EQ(d.boxes.size(), 1u);
        EXPECT_NEAR(d.scores[0], face.score, 0.003 * slack());
        expectBoxNear(d.boxes[0], face.box, 2);
    }
    EXPECT_TRUE(detect(model, image(SKIMAGE + "coffee.png"), 0.8f).boxes.empty());
}

// The REGULAR detector with its second look, in a directory of their own (the shared one
// keeps the detector alone).
const std::string& secondLookModelsDir() {
    static const lmtest::TempDir dir;
    static const std::string path = [] {
        for (const char* base : {"detect_regular", "detect_long", "faceverify"})
            real::writeRealModel({weightsRoot()}, real::realModel(base), dir.path().string());
        return dir.path().string();
    }();
    return path;
}

std::vector<lm::Person> detectFaces(const cv::Mat& frame, bool quantized, bool secondLook,
                                    lm::Settings::Range range = lm::Settings::REGULAR) {
    lm::Settings settings;
    settings.neuralNetworksPath = secondLook ? secondLookModelsDir() : convertedModelsDir("detect_regular");
    settings.detectionRange = range;
    settings.networkType = quantized ? lm::Settings::QUANTIZED : lm::Settings::NORMAL;
    lm::FaceDetector stage;
    stage.onSettingsUpdate(settings);
    return stage.detect(frame);
}

TEST_P(RealModels, SecondLookKeepsTheReferenceFacesOnlyAndRaisesAMaskedOne) {
    // At the default 0.8 each photograph keeps one box, on its face, scored higher than by the
    // detector alone; the detector's face-like boxes (the cameraman's coat at 0.65, a player's
    // back at 0.69) fall, and none rises on coffee.
    const struct {
        std::string path;
        cv::Rect box;
    } faces[] = {
        {SKIMAGE + "astronaut.png", {180, 71, 89, 117}},      {OPENCV_HTML + "227943776_1.jpg", {134, 77, 164, 218}},
        {OPENCV_DATA + "messi5.jpg", {218, 97, 42, 35}},      {OPENCV_DATA + "basketball1.png", {69, 100, 33, 33}},
        {OPENCV_DATA + "basketball2.png", {70, 100, 31, 31}}, {SKIMAGE + "camera.png", {192, 119, 63, 83}},
    };
    for (const auto& face : faces) {
        SCOPED_TRACE(face.path);
        cv::Mat frame = image(face.path);
        if (frame.channels() == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
        const std::vector<lm::Person> alone = detectFaces(frame, quantized(), false);
        const std::vector<lm::Person> verified = detectFaces(frame, quantized(), true);
        ASSERT_EQ(verified.size(), 1u);
        expectBoxNear(verified[0].boundingBox, face.box, 2);
        ASSERT_FALSE(alone.empty());
        EXPECT_GT(verified[0].detectionConfidence, alone[0].detectionConfidence);
    }
    EXPECT_TRUE(detectFaces(image(SKIMAGE + "coffee.png"), quantized(), true).empty());

    // A masked face 90 px wide on grey: the detector alone scores it just under 0.8.
    cv::Mat canvas(480, 640, CV_8UC3, cv::Scalar::all(128));
    cv::resize(image(FACEMASK_DATA + "masked.png"), canvas(cv::Rect(300, 200, 90, 90)), {90, 90}, 0, 0, cv::INTER_AREA);
    EXPECT_TRUE(detectFaces(canvas, quantized(), false).empty());
    const std::vector<lm::Person> masked = detectFaces(canvas, quantized(), true);
    ASSERT_EQ(masked.size(), 1u);
    EXPECT_GT(masked[0].detectionConfidence, 0.9f);
}

// The astronaut pasted at five sizes (faces about 16 to 64 px wide) on a grey canvas.
cv::Mat astronautsOfFiveSizes(std::vector<cv::Rect>& squares) {
    cv::Mat canvas(768, 1024, CV_8UC3, cv::Scalar::all(128));
    const cv::Mat astronaut = image(SKIMAGE + "astronaut.png");
    int x = 0;
    for (int side : {89, 133, 178, 267, 356}) {
        const cv::Rect square(x, 200, side, side);
        cv::resize(astronaut, canvas(square), square.size(), 0, 0, cv::INTER_AREA);
        squares.push_back(square);
        x += side;
    }
    return canvas;
}

void expectOneBoxInEach(const std::vector<cv::Rect>& boxes, const std::vector<cv::Rect>& squares) {
    ASSERT_EQ(boxes.size(), squares.size());
    for (const cv::Rect& square : squares) {
        int inside = 0;
        for (const cv::Rect& box : boxes) inside += square.contains({box.x + box.width / 2, box.y + box.height / 2});
        EXPECT_EQ(inside, 1) << "square " << square;
    }
}

TEST_P(RealModels, LongRangeWithItsSecondLookFindsSmallFacesAndTheReferenceFaces) {
    std::vector<cv::Rect> squares;
    const cv::Mat canvas = astronautsOfFiveSizes(squares);
    std::vector<cv::Rect> boxes;
    for (const lm::Person& p : detectFaces(canvas, quantized(), true, lm::Settings::LONG)) {
        EXPECT_GT(p.detectionConfidence, 0.99f);
        boxes.push_back(p.boundingBox);
    }
    expectOneBoxInEach(boxes, squares);

    const struct {
        std::string path;
        cv::Rect box;
    } faces[] = {
        {SKIMAGE + "astronaut.png", {178, 59, 95, 126}},
        {OPENCV_DATA + "messi5.jpg", {220, 98, 38, 32}},
        {OPENCV_DATA + "basketball1.png", {67, 100, 35, 35}},
        {OPENCV_DATA + "basketball2.png", {67, 99, 35, 35}},
        {SKIMAGE + "camera.png", {191, 120, 64, 85}},
        // A face of 164 px, whose eyes and lower face the frame pass boxes too, inside it.
        {OPENCV_HTML + "227943776_1.jpg", {135, 87, 164, 218}},
    };
    for (const auto& face : faces) {
        SCOPED_TRACE(face.path);
        cv::Mat frame = image(face.path);
        if (frame.channels() == 1) cv::cvtColor(frame, frame, cv::COLOR_GRAY2BGR);
        const std::vector<lm::Person> found = detectFaces(frame, quantized(), true, lm::Settings::LONG);
        ASSERT_EQ(found.size(), 1u);
        expectBoxNear(found[0].boundingBox, face.box, 2);
    }
    EXPECT_TRUE(detectFaces(image(SKIMAGE + "coffee.png"), quantized(), true, lm::Settings::LONG).empty());
}

TEST_P(RealModels, FaceDetectorRegularKeepsAFaceOfHalfTheFrameOnTheFace) {
    // A face about 320 px wide, larger than the network's two passes were trained for:
    // it may come as more than one box, but every box lies on the face.
    auto model = detector("detect_regular", quantized(), {640, 480});
    const cv::Rect face(163, 240, 317, 365);
    const Detections d = detect(model, image(OPENCV_HTML + "230501201_1.jpg"), 0.8f);
    ASSERT_FALSE(d.boxes.empty());
    EXPECT_GT(d.scores[0], 0.9f);
    for (const cv::Rect& box : d.boxes)
        EXPECT_TRUE(face.contains({box.x + box.width / 2, box.y + box.height / 2})) << box;
}

TEST_P(RealModels, SsdAtLongFindsSmallFaces) {
    // The SSD that LONG ran before, still measured beside it.
    cv::dnn::DetectionModel model(readGraph(real::convertFaceDetector({weightsRoot()}, 1024, 768), quantized()));
    model.setInputScale(1.0).setInputSwapRB(true).setInputSize({1024, 768}).setInputMean(DETECT_MEAN);
    std::vector<cv::Rect> squares;
    const cv::Mat canvas = astronautsOfFiveSizes(squares);
    expectOneBoxInEach(detect(model, canvas, 0.5f).boxes, squares);
}

TEST_P(RealModels, AgeAndGenderOnReferenceCrops) {
    cv::dnn::Net net = loadModel("agegender", quantized());
    const struct {
        std::string path;
        cv::Rect square;
        double age;     // the expectation of the row
        double gender;  // 2 P(female) - 1
    } cases[] = {
        {SKIMAGE + "astronaut.png", {159, 60, 129, 129}, 30.22, 0.50},
        {OPENCV_HTML + "227943776_1.jpg", {116, 90, 202, 202}, 29.01, -0.94},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto out = attributes(net, image(c.path)(c.square), 112, {"model/age/Softmax", "model/gender/Sigmoid"});
        ASSERT_EQ(out[0].cols, real::AGE_BINS);
        const auto [age, total] = expectation(out[0]);
        EXPECT_NEAR(total, 1.0, 1e-4);
        EXPECT_NEAR(age, c.age, 0.3 * slack());
        EXPECT_EQ(static_cast<int>(age), static_cast<int>(c.age));
        EXPECT_NEAR(2 * out[1].at<float>(0, 0) - 1, c.gender, 0.02 * slack());
    }
}

TEST_P(RealModels, EmotionAndSmileSeeHappyFaces) {
    cv::dnn::Net emotion = loadModel("emotion", quantized());
    cv::dnn::Net smile = loadModel("smile", quantized());
    const struct {
        std::string path;
        cv::Rect square;
    } cases[] = {
        {SKIMAGE + "astronaut.png", {159, 60, 129, 129}},
        {OPENCV_HTML + "227943776_1.jpg", {116, 90, 202, 202}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const cv::Mat crop = image(c.path)(c.square);
        const cv::Mat row = attributes(emotion, crop, 112, {"model/emotion/Softmax"})[0];
        ASSERT_EQ(row.cols, 7);
        EXPECT_GE(row.at<float>(0, 4), 0.99f) << "happiness, in the order neutral, anger, disgust, fear, "
                                                 "happiness, sadness, surprise: "
                                              << row;
        EXPECT_NEAR(cv::sum(row)[0], 1.0, 1e-4);
        EXPECT_GE(attributes(smile, crop, 64, {"model/smile/Sigmoid"})[0].at<float>(0, 0), 0.99f);
    }
}

TEST_P(RealModels, HeadposeAnglesOnReferenceCrops) {
    cv::dnn::Net net = loadModel("headpose", quantized());
    const struct {
        std::string path;
        cv::Rect square;
        double yaw, pitch, roll;
    } cases[] = {
        {SKIMAGE + "astronaut.png", {159, 60, 129, 129}, 1.607, -9.664, -1.904},
        {OPENCV_HTML + "227943776_1.jpg", {116, 90, 202, 202}, 16.724, -16.966, 0.502},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto rows = attributes(net, image(c.path)(c.square), 112,
                                     {"model/yaw/Softmax", "model/pitch/Softmax", "model/roll/Softmax"});
        const double expected[3] = {c.yaw, c.pitch, c.roll};
        for (int axis = 0; axis < 3; ++axis) {
            ASSERT_EQ(rows[axis].cols, real::ANGLE_BINS);
            const auto [e, total] = expectation(rows[axis]);
            EXPECT_NEAR(total, 1.0, 1e-4);
            EXPECT_NEAR(e - real::ANGLE_BINS / 2, expected[axis], 0.05 * slack()) << "axis " << axis;
        }
    }
}

TEST_P(RealModels, BodyDetectorFindsTheSixWalkers) {
    auto model = detector("bodydetect", quantized(), {640, 480});
    // Other frames: six people in frame 100, three in frame 500, nothing else.
    EXPECT_EQ(detect(model, videoFrame(100), 0.7f).boxes.size(), 6u);
    EXPECT_EQ(detect(model, videoFrame(500), 0.7f).boxes.size(), 3u);

    const Detections d = detect(model, videoFrame(300), 0.7f);
    // Measured boxes in vtest's frame pixels (CenterNet at 352 x 256 inside the network; at
    // 640 x 480 the same walkers came out up to 5 pixels taller, top score 0.868).
    const cv::Rect walkers[6] = {{239, 158, 23, 64}, {313, 218, 31, 75}, {187, 160, 26, 75},
                                 {581, 160, 29, 74}, {617, 165, 27, 66}, {297, 157, 26, 68}};
    ASSERT_EQ(d.boxes.size(), 6u);
    for (const cv::Rect& expected : walkers) {
        const auto match = std::find_if(d.boxes.begin(), d.boxes.end(), [&](const cv::Rect& box) {
            return (box & expected).area() > 0.7 * (box | expected).area();
        });
        ASSERT_NE(match, d.boxes.end()) << "walker " << expected;
        expectBoxNear(*match, expected, 2);
    }
    EXPECT_NEAR(*std::max_element(d.scores.begin(), d.scores.end()), 0.895, 0.01 * slack());
}

// The stage's blob of a body crop.
cv::Mat bodyBlob(const std::vector<cv::Mat>& crops) {
    return cv::dnn::blobFromImages(crops, 0.01735207357279195, cv::Size(128, 256), cv::Scalar(123.675, 116.28, 103.56),
                                   true, false);
}

// Labelled walkers of vtest.avi (tools/people-count/vtest-labels.csv): 4 and 5 walk side
// by side, 6 follows them. Walkers 2, 4 and 6 are among those the descriptor was never
// fitted on.
struct LabelledCrop {
    int walker;
    int frame;
    cv::Rect box;
};
const LabelledCrop LABELLED_WALKERS[] = {
    {4, 40, {569, 236, 37, 92}},  {4, 50, {507, 219, 33, 89}},  {4, 60, {467, 207, 35, 84}},
    {5, 40, {599, 233, 35, 91}},  {5, 50, {552, 216, 32, 86}},  {5, 60, {506, 202, 28, 82}},
    {6, 50, {673, 258, 38, 111}}, {6, 60, {613, 230, 39, 112}}, {2, 0, {251, 218, 31, 92}},
    {2, 10, {317, 209, 33, 83}},
};

TEST_P(RealModels, BodyEncoderPutsEachWalkerNearestItself) {
    cv::dnn::Net net = loadModel("bodyencoder", quantized());
    std::vector<cv::Mat> vectors;
    for (const LabelledCrop& c : LABELLED_WALKERS) {
        net.setInput(bodyBlob({videoFrame(c.frame)(c.box)}));
        const cv::Mat out = net.forward().reshape(1, 1).clone();
        ASSERT_EQ(out.total(), 512u);
        // The length the tracker's similarity scale was calibrated for.
        EXPECT_NEAR(cv::norm(out), real::fittedBodyFeatureStatistics().length, 1e-3);
        vectors.push_back(out);
    }
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        std::size_t nearest = i == 0 ? 1 : 0;
        for (std::size_t j = 0; j < vectors.size(); ++j)
            if (j != i && cv::norm(vectors[i], vectors[j]) < cv::norm(vectors[i], vectors[nearest])) nearest = j;
        EXPECT_EQ(LABELLED_WALKERS[nearest].walker, LABELLED_WALKERS[i].walker)
            << "walker " << LABELLED_WALKERS[i].walker << " at frame " << LABELLED_WALKERS[i].frame;
    }
}

TEST_P(RealModels, FaceMaskTellsMaskedFromBareFaces) {
    cv::dnn::Net net = loadModel("facemask", quantized());
    const cv::Mat astronaut = image(SKIMAGE + "astronaut.png");
    const struct {
        cv::Mat crop;
        bool masked;
    } cases[] = {{image(FACEMASK_DATA + "masked.png"), true},
                 {image(FACEMASK_DATA + "bare.png"), false},
                 {astronaut(cv::Rect(159, 60, 129, 129)), false}};
    for (const auto& c : cases) {
        const cv::Mat row = attributes(net, c.crop, 112, {"model/mask/Softmax"})[0];
        ASSERT_EQ(row.cols, 3);
        EXPECT_NEAR(cv::sum(row)[0], 1.0, 1e-5);
        EXPECT_EQ(row.at<float>(0, 2) > 0.5f, c.masked) << "P(mask) " << row.at<float>(0, 2);
    }
}

// The stage reads the network's third value and keeps it inside [0, 1].
TEST_P(RealModels, FaceMaskStageWritesTheClampedMaskProbability) {
    cv::dnn::Net net = loadModel("facemask", quantized());
    lm::Settings settings;
    settings.neuralNetworksPath = convertedModelsDir("facemask");
    settings.networkType = quantized() ? lm::Settings::QUANTIZED : lm::Settings::NORMAL;
    lm::FaceMask stage;
    stage.onSettingsUpdate(settings);
    for (const char* file : {"masked.png", "bare.png"}) {
        const cv::Mat crop = image(FACEMASK_DATA + file);
        // A box over the whole crop: the stage's padded square is the crop itself.
        std::vector<lm::Person> people(1);
        people[0].boundingBox = cv::Rect(0, 0, crop.cols, crop.rows);
        stage.estimate(crop, people);
        const float third = attributes(net, crop, 112, {"model/mask/Softmax"})[0].at<float>(0, 2);
        EXPECT_FLOAT_EQ(people[0].faceMask, std::clamp(third, 0.0f, 1.0f)) << file;
        EXPECT_GE(people[0].faceMask, 0.0f);
        EXPECT_LE(people[0].faceMask, 1.0f);
    }
}

lm::Settings convertedSettings(const std::string& base, bool quantized) {
    lm::Settings settings;
    settings.neuralNetworksPath = convertedModelsDir(base);
    settings.networkType = quantized ? lm::Settings::QUANTIZED : lm::Settings::NORMAL;
    return settings;
}

// Two photographed faces, each at two scales, one of them mirrored, on a grey 640 x 480
// frame; between them a face too small for the estimators, which must leave it alone and
// keep the others' results on the right faces.
struct FacesFrame {
    cv::Mat frame;
    std::vector<lm::Person> people;
};

FacesFrame fourFacesFrame() {
    const struct {
        std::string path;
        cv::Rect tile;  // around the face, on the photograph
        cv::Rect face;  // the face box inside the tile
    } photos[] = {
        {SKIMAGE + "astronaut.png", {130, 30, 190, 190}, {47, 44, 93, 101}},
        {OPENCV_HTML + "227943776_1.jpg", {80, 60, 260, 260}, {65, 43, 144, 177}},
    };
    const struct {
        int photo;
        cv::Point at;
        int side;
        bool mirrored;
    } placements[] = {
        {0, {10, 20}, 190, false}, {1, {220, 10}, 200, false}, {0, {440, 60}, 150, true}, {1, {60, 250}, 220, true}};
    FacesFrame result{cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)), {}};
    for (const auto& p : placements) {
        const auto& photo = photos[p.photo];
        cv::Mat tile;
        cv::resize(image(photo.path)(photo.tile), tile, {p.side, p.side}, 0, 0, cv::INTER_AREA);
        if (p.mirrored) cv::flip(tile, tile, 1);
        tile.copyTo(result.frame(cv::Rect(p.at, tile.size())));
        const double scale = static_cast<double>(p.side) / photo.tile.width;
        const int faceX = p.mirrored ? photo.tile.width - photo.face.x - photo.face.width : photo.face.x;
        lm::Person person;
        person.boundingBox = cv::Rect(p.at.x + cvRound(faceX * scale), p.at.y + cvRound(photo.face.y * scale),
                                      cvRound(photo.face.width * scale), cvRound(photo.face.height * scale));
        person.distanceFromCamera = 150 + 40 * static_cast<int>(result.people.size());
        result.people.push_back(person);
        if (result.people.size() == 2) {
            lm::Person tiny;
            tiny.boundingBox = cv::Rect(420, 300, 12, 12);
            result.people.push_back(tiny);
        }
    }
    return result;
}

void expectSameEstimates(const lm::Person& batched, const lm::Person& alone) {
    constexpr float TOLERANCE = 1e-5f;
    EXPECT_EQ(batched.age, alone.age);
    EXPECT_NEAR(batched.gender, alone.gender, TOLERANCE);
    EXPECT_NEAR(batched.smile, alone.smile, TOLERANCE);
    EXPECT_NEAR(batched.faceMask, alone.faceMask, TOLERANCE);
    for (std::size_t k = 0; k < alone.emotions.size(); ++k)
        EXPECT_NEAR(batched.emotions[k], alone.emotions[k], TOLERANCE) << "emotion " << k;
    EXPECT_EQ(batched.headpose.yaw, alone.headpose.yaw);
    EXPECT_EQ(batched.headpose.pitch, alone.headpose.pitch);
    EXPECT_EQ(batched.headpose.roll, alone.headpose.roll);
    EXPECT_EQ(batched.isViewing, alone.isViewing);
    EXPECT_EQ(batched.isDwelling, alone.isDwelling);
    EXPECT_EQ(batched.worldPosition.x, alone.worldPosition.x);
    EXPECT_EQ(batched.worldPosition.y, alone.worldPosition.y);
    EXPECT_EQ(batched.worldPosition.z, alone.worldPosition.z);
    EXPECT_EQ(batched.headgaze.x, alone.headgaze.x);
    EXPECT_EQ(batched.headgaze.y, alone.headgaze.y);
}

// Every face of a frame in one pass gives what each face gives alone, on the right face.
TEST_P(RealModels, FaceEstimatorsGiveEachFaceOfAFrameItsOwnRun) {
    using Factory = std::function<std::unique_ptr<lm::FaceEstimator>()>;
    const struct {
        std::string base;
        Factory make;
    } estimators[] = {
        {"agegender", [] { return std::make_unique<lm::AgeGender>(); }},
        {"headpose", [] { return std::make_unique<lm::HeadposeEstimator>(); }},
        {"smile", [] { return std::make_unique<lm::Smile>(); }},
        {"facemask", [] { return std::make_unique<lm::FaceMask>(); }},
        {"emotion", [] { return std::make_unique<lm::EmotionsEstimator>(); }},
    };
    const FacesFrame faces = fourFacesFrame();
    for (const auto& e : estimators) {
        SCOPED_TRACE(e.base);
        const std::unique_ptr<lm::FaceEstimator> stage = e.make();
        stage->onSettingsUpdate(convertedSettings(e.base, quantized()));
        std::vector<lm::Person> together = faces.people;
        stage->estimate(faces.frame, together);
        ASSERT_EQ(together.size(), faces.people.size());
        for (std::size_t i = 0; i < together.size(); ++i) {
            SCOPED_TRACE("face " + std::to_string(i));
            std::vector<lm::Person> alone = {faces.people[i]};
            stage->estimate(faces.frame, alone);
            expectSameEstimates(together[i], alone[0]);
        }
        EXPECT_EQ(together[2].age, lm::UNSET_AGE) << "the face too small was estimated";
        EXPECT_EQ(together[2].smile, lm::UNSET_SCORE);
    }
}

// Each face network runs a frame's crops in one pass, as the stages feed them; a network
// whose shapes hold one crop only would make the stage fall back to a pass per face.
TEST_P(RealModels, FaceNetworksTakeTheCropsOfAFrameAsOneBatch) {
    const struct {
        std::string base;
        int side;
        std::vector<std::string> heads;
    } networks[] = {
        {"agegender", 112, {"model/age/Softmax", "model/gender/Sigmoid"}},
        {"headpose", 112, {"model/yaw/Softmax", "model/pitch/Softmax", "model/roll/Softmax"}},
        {"smile", 64, {"model/smile/Sigmoid"}},
        {"facemask", 112, {"model/mask/Softmax"}},
        {"emotion", 112, {"model/emotion/Softmax"}},
    };
    const cv::Mat astronaut = image(SKIMAGE + "astronaut.png");
    const std::vector<cv::Mat> crops = {image(FACEMASK_DATA + "masked.png"), image(FACEMASK_DATA + "bare.png"),
                                        astronaut(cv::Rect(159, 60, 129, 129))};
    for (const auto& n : networks) {
        SCOPED_TRACE(n.base);
        cv::dnn::Net net = loadModel(n.base, quantized());
        net.setInput(cv::dnn::blobFromImages(crops, 1.0, cv::Size(n.side, n.side), FACE_MEAN, true, false));
        std::vector<cv::Mat> batch;
        ASSERT_NO_THROW(net.forward(batch, n.heads));
        for (std::size_t i = 0; i < crops.size(); ++i) {
            const std::vector<cv::Mat> alone = attributes(net, crops[i], n.side, n.heads);
            for (std::size_t h = 0; h < n.heads.size(); ++h) {
                ASSERT_EQ(batch[h].size[0], static_cast<int>(crops.size())) << n.heads[h];
                const cv::Mat slice = batch[h].reshape(1, batch[h].size[0]).row(static_cast<int>(i));
                EXPECT_LE(cv::norm(slice, alone[h], cv::NORM_INF), 1e-5) << n.heads[h] << ", crop " << i;
            }
        }
    }
}

// The walkers of one frame in one pass get the vectors each gets alone.
TEST_P(RealModels, BodyEncoderGivesEachWalkerOfAFrameItsOwnRun) {
    lm::BodyEncoder encoder;
    encoder.onSettingsUpdate(convertedSettings("bodyencoder", quantized()));
    const cv::Mat frame = videoFrame(300);
    std::vector<lm::Detection> walkers(6);
    const cv::Rect boxes[] = {{241, 153, 20, 66}, {312, 216, 33, 78}, {187, 159, 29, 74},
                              {582, 160, 26, 73}, {617, 161, 26, 69}, {298, 155, 26, 73}};
    for (std::size_t i = 0; i < walkers.size(); ++i) walkers[i].boundingBox = boxes[i];
    const std::vector<lm::AppearanceVector> together = encoder.encodeBodies(frame, walkers);
    ASSERT_EQ(together.size(), walkers.size());
    for (std::size_t i = 0; i < walkers.size(); ++i) {
        const std::vector<lm::AppearanceVector> alone = encoder.encodeBodies(frame, {walkers[i]});
        ASSERT_EQ(alone.size(), 1u);
        for (std::size_t k = 0; k < alone[0].size(); ++k)
            ASSERT_NEAR(together[i][k], alone[0][k], 1e-5f) << "walker " << i << " value " << k;
    }

    // The network itself takes the walkers as one batch (the stage would otherwise fall back
    // to a pass per walker, with the same values).
    cv::dnn::Net net = loadModel("bodyencoder", quantized());
    std::vector<cv::Mat> crops;
    for (const cv::Rect& box : boxes) crops.push_back(frame(box));
    net.setInput(bodyBlob(crops));
    cv::Mat batch;
    ASSERT_NO_THROW(batch = net.forward().clone());
    ASSERT_EQ(batch.size[0], static_cast<int>(crops.size()));
    for (std::size_t i = 0; i < crops.size(); ++i) {
        net.setInput(bodyBlob({crops[i]}));
        const cv::Mat alone = net.forward().reshape(1, 1);
        EXPECT_LE(cv::norm(batch.reshape(1, batch.size[0]).row(static_cast<int>(i)), alone, cv::NORM_INF), 1e-5)
            << "walker " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, RealModels, ::testing::Values(Variant{false, 1.0}, Variant{true, 1.5}),
                         [](const auto& paramInfo) { return paramInfo.param.quantized ? "Quantized" : "Plain"; });

class RealModelFiles : public ::testing::Test {
protected:
    void SetUp() override {
        if (!weightsPresent()) GTEST_SKIP() << "pretrained weights missing in " << weightsRoot();
    }
};

TEST_F(RealModelFiles, EveryBaseHasBothVariants) {
    const char* bases[] = {"detect_regular", "detect_long", "agegender",  "headpose",    "smile",
                           "facemask",       "emotion",     "bodydetect", "bodyencoder", "faceverify"};
    const lmtest::TempDir dir;
    real::writeRealModels({weightsRoot()}, dir.path().string());
    for (const char* base : bases)
        for (auto type : {lm::Settings::NORMAL, lm::Settings::QUANTIZED}) {
            const lm::ModelFiles files = lm::modelFiles(dir.path().string(), base, type);
            EXPECT_TRUE(fs::exists(files.description)) << files.description;
            EXPECT_TRUE(fs::exists(files.weights)) << files.weights;
        }
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 40);
}

TEST_F(RealModelFiles, QuantizedWeightsAreSmallerAndAgree) {
    for (const char* base : {"agegender", "emotion", "headpose", "smile"}) {
        SCOPED_TRACE(base);
        const lm::ModelFiles plain = lm::modelFiles(convertedModelsDir(base), base, lm::Settings::NORMAL);
        const lm::ModelFiles compressed = lm::modelFiles(convertedModelsDir(base), base, lm::Settings::QUANTIZED);
        EXPECT_LT(lm::fs::getFileSize(compressed.weights), lm::fs::getFileSize(plain.weights) * 6 / 10);

        cv::dnn::Net a = loadModel(base, false), b = loadModel(base, true);
        const std::vector<std::string> outputs = a.getUnconnectedOutLayersNames();
        const int side = std::string(base) == "smile" ? 64 : 112;
        const cv::Mat crop = image(SKIMAGE + "astronaut.png")(cv::Rect(159, 60, 129, 129));
        const auto ra = attributes(a, crop, side, outputs), rb = attributes(b, crop, side, outputs);
        for (size_t i = 0; i < ra.size(); ++i) {
            EXPECT_LE(cv::norm(ra[i], rb[i], cv::NORM_INF), 0.01) << outputs[i];
            if (ra[i].cols > 7) {
                EXPECT_NEAR(expectation(ra[i]).first, expectation(rb[i]).first, 0.05) << outputs[i];
            }
        }
    }
}

TEST_F(RealModelFiles, FaceDetectorAnchorsFollowTheInputSize) {
    const struct {
        int width, height;
        int64_t anchors;
    } sizes[] = {{640, 480, 6048}, {1024, 768, 15360}};
    for (const auto& s : sizes) {
        const real::IrGraph g = real::convertFaceDetector({weightsRoot()}, s.width, s.height);
        const auto priors = std::find_if(g.layers().begin(), g.layers().end(),
                                         [](const real::IrLayer& l) { return l.name == "priors"; });
        ASSERT_NE(priors, g.layers().end());
        EXPECT_EQ(priors->values.shape, (real::Shape{1, 2, s.anchors * 4}));
        if (s.width != 640) continue;
        // Layer 0, row 7, column 17, the 2:1 box: the astronaut's best anchor.
        const float expected[4] = {0.32436f, 0.17458f, 0.55064f, 0.32542f};
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(priors->values.values[892 * 4 + k], expected[k], 1e-5);
        EXPECT_FLOAT_EQ(priors->values.values[s.anchors * 4 + 892 * 4 + 3], 0.2f);  // dh variance
    }
}

TEST_F(RealModelFiles, LandmarksMatchReference) {
    if (!samplesPresent()) GTEST_SKIP() << "sample images missing (python3-skimage, opencv-doc)";
    // A misplaced odd pad moves these by up to 0.21, BGR input by 0.007, a missing mean by 0.004.
    cv::dnn::Net net = readGraph(real::convertLandmarks({weightsRoot()}));
    const cv::Mat crop = image(SKIMAGE + "astronaut.png")(cv::Rect(159, 60, 129, 129));
    const cv::Mat points = attributes(net, crop, 112, {"landmarks"})[0];
    ASSERT_EQ(points.cols, 136);
    const struct {
        int point;
        float x, y;
    } reference[] = {{30, 0.4969f, 0.5249f}, {36, 0.2830f, 0.3061f}, {45, 0.7267f, 0.3332f},
                     {8, 0.4903f, 0.9085f},  {48, 0.3324f, 0.6222f}, {54, 0.6669f, 0.6335f}};
    for (const auto& r : reference) {
        EXPECT_NEAR(points.at<float>(0, 2 * r.point), r.x, 1e-3) << "point " << r.point;
        EXPECT_NEAR(points.at<float>(0, 2 * r.point + 1), r.y, 1e-3) << "point " << r.point;
    }
}

TEST_F(RealModelFiles, OpenClTargetAgreesWithCpu) {
    if (!samplesPresent()) GTEST_SKIP() << "sample images missing (python3-skimage, opencv-doc)";
    if (const auto& unavailable = lmtest::openClTargetUnavailable()) GTEST_SKIP() << *unavailable;
    // The stages switch to the OpenCL target when the GPU flag is set; layers OpenCL lacks
    // fall back to the CPU inside OpenCV, so every network must still agree.
    const cv::Mat crop = image(SKIMAGE + "astronaut.png")(cv::Rect(159, 60, 129, 129));
    for (const char* base : {"agegender", "smile", "bodyencoder"}) {
        SCOPED_TRACE(base);
        cv::dnn::Net cpu = loadModel(base, false), gpu = loadModel(base, false);
        gpu.setPreferableTarget(cv::dnn::DNN_TARGET_OPENCL);
        const std::string name(base);
        const int side = name == "smile" ? 64 : 112;
        cv::Mat blob = name == "bodyencoder"
                           ? cv::dnn::blobFromImage(crop, 0.01735207357279195, cv::Size(128, 256),
                                                    cv::Scalar(123.675, 116.28, 103.56), true, false)
                           : cv::dnn::blobFromImage(crop, 1.0, cv::Size(side, side), FACE_MEAN, true, false);
        const std::vector<std::string> outputs = cpu.getUnconnectedOutLayersNames();
        std::vector<cv::Mat> a, b;
        cpu.setInput(blob);
        cpu.forward(a, outputs);
        gpu.setInput(blob);
        gpu.forward(b, outputs);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i)
            EXPECT_LE(cv::norm(a[i], b[i], cv::NORM_INF), 1e-3 * (name == "bodyencoder" ? 25 : 1)) << outputs[i];
    }
}

// ---- no downloaded weights needed from here on ----

TEST(BodyEncoderStatistics, ThoseThatCannotStandardiseAreRefusedBeforeAnyWeightIsRead) {
    const std::vector<float> mean(real::BODY_FEATURE_COUNT, 0.0f), unit(real::BODY_FEATURE_COUNT, 1.0f);
    const std::vector<float> projection(real::BODY_FEATURE_COUNT * real::BODY_FEATURE_COUNT, 0.0f);
    std::vector<float> deadDeviation = unit;
    deadDeviation[7] = 0.0f;
    const struct {
        const char* name;
        real::BodyFeatureStatistics statistics;
    } cases[] = {
        {"too few means", {std::vector<float>(3, 0.0f), unit, projection, 25.0f}},
        {"too few deviations", {mean, std::vector<float>(511, 1.0f), projection, 25.0f}},
        {"a projection of one row", {mean, unit, unit, 25.0f}},
        {"a zero deviation", {mean, deadDeviation, projection, 25.0f}},
        {"no length", {mean, unit, projection, 0.0f}},
    };
    for (const auto& c : cases)
        EXPECT_THROW(real::convertBodyEncoder({"/nonexistent"}, c.statistics), std::invalid_argument) << c.name;
}

TEST(GaussianRows, ExpectationRecoversTheValueAndSaturatesAtTheEnds) {
    // A row built on one input feature, so that the value is the input itself.
    auto rowFor = [](int bins, int firstBin, float sigma) {
        real::IrGraph g("row");
        const real::Port value = g.parameter("value", {1, 1});
        g.result(real::gaussianRow(g, "row", value, {1.0f}, 0.0f, bins, firstBin, sigma));
        return readGraph(g);
    };
    cv::dnn::Net angle = rowFor(real::ANGLE_BINS, -real::ANGLE_BINS / 2, real::ANGLE_SIGMA);
    cv::dnn::Net age = rowFor(real::AGE_BINS, 0, real::AGE_SIGMA);
    const struct {
        cv::dnn::Net* net;
        float value;
        double expected;  // the stage's expectation, angles offset by N/2
        double offset;
    } cases[] = {
        {&angle, 0.0f, 0.0, 90},     {&angle, 30.5f, 30.5, 90},
        {&angle, -70.0f, -70.0, 90}, {&angle, 89.0f, 86.11, 90},  // near the end the row is cut off
        {&age, 0.0f, 2.09, 0},       {&age, 5.0f, 5.23, 0},
        {&age, 10.0f, 10.0, 0},      {&age, 42.25f, 42.25, 0},
    };
    for (const auto& c : cases) {
        cv::Mat input(1, 1, CV_32F, cv::Scalar(c.value));
        c.net->setInput(input);
        const cv::Mat row = c.net->forward("row").reshape(1, 1);
        const auto [e, total] = expectation(row);
        EXPECT_NEAR(total, 1.0, 1e-4);
        EXPECT_NEAR(e - c.offset, c.expected, 0.05) << "value " << c.value;
    }
}

TEST(ScaledToLength, HoldsTheLengthOverAWideRangeOfInputs) {
    real::IrGraph g("length");
    const real::Port x = g.parameter("x", {1, 4, 16, 8});
    g.result(g.scaledToLength("out", x, 25.18487f));
    cv::dnn::Net net = readGraph(g);
    cv::RNG rng(7);
    for (const double magnitude : {1e-3, 0.1, 1.0, 10.0, 80.0}) {
        const int dims[] = {1, 4, 16, 8};
        cv::Mat input(4, dims, CV_32F);
        rng.fill(input, cv::RNG::NORMAL, 0.0, magnitude);
        net.setInput(input);
        const cv::Mat out = net.forward();
        EXPECT_NEAR(cv::norm(out), 25.18487, 1e-3) << "magnitude " << magnitude;
        // The direction is kept: out is a positive multiple of the input.
        EXPECT_NEAR(out.dot(input) / (cv::norm(out) * cv::norm(input)), 1.0, 1e-6) << "magnitude " << magnitude;
    }
    const int dims[] = {1, 4, 16, 8};
    net.setInput(cv::Mat(4, dims, CV_32F, cv::Scalar(0)));
    const cv::Mat zeros = net.forward();
    EXPECT_EQ(cv::countNonZero(zeros.reshape(1, 1)), 0);
    EXPECT_TRUE(cv::checkRange(zeros));
}

// ---- reading TensorFlow.js weight files ----

class TfjsWeights : public ::testing::Test {
protected:
    void write(const std::string& name, const std::string& bytes) {
        std::ofstream(mDir.file(name), std::ios::binary) << bytes;
    }
    lmtest::TempDir mDir;
};

TEST_F(TfjsWeights, DecodesEveryStorageTypeAtAnyOffset) {
    // uint8 (q * scale + min), float32 starting at the odd offset 3, float16 and int32.
    std::string bin = {'\x00', '\x02', '\xff'};
    const float f = 1.5f;
    bin.append(reinterpret_cast<const char*>(&f), 4);
    bin += std::string("\x00\x3c\x00\xc0", 4);  // float16 1.0, -2.0
    const int32_t i = -7;
    bin.append(reinterpret_cast<const char*>(&i), 4);
    write("m.bin", bin);
    write("m.json", R"([{"paths":["m.bin"],"weights":[
        {"name":"q","shape":[3],"dtype":"float32","quantization":{"dtype":"uint8","scale":0.5,"min":-1}},
        {"name":"f","shape":[],"dtype":"float32"},
        {"name":"h","shape":[1,2],"dtype":"float32","quantization":{"dtype":"float16"}},
        {"name":"i","shape":[1],"dtype":"int32"}]}])");
    const real::Weights w = real::readWeightsManifest(mDir.file("m.json"));
    EXPECT_EQ(w.at("q").values, (std::vector<float>{-1.0f, 0.0f, 126.5f}));
    EXPECT_EQ(w.at("f").values, (std::vector<float>{1.5f}));
    EXPECT_EQ(w.at("h").values, (std::vector<float>{1.0f, -2.0f}));
    EXPECT_EQ(w.at("h").shape, (real::Shape{1, 2}));
    EXPECT_EQ(w.at("i").values, (std::vector<float>{-7.0f}));
}

TEST_F(TfjsWeights, DamagedFilesAreNamedErrors) {
    const std::string manifest = R"([{"paths":["m.bin"],"weights":[{"name":"w","shape":[2],"dtype":"float32"}]}])";
    write("m.json", manifest);
    const struct {
        const char* what;
        bool writeShard;
        std::string shard;
        const char* message;
    } cases[] = {
        {"missing shard", false, "", "m.bin"},
        {"short shard", true, std::string(7, '\0'), "runs past the end"},
        {"long shard", true, std::string(9, '\0'), "describes 8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(mDir.file("m.bin"));
        if (c.writeShard) write("m.bin", c.shard);
        try {
            real::readWeightsManifest(mDir.file("m.json"));
            ADD_FAILURE() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    write("bad.json", "[{\"paths\": ");
    EXPECT_THROW(real::readWeightsManifest(mDir.file("bad.json")), std::runtime_error);
}

TEST_F(TfjsWeights, MissingWeightsWriteNoModelFiles) {
    const std::string out = mDir.file("models");
    fs::create_directories(out);
    try {
        real::writeRealModels({mDir.file("nowhere")}, out);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        // detect_regular, the first network written, reads BlazeFace.
        EXPECT_NE(std::string(e.what()).find("nowhere/human-models/models/blazeface-back.json"), std::string::npos)
            << e.what();
    }
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(TfPadding, FollowsTensorFlowSame) {
    const struct {
        int64_t input;
        int kernel, stride;
        real::Padding padding;
        real::AxisPads expected;
    } cases[] = {
        {112, 3, 2, real::Padding::Same, {56, 0, 1}},   // even input: the odd pixel at the end
        {15, 3, 2, real::Padding::Same, {8, 1, 1}},     // odd input
        {480, 5, 2, real::Padding::Same, {240, 1, 2}},  // 5x5 stride 2
        {56, 1, 2, real::Padding::Same, {28, 0, 0}},    // 1x1 stride 2 needs none
        {14, 3, 1, real::Padding::Same, {14, 1, 1}},   {64, 3, 2, real::Padding::Valid, {31, 0, 0}},
    };
    for (const auto& c : cases) {
        const real::AxisPads p = real::tfPads(c.input, c.kernel, c.stride, c.padding);
        EXPECT_EQ(p.output, c.expected.output) << c.input << " k" << c.kernel << " s" << c.stride;
        EXPECT_EQ(p.begin, c.expected.begin) << c.input << " k" << c.kernel << " s" << c.stride;
        EXPECT_EQ(p.end, c.expected.end) << c.input << " k" << c.kernel << " s" << c.stride;
    }
}

}  // namespace
