#pragma once
// The fixture of the face-estimator tests: one estimator on a private copy of the test
// networks, and networks of constant outputs that the test loads in their place.

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "lumora/lm_settings.h"
#include "support/stages.h"

namespace lmtest {

template <typename Estimator>
class FaceEstimatorTest : public ::testing::Test {
public:
    // The model the estimator loads and the side of the square it reads.
    FaceEstimatorTest(std::string base, int inputSide) : mBase(std::move(base)), mInputSide(inputSide) {}

    // Loads a network whose named outputs are these constants, from a directory of its own,
    // so that every call is a change of model; returns the settings that loaded it.
    lm::Settings useConstants(const std::vector<ConstantOutput>& outputs) {
        lm::Settings s = models.settings();
        s.neuralNetworksPath = models.freshDirectory();
        writeConstantNetwork(s.neuralNetworksPath, mBase, mInputSide, outputs);
        stage.onSettingsUpdate(s);
        return s;
    }

    ModelDir models;
    Estimator stage;
    const cv::Mat grey = colourFrame(128, 128, 128);

private:
    std::string mBase;
    int mInputSide;
};

}  // namespace lmtest
