// BlazeFace converted for the frame sizes: anchors regenerated for each pass's grids, and
// boxes of a downsampled pass decoded back into frame pixels.

#include <gtest/gtest.h>

#include <algorithm>

#include <opencv2/dnn.hpp>
#include <opencv2/imgproc.hpp>

#include "real/converters.h"
#include "real/ir_emit.h"
#include "support/real_media.h"
#include "util/ir_reader.h"

namespace {

namespace real = lm::models::real;
using namespace lmtest::real_media;

class RealBlazeFace : public ::testing::Test {
protected:
    void SetUp() override {
        if (!weightsPresent()) GTEST_SKIP() << "pretrained weights missing in " << weightsRoot();
        if (!samplesPresent()) GTEST_SKIP() << "sample images missing (python3-skimage, opencv-doc)";
    }

    static real::BlazeFaceOptions passes(std::vector<float> factors,
                                         real::BlazeFaceModel model = real::BlazeFaceModel::Back) {
        real::BlazeFaceOptions options;
        options.model = model;
        options.factors = std::move(factors);
        return options;
    }

    static int64_t priorCount(const real::IrGraph& graph) {
        const auto priors = std::find_if(graph.layers().begin(), graph.layers().end(),
                                         [](const real::IrLayer& l) { return l.name == "priors"; });
        return priors == graph.layers().end() ? -1 : priors->values.shape.at(2) / 4;
    }

    struct Found {
        std::vector<float> scores;
        std::vector<cv::Rect> boxes;
    };

    static Found detect(const real::IrGraph& graph, const cv::Mat& frame, float threshold) {
        const real::IrPair ir = real::emitIr(graph, false);
        cv::dnn::DetectionModel model(
            lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size()));
        model.setInputScale(1.0).setInputSwapRB(true).setInputSize(frame.size()).setInputMean({123, 117, 104});
        std::vector<int> classes;
        Found found;
        model.detect(frame, classes, found.scores, found.boxes, threshold, 0.0f);
        return found;
    }

    // The astronaut's head, cropped and scaled so that her face is about faceWidth px
    // wide, in the middle of a grey 640 x 480 frame; the face's square comes back in face.
    static cv::Mat astronautFrame(int faceWidth, cv::Rect& face) {
        const cv::Mat astronaut = image(SKIMAGE + "astronaut.png");
        const cv::Rect head(133, 36, 180, 180);  // her face is a square of about 100 px in its middle
        const int side = 180 * faceWidth / 100;
        cv::Mat frame(480, 640, CV_8UC3, cv::Scalar::all(128));
        const cv::Rect placed(320 - side / 2, 240 - side / 2, side, side);
        cv::resize(astronaut(head), frame(placed), placed.size(), 0, 0, cv::INTER_AREA);
        face = cv::Rect(320 - faceWidth / 2, 240 - faceWidth / 2, faceWidth, faceWidth);
        return frame;
    }
};

TEST_F(RealBlazeFace, HasOneAnchorPerCellAndBoxOfEveryPass) {
    const struct {
        std::vector<float> factors;
        int64_t anchors;
    } cases[] = {
        // 40 x 30 cells of two boxes and 20 x 15 of six; at half size 20 x 15 and 10 x 8.
        {{1}, 40 * 30 * 2 + 20 * 15 * 6},
        {{1, 2}, 40 * 30 * 2 + 20 * 15 * 6 + 20 * 15 * 2 + 10 * 8 * 6},
        // Resized to 480 x 360: 30 x 23 and 15 x 12 cells; enlarged to 1280 x 960: 80 x 60 and 40 x 30.
        {{4.0f / 3.0f}, 30 * 23 * 2 + 15 * 12 * 6},
        {{0.5f}, 80 * 60 * 2 + 40 * 30 * 6},
    };
    for (const auto& c : cases) {
        const real::IrGraph graph = real::convertBlazeFace({weightsRoot()}, 640, 480, passes(c.factors));
        EXPECT_EQ(priorCount(graph), c.anchors) << c.factors.size() << " passes";
    }
}

