#include "lumora/lm_settings.h"

namespace lm {

bool Settings::operator!=(const Settings& other) const {
    // The threshold first, as a float comparison: a NaN is never equal to anything.
    // networkType is left out on purpose.
    return !(faceConfidenceThreshold == other.faceConfidenceThreshold) ||
           neuralNetworksPath != other.neuralNetworksPath ||
           logLevel != other.logLevel ||
           dnnTarget != other.dnnTarget ||
           bodyTrackFps != other.bodyTrackFps ||
           faceTrackFps != other.faceTrackFps ||
           useAge != other.useAge ||
           useGender != other.useGender ||
           useHeadpose != other.useHeadpose ||
           useSmile != other.useSmile ||
           useFaceMask != other.useFaceMask ||
           useEmotions != other.useEmotions ||
           maxNumFaces != other.maxNumFaces ||
           minFaceSize != other.minFaceSize ||
           maxFaceSize != other.maxFaceSize ||
           detectionRange != other.detectionRange ||
           numThreads != other.numThreads;
}

bool Settings::operator==(const Settings& other) const { return !(*this != other); }

bool Settings::cpuTargetEnabled() const { return dnnTarget == CPU; }

bool Settings::gpuTargetEnabled() const { return dnnTarget != CPU; }

}  // namespace lm
