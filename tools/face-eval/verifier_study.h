#pragma once
// A second look at the face detector's candidates. Every box the shipped detector gives
// above a low floor is cropped as the estimators crop a face, its features are taken from
// the pretrained age/gender trunk (TinyXception's last map, pooled) or from the 68-landmark
// network's cells as the face-mask network reads them, and a logistic read-out of those
// features and the detector's own logit gives the final confidence.
//
// On the tuning part the read-out is fitted and measured by folds of whole scenes, so no
// candidate is scored by a read-out that saw its scene; on the held-out part the read-out
// is fitted on the whole tuning part and measured once.

#include <cstdio>
#include <string>
#include <vector>

#include "real/converters.h"
#include "scene_set.h"

namespace faceeval {

struct VerifierStudy {
    Sources sources;
    std::string labelsDir;
    lm::models::real::WeightsDir weights;
    std::string part = "tuning";  // "tuning" (folds) or "heldout" (fitted on all of tuning)
    float candidateFloor = 0.2f;  // the detector's reported score a candidate needs to be collected
    float secondLook = 0.2f;      // and to be looked at again (at least the floor)
    double targetFalsePerFrame = 0.05;
    std::string cacheDir;  // when set: the candidates of each part are kept there and reused
    // How the candidate is seen: the trunk's map pooled over the whole face ("mean"), its
    // halves or its quarters, or the landmark network's cells ("landmarks").
    std::string features = "halves";
    // The read-out corrects the detector's logit rather than weighs it.
    bool detectorOffset = false;
    // The one of least out-of-fold log loss is used.
    std::vector<double> penalties = {1.0, 10.0, 100.0, 1000.0};
    // When set: the labelled candidates of real photographs (photo_candidates.h) join the
    // fit, and those of the photographs kept apart are measured.
    std::string photoCandidates;
    // When set (held-out part only): the read-out fitted on the whole tuning part, as the
    // C++ source of the committed second look (real/face_verifier.h).
    std::string readoutSource;
};

void studyVerifier(const VerifierStudy& study, std::FILE* out);

// Every candidate of the shipped detector at the study's floor on Debian's photographs,
// written unjudged for labelling.
void harvestPhotoCandidates(const VerifierStudy& study, const std::string& path, std::FILE* out);

}  // namespace faceeval
