#pragma once
// Seven emotion scores of every face, in the order neutral, anger, disgust, fear,
// happiness, sadness, surprise, as the network gives them.

#include <atomic>
#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

// Named with a suffix: lm::Emotions is already the records' seven-score array.
class EmotionsEstimator : public ISettingsObserver {
public:
    EmotionsEstimator() = default;
    ~EmotionsEstimator() override = default;
    EmotionsEstimator(const EmotionsEstimator&) = delete;
    EmotionsEstimator& operator=(const EmotionsEstimator&) = delete;

    void onSettingsUpdate(const Settings& settings) override;
    // Writes the seven `emotions` (0..1 each) of each face large enough; switched off, touches nothing.
    void estimate(const cv::Mat& frame, std::vector<Person>& people);

    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
    std::vector<cv::Mat> mOutputs;
    std::atomic<bool> mUseEmotions{false};
};

}  // namespace lm
