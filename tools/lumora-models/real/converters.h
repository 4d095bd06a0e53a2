#pragma once
// One converter per model role: each reads the pretrained weights it needs and builds the
// role's network as an IrGraph, with the input the library's stage feeds it (the caller's
// mean subtracted, RGB order, scale as the stage uses) and the outputs the stage reads.

#include <string>
#include <vector>

#include "real/ir_graph.h"

namespace lm::models::real {

// Where the fetched packages lie: WEIGHTS_DIR/face-api/model/…, WEIGHTS_DIR/human/models/…
// and WEIGHTS_DIR/human-models/models/….
struct WeightsDir {
    std::string root;
    std::string faceApi(const std::string& file) const { return root + "/face-api/model/" + file; }
    std::string human(const std::string& file) const { return root + "/human/models/" + file; }
    std::string humanModels(const std::string& file) const { return root + "/human-models/models/" + file; }
};

// How the face detector meets a frame of its input size: run as it comes on a grid and
// anchors regenerated for that size, or letterboxed inside the network to the 512 x 512
// square it was trained at, with its trained anchors.
enum class DetectorInput { Native, Letterbox512 };

// The face detectors' blob is RGB minus (123, 117, 104); both networks want RGB / 127.5 - 1.
Port faceDetectorInput(IrGraph& g, const std::string& name, Port x);
// SSD MobileNet v1 face detector at width x height, decoding and NMS in DetectionOutput.
IrGraph convertFaceDetector(const WeightsDir& weights, int width, int height,
                            DetectorInput input = DetectorInput::Native);
// How BlazeFace is run: once per downsampling factor (1 is the frame itself, 2 half its
// size, 1.5 two thirds of it, ...), all passes' boxes decoded and suppressed together in
// one DetectionOutput.
enum class BlazeFaceModel {
    Back,       // back camera, 256 x 256: two grids, stride 16 and 32
    FullRange,  // full range, 192 x 192: one grid of stride 4
};
struct BlazeFaceOptions {
    BlazeFaceModel model = BlazeFaceModel::Back;
    std::vector<float> factors{1};
    float logitShift = 0.0f;    // added to every face logit, so that the caller's threshold means what it should
    float boxScale = 1.0f;      // the regressed box side times this
    float nmsThreshold = 0.3f;  // the IoU at which the lower of two boxes is dropped
};
// BlazeFace on the frame as it comes, mapped onto DetectionOutput.
IrGraph convertBlazeFace(const WeightsDir& weights, int width, int height, const BlazeFaceOptions& options);
// The REGULAR face detector shipped: BlazeFace on the frame and on the frame at half size,
// its logits shifted so that the caller's 0.8 keeps the boxes that a raw score of
// FACE_RAW_THRESHOLD_REGULAR keeps (the lowest raw threshold with at most 0.05 false faces
// per frame on the tuning scenes of face-eval).
constexpr float FACE_RAW_THRESHOLD_REGULAR = 0.72f;
// The LONG one: the same at 1024 x 768, its logits shifted by LONG_FACE_LOGIT_SHIFT, the
// lowest shift (of 0, 0.094, 0.2, 0.3, 0.37 and REGULAR's 0.44) with which the detector and
// its second look (faceverify) keep at most 0.05 false faces a frame at 0.8 on the tuning
// scenes of 1024 x 768.
constexpr float LONG_FACE_LOGIT_SHIFT = 0.3f;
BlazeFaceOptions shippedLongBlazeFace();
BlazeFaceOptions shippedBlazeFace();
// How FaceBoxes (the human-models package's TF.js graph, input padded to multiples of
// 128) is run: once per downsampling factor as BlazeFace is (2/3 runs the frame enlarged
// 1.5 times), all passes' boxes suppressed together in one DetectionOutput.
struct FaceBoxesOptions {
    std::vector<float> factors{1};
    float logitShift = 0.0f;    // added to every face logit (face minus background), as for BlazeFace
    float nmsThreshold = 0.3f;  // the graph's own suppression IoU
};
// FaceBoxes on the frame as it comes, its anchors generated for each pass's grids as the
// graph generates them, mapped onto DetectionOutput. Not shipped: an evaluation candidate.
IrGraph convertFaceBoxes(const WeightsDir& weights, int width, int height, const FaceBoxesOptions& options);
// Age as a probability row over years, P(female).
IrGraph convertAgeGender(const WeightsDir& weights);
// Seven expressions in the order neutral, anger, disgust, fear, happiness, sadness, surprise.
IrGraph convertEmotion(const WeightsDir& weights);
// The 68-point landmark network followed by linear yaw, pitch and roll read-outs.
IrGraph convertHeadpose(const WeightsDir& weights);
// P(happy) of the grey 64x64 emotion classifier.
IrGraph convertSmile(const WeightsDir& weights);
// P(mask) from the landmark network's face features and the fitted read-out (real/facemask.h).
IrGraph convertFacemask(const WeightsDir& weights);
// The REGULAR detector's second look: the same cells with the fitted read-out of
// real/face_verifier.h.
IrGraph convertFaceVerifier(const WeightsDir& weights);
// How CenterNet meets the stage's 640 x 480 blob: the size it runs at inside the network (the
// blob resized at the network's entry, both sides multiples of 32), hard-swish as one op and
// 5x5 depthwise convolutions as four 3x3 ones.
struct BodyDetectorOptions {
    int innerWidth = 640;
    int innerHeight = 480;
    bool fuseHardSwish = false;
    bool split5x5Depthwise = false;
    // Added to the person logit; at 640 x 480 this makes the caller's 0.7 keep what a raw 0.45 would.
    float logitShift = 1.0479686f;
};
// The "bodydetect" network shipped.
BodyDetectorOptions shippedBodyDetector();
// CenterNet person detector mapped onto DetectionOutput, scores calibrated for 0.7.
IrGraph convertBodyDetector(const WeightsDir& weights, const BodyDetectorOptions& options = shippedBodyDetector());
// The body appearance descriptor (real/body_encoder.h): 512 values per body crop.
IrGraph convertBodyEncoder(const WeightsDir& weights);
// The fixed opponent-colour grid it replaced, 512 values per body crop: kept to measure against.
IrGraph buildColourGridEncoder();

// TinyXception's last feature map ([1,512,7,7]) on the 112 x 112 input the face stages
// feed: the age/gender network before its pooling and heads.
Port ageGenderFeatureMap(IrGraph& g, const WeightsDir& weights, Port image);

// The 68-landmark network's maps after its second and third blocks on the 112 x 112 input
// the face stages feed: fine [1,64,28,28] and coarse [1,128,14,14].
struct LandmarkMaps {
    Port fine;
    Port coarse;
};
LandmarkMaps landmarkFeatureMaps(IrGraph& g, const WeightsDir& weights, Port image);

// The 68 landmarks alone ("landmarks", [1,136]: x0, y0, ... as fractions of the crop),
// the head-pose network without its read-outs.
IrGraph convertLandmarks(const WeightsDir& weights);

// A probability row over bins firstBin .. firstBin + bins - 1: a Gaussian of width sigma
// around value = features . v + v0, so that its expectation recovers the value inside the
// row. Built as a dense layer and a softmax named name.
Port gaussianRow(IrGraph& g, const std::string& name, Port features, const std::vector<float>& v, float v0, int bins,
                 int firstBin, float sigma);

// The age row: N bins, Gaussian of width sigma around the regressed age.
constexpr int AGE_BINS = 101;
constexpr float AGE_SIGMA = 3.0f;
// The head-pose rows: N bins for -N/2 .. N/2-1 degrees.
constexpr int ANGLE_BINS = 180;
constexpr float ANGLE_SIGMA = 4.0f;

}  // namespace lm::models::real
