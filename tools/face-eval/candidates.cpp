#include "candidates.h"

namespace faceeval {

namespace real = lm::models::real;

const std::vector<Candidate>& candidates() {
    static const std::vector<Candidate> list = {
        {"ssd-native", "SSD on the frame as it comes, anchors regenerated for the input size",
         [](const real::WeightsDir& w, int width, int height) {
             return real::convertFaceDetector(w, width, height, real::DetectorInput::Native);
         }},
        {"ssd-512", "SSD letterboxed to its trained 512 x 512 input inside the network, trained anchors",
         [](const real::WeightsDir& w, int width, int height) {
             return real::convertFaceDetector(w, width, height, real::DetectorInput::Letterbox512);
         }},
    };
    return list;
}

}  // namespace faceeval
