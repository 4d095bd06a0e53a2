// The face detector letterboxed to its trained 512 x 512 input inside the network: the
// trained anchors, mapped back to the frame, so that boxes come out in frame pixels.

#include <gtest/gtest.h>

#include <algorithm>

#include <opencv2/dnn.hpp>

#include "real/converters.h"
#include "real/ir_emit.h"
#include "support/real_media.h"
#include "util/ir_reader.h"

namespace {

namespace real = lm::models::real;
using namespace lmtest::real_media;

TEST(RealFaceDetectorLetterbox, KeepsTheTrainedAnchorsAndFindsTheAstronautInFramePixels) {
    if (!weightsPresent()) GTEST_SKIP() << "pretrained weights missing in " << weightsRoot();
    if (!samplesPresent()) GTEST_SKIP() << "sample images missing (python3-skimage, opencv-doc)";
    const real::IrGraph graph = real::convertFaceDetector({weightsRoot()}, 640, 480, real::DetectorInput::Letterbox512);
    const auto priors = std::find_if(graph.layers().begin(), graph.layers().end(),
                                     [](const real::IrLayer& l) { return l.name == "priors"; });
    ASSERT_NE(priors, graph.layers().end());
    EXPECT_EQ(priors->values.shape, (real::Shape{1, 2, 5118 * 4}));

    const real::IrPair ir = real::emitIr(graph, false);
    cv::dnn::DetectionModel model(
        lm::dnn::readNetFromIR(ir.xml.data(), ir.xml.size(), ir.weights.data(), ir.weights.size()));
    model.setInputScale(1.0).setInputSwapRB(true).setInputSize({640, 480}).setInputMean({123, 117, 104});
    std::vector<int> classes;
    std::vector<float> scores;
    std::vector<cv::Rect> boxes;
    model.detect(image(SKIMAGE + "astronaut.png"), classes, scores, boxes, 0.5f, 0.0f);
    ASSERT_EQ(boxes.size(), 1u);
    // Measured: the square photo is squeezed to 4:3 by the resize to the frame size and
    // then letterboxed, so the face is flatter than the shipped network sees it (0.976).
    EXPECT_NEAR(scores[0], 0.750f, 0.01f);
    // The SSD's box on the frame as it comes; a prior left in the padded square's
    // coordinates would put the face a quarter too high and too short.
    const cv::Rect shipped(177, 74, 93, 101);
    EXPECT_GT((boxes[0] & shipped).area(), 0.8 * (boxes[0] | shipped).area()) << boxes[0];
}

}  // namespace
