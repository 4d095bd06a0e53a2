// FaceBoxes converted for the frame sizes: the converted network against a forward of the
// TF.js graph itself, anchors generated for each pass's padded grids, and its calibration.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "real/converters.h"
#include "real/ir_emit.h"
#include "support/real_media.h"
#include "util/ir_reader.h"

namespace {

namespace real = lm::models::real;
using namespace lmtest::real_media;

struct Detection {
    float score;
    cv::Rect2f box;  // frame pixels
};

class RealFaceBoxes : public ::testing::Test {
protected:
    void SetUp() override {
        if (!weightsPresent() || !std::filesystem::exists(real::WeightsDir{weightsRoot()}.humanModels("faceboxes.bin")))
            GTEST_SKIP() << "pretrained weights missing in " << weightsRoot();
        if (!samplesPresent()) GTEST_SKIP() << "sample images missing (python3-skimage, opencv-doc)";
    }

    static real::FaceBoxesOptions passes(std::vector<float> factors, float logitShift = 0.0f) {
        real::FaceBoxesOptions options;
        options.factors = std::move(factors);
        options.logitShift = logitShift;
        return options;
    }

    static real::IrGraph convert(const real::FaceBoxesOptions& options) {
        return real::convertFaceBoxes({weightsRoot()}, 640, 480, options);
    }

    static int64_t priorCount(const real::IrGraph& graph) {
        const auto priors = std::find_if(graph.layers().begin(), graph.layers().end(),
                                         [](const real::IrLayer& l) { return l.name == "priors"; });
        return priors == graph.layers().end() ? -1 : priors->values.shape.at(2) / 4;
    }

    // DetectionOutput's rows above threshold, best first, in frame pixels and unrounded.
    static std::vector<Detection> detect(const real::IrGraph& graph, const cv::Mat& frame, float threshold) {
        const real::IrPair ir = real::emitIr(graph, false);
        cv::dnn::Net net = lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size());
        net.setInput(cv::dnn::blobFromImage(frame, 1.0, frame.size(), {123, 117, 104}, true, false));
        const cv::Mat out = net.forward();
        const cv::Mat rows(out.size[2], out.size[3], CV_32F, const_cast<float*>(out.ptr<float>()));
        std::vector<Detection> found;
        for (int r = 0; r < rows.rows; ++r) {
            const float* row = rows.ptr<float>(r);
            if (row[2] < threshold) continue;
            found.push_back({row[2], cv::Rect2f(cv::Point2f(row[3] * frame.cols, row[4] * frame.rows),
                                                cv::Point2f(row[5] * frame.cols, row[6] * frame.rows))});
        }
        std::sort(found.begin(), found.end(), [](const Detection& a, const Detection& b) { return a.score > b.score; });
        return found;
    }

    // A part of the astronaut as she comes (no resampling) pasted at `at` onto a grey
    // 640 x 480 frame and cut to it, as the graph's forward below builds its frames.
    static cv::Mat astronautFrame(const cv::Rect& crop, const cv::Point& at) {
        const cv::Mat astronaut = image(SKIMAGE + "astronaut.png");
        cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(128));
        const cv::Rect placed = cv::Rect(at, crop.size()) & cv::Rect(0, 0, 640, 480);
        astronaut(cv::Rect(crop.tl(), placed.size())).copyTo(frame(placed));
        return frame;
    }
    // The whole astronaut, rows 0-479, at column 64.
    static cv::Mat astronautOnCanvas() { return astronautFrame({0, 0, 512, 512}, {64, 0}); }

    static double iou(const cv::Rect2f& a, const cv::Rect2f& b) { return (a & b).area() / (a | b).area(); }
};

TEST_F(RealFaceBoxes, FindsTheBestBoxAndScoreOfTheGraphItself) {
    // The graph's own forward in numpy, padding, anchor generator and decoding as the graph
    // computes them (`tools/lumora-models/real/faceboxes_reference.py .cache/weights
    // /usr/lib/python3/dist-packages/skimage/data/astronaut.png` with the crop and place
    // shown). A misordered densified anchor moves the box by 8 px or more; a misread
    // regressor column, pad or input scale moves it or the score further.
    const struct {
        const char* frame;
        cv::Rect crop;
        cv::Point at;
        float score;
        cv::Point2f topLeft, bottomRight;
    } cases[] = {
        // --at 64,0: the face near the top, 90 px wide.
        {"whole astronaut", {0, 0, 512, 512}, {64, 0}, 0.98499f, {247.47f, 57.79f}, {339.83f, 174.57f}},
        // --crop 133,36,180,180 --at 230,150: her head alone in the middle of the frame.
        {"head", {133, 36, 180, 180}, {230, 150}, 0.97621f, {279.96f, 183.30f}, {364.50f, 287.65f}},
        // --crop 133,36,180,150 --at 230,340: her chin on the frame's bottom edge, below which
        // the graph pads the frame to 512 rows.
        {"head at the bottom", {133, 36, 180, 150}, {230, 340}, 0.96283f, {276.51f, 368.86f}, {363.86f, 472.64f}},
    };
    for (const auto& c : cases) {
        const std::vector<Detection> found = detect(convert(passes({1})), astronautFrame(c.crop, c.at), 0.5f);
        ASSERT_EQ(found.size(), 1u) << c.frame;
        const cv::Rect2f& box = found[0].box;
        EXPECT_NEAR(found[0].score, c.score, 0.002) << c.frame;
        EXPECT_NEAR(box.x, c.topLeft.x, 0.5) << c.frame << ": " << box;
        EXPECT_NEAR(box.y, c.topLeft.y, 0.5) << c.frame << ": " << box;
        EXPECT_NEAR(box.br().x, c.bottomRight.x, 0.5) << c.frame << ": " << box;
        EXPECT_NEAR(box.br().y, c.bottomRight.y, 0.5) << c.frame << ": " << box;
    }
}

