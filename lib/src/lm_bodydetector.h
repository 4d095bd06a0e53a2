#pragma once
// The body detector: the bodies of a frame as detections for the body tracker, largest
// box first, with a fixed confidence threshold and no size or count limit.

#include <mutex>
#include <optional>
#include <vector>

#include <opencv2/dnn.hpp>

#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

class BodyDetector : public ISettingsObserver {
public:
    BodyDetector() = default;
    ~BodyDetector() override = default;
    BodyDetector(const BodyDetector&) = delete;
    BodyDetector& operator=(const BodyDetector&) = delete;

    void onSettingsUpdate(const Settings& settings) override;
    std::vector<Detection> detect(const cv::Mat& frame);

    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
    std::optional<cv::dnn::DetectionModel> mDetector;  // none until the first load
};

}  // namespace lm
