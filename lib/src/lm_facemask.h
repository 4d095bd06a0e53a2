#pragma once
// The probability that a face wears a mask: the third class of the mask network.

#include <atomic>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

class FaceMask : public ISettingsObserver {
public:
    FaceMask() = default;
    ~FaceMask() override = default;
    FaceMask(const FaceMask&) = delete;
    FaceMask& operator=(const FaceMask&) = delete;

    void onSettingsUpdate(const Settings& settings) override;
    // Writes `faceMask` (0..1) of each face large enough; switched off, touches nothing.
    void estimate(const cv::Mat& frame, std::vector<Person>& people);

    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
    std::vector<cv::Mat> mOutputs;
    std::atomic<bool> mUseFaceMask{false};
};

}  // namespace lm