TEST_F(RealFaceBoxes, HasTheGraphsAnchorsForEachPassesPaddedGrids) {
    const struct {
        std::vector<float> factors;
        int64_t anchors;
    } cases[] = {
        // Padded to 640 x 512: 20 x 16 cells of 21 anchors, 10 x 8 of one and 5 x 4 of one.
        {{1}, 20 * 16 * 21 + 10 * 8 + 5 * 4},
        // Enlarged to 960 x 720, padded to 1024 x 768: 32 x 24, 16 x 12 and 8 x 6 cells.
        {{1, 2.0f / 3.0f}, 20 * 16 * 21 + 10 * 8 + 5 * 4 + 32 * 24 * 21 + 16 * 12 + 8 * 6},
        // Halved to 320 x 240, padded to 384 x 256: 12 x 8, 6 x 4 and 3 x 2 cells.
        {{2}, 12 * 8 * 21 + 6 * 4 + 3 * 2},
    };
    for (const auto& c : cases) EXPECT_EQ(priorCount(convert(passes(c.factors))), c.anchors) << c.factors.size();
}

TEST_F(RealFaceBoxes, ClipsItsAnchorsToThePaddedInput) {
    // The graph clips every anchor to its padded input before decoding: 640 x 512 here,
    // 512 / 480 of the frame's height. Unclipped, the 256 and 512 px anchors of the border
    // cells reach far beyond it and their faces come out larger.
    const real::IrGraph graph = convert(passes({1}));
    const auto priors = std::find_if(graph.layers().begin(), graph.layers().end(),
                                     [](const real::IrLayer& l) { return l.name == "priors"; });
    ASSERT_NE(priors, graph.layers().end());
    const std::vector<float>& values = priors->values.values;
    const size_t boxes = values.size() / 2;  // then the variances
    float lowest = 1, highestX = 0, highestY = 0;
    for (size_t i = 0; i < boxes; i += 4) {
        lowest = std::min({lowest, values[i], values[i + 1]});
        highestX = std::max(highestX, values[i + 2]);
        highestY = std::max(highestY, values[i + 3]);
    }
    EXPECT_FLOAT_EQ(lowest, 0.0f);
    EXPECT_FLOAT_EQ(highestX, 1.0f);
    EXPECT_FLOAT_EQ(highestY, 512.0f / 480.0f);
}

TEST_F(RealFaceBoxes, AnEnlargedPassPutsTheFaceWhereTheFramePassDoes) {
    // Boxes of a resized pass decoded against the wrong padded size land tens of pixels off.
    const cv::Mat frame = astronautOnCanvas();
    const std::vector<Detection> plain = detect(convert(passes({1})), frame, 0.5f);
    const std::vector<Detection> enlarged = detect(convert(passes({2.0f / 3.0f})), frame, 0.5f);
    ASSERT_FALSE(plain.empty());
    ASSERT_FALSE(enlarged.empty());
    EXPECT_GT(iou(plain[0].box, enlarged[0].box), 0.8) << plain[0].box << " vs " << enlarged[0].box;
}

TEST_F(RealFaceBoxes, TheLogitShiftMovesEveryScoreAlongTheLogit) {
    // A reported score s is the raw p with its logit shifted: logit(s) = logit(p) + shift.
    const auto logit = [](double p) { return std::log(p / (1 - p)); };
    const cv::Mat frame = astronautOnCanvas();
    const std::vector<Detection> raw = detect(convert(passes({1})), frame, 0.3f);
    ASSERT_FALSE(raw.empty());
    for (const float shift : {-2.0f, 0.7f}) {
        const std::vector<Detection> shifted = detect(convert(passes({1}, shift)), frame, 0.05f);
        ASSERT_FALSE(shifted.empty()) << shift;
        EXPECT_NEAR(logit(shifted[0].score), logit(raw[0].score) + shift, 0.01) << shift;
        EXPECT_GT(iou(shifted[0].box, raw[0].box), 0.99) << shift;
    }
}

}  // namespace