TEST_F(RealBlazeFace, RefusesPassFactorsItCannotApply) {
    // 3 leaves a third of a pixel in 640; 0.2 would enlarge the frame 5 times.
    for (const float factor : {3.0f, 0.2f, 0.0f, -1.0f})
        EXPECT_THROW(real::convertBlazeFace({weightsRoot()}, 640, 480, passes({factor})), std::invalid_argument)
            << factor;
}

TEST_F(RealBlazeFace, FullRangeHasOneAnchorPerStrideFourCellOfItsPaddedInput) {
    // The frame at half size, 320 x 240, is padded to 320 x 256 for the feature pyramid.
    const struct {
        float factor;
        int64_t anchors;
    } cases[] = {{1, 160 * 120}, {2, 80 * 64}};
    for (const auto& c : cases) {
        const real::IrGraph graph =
            real::convertBlazeFace({weightsRoot()}, 640, 480, passes({c.factor}, real::BlazeFaceModel::FullRange));
        EXPECT_EQ(priorCount(graph), c.anchors) << "factor " << c.factor;
    }
}

TEST_F(RealBlazeFace, FullRangeCentresAFaceWhereTheBackModelDoes) {
    // Its anchors sit at the centres of the sub-cells its depth-to-space head spreads a
    // cell over: at half size, reading them at the cell centre moves the box 4 px
    // (measured: 0.5 to 1 px from the back model's centre, 4 to 5 px when misread). Its
    // boxes reach higher up the head, so only the horizontal centre is compared.
    for (const int faceWidth : {64, 80, 96}) {
        cv::Rect face;
        const cv::Mat frame = astronautFrame(faceWidth, face);
        const Found back = detect(real::convertBlazeFace({weightsRoot()}, 640, 480, passes({1})), frame, 0.3f);
        const Found full =
            detect(real::convertBlazeFace({weightsRoot()}, 640, 480, passes({2}, real::BlazeFaceModel::FullRange)),
                   frame, 0.3f);
        ASSERT_EQ(back.boxes.size(), 1u) << faceWidth;
        ASSERT_EQ(full.boxes.size(), 1u) << faceWidth;
        const double backCentre = back.boxes[0].x + back.boxes[0].width / 2.0;
        const double fullCentre = full.boxes[0].x + full.boxes[0].width / 2.0;
        EXPECT_NEAR(fullCentre, backCentre, 2.0) << faceWidth << ": " << full.boxes[0] << " vs " << back.boxes[0];
    }
}

TEST_F(RealBlazeFace, AHalfSizePassPutsTheFaceWhereTheFullSizePassDoes) {
    // A face of 64 px is within reach of both passes alone; a pass decoded at the wrong
    // pixel size or on the wrong grid puts it elsewhere.
    cv::Rect face;
    const cv::Mat frame = astronautFrame(64, face);
    const Found full = detect(real::convertBlazeFace({weightsRoot()}, 640, 480, passes({1})), frame, 0.5f);
    const Found half = detect(real::convertBlazeFace({weightsRoot()}, 640, 480, passes({2})), frame, 0.5f);
    ASSERT_EQ(full.boxes.size(), 1u);
    ASSERT_EQ(half.boxes.size(), 1u);
    EXPECT_GT((full.boxes[0] & half.boxes[0]).area(), 0.85 * (full.boxes[0] | half.boxes[0]).area())
        << full.boxes[0] << " vs " << half.boxes[0];
    EXPECT_GT((full.boxes[0] & face).area(), 0.8 * (full.boxes[0] | face).area()) << full.boxes[0];
}

TEST_F(RealBlazeFace, BothPassesTogetherBoxALargeFaceOnItsSquare) {
    // A face near the top of the range (measured: IoU 0.82 with both passes, 0.74 with the
    // full-size pass alone); boxes of one pass read against the other's anchors land far off.
    cv::Rect face;
    const cv::Mat frame = astronautFrame(190, face);
    const Found both = detect(real::convertBlazeFace({weightsRoot()}, 640, 480, passes({1, 2})), frame, 0.5f);
    ASSERT_EQ(both.boxes.size(), 1u);
    EXPECT_GT((both.boxes[0] & face).area(), 0.78 * (both.boxes[0] | face).area()) << both.boxes[0];
}

}  // namespace
