#pragma once
// Age and gender of every face from one network with two heads. Either head can be
// switched off; the network is asked only for the heads switched on, and a change of
// either switch reloads the model.

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

class AgeGender : public ISettingsObserver {
public:
    AgeGender() = default;
    ~AgeGender() override = default;
    AgeGender(const AgeGender&) = delete;
    AgeGender& operator=(const AgeGender&) = delete;

    void onSettingsUpdate(const Settings& settings) override;
    // Writes `age` (0..101) and `gender` (-1..1, positive female) of each face large enough.
    void estimate(const cv::Mat& frame, std::vector<Person>& people);

    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
    std::vector<std::string> mOutputNames;
    std::vector<cv::Mat> mOutputs;
    std::atomic<bool> mUseAge{false};
    std::atomic<bool> mUseGender{false};
};

}  // namespace lm
