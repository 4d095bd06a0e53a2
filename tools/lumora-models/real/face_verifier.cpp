#include "real/face_verifier.h"

namespace lm::models::real {

IrGraph convertFaceVerifier(const WeightsDir& weights) {
    return convertCellReadout(weights, fittedVerifierReadout(), "faceverify", VERIFIER_OUTPUT);
}

}  // namespace lm::models::real
