#pragma once
// The smile probability of every face.

#include <atomic>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

class Smile : public ISettingsObserver {
public:
    Smile() = default;
    ~Smile() override = default;
    Smile(const Smile&) = delete;
    Smile& operator=(const Smile&) = delete;

    void onSettingsUpdate(const Settings& settings) override;
    // Writes `smile` (0..1) of each face large enough; switched off, touches nothing.
    void estimate(const cv::Mat& frame, std::vector<Person>& people);

    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
    std::vector<cv::Mat> mOutputs;
    std::atomic<bool> mUseSmile{false};
};

}  // namespace lm
