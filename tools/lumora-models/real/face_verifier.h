#pragma once
// The second look at the face detector's boxes ("faceverify", fitted at REGULAR and used at
// both ranges): each box cropped as the estimators crop a face, the face-mask network's
// landmark cells, and a logistic read-out fitted (`face-eval verify --write-readout`) on the
// detector's candidates of the labelled face scenes and of real photographs. Its output
// (1 - p, 0, p) corrects the detector: a box's confidence becomes
// sigmoid(logit(detector's) + logit(p)).

#include "real/converters.h"
#include "real/facemask.h"

namespace lm::models::real {

const char* const VERIFIER_OUTPUT = "model/face/Softmax";

// The committed read-out (face_verifier_readout.cpp).
const CellReadout& fittedVerifierReadout();

}  // namespace lm::models::real
