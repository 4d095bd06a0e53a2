#pragma once
// The body encoder: a 512-value appearance vector per detected body, from the image
// inside its box, for the body tracker's appearance term (see lm::Encoder::similarity).

#include <mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "encoder.h"
#include "lm_network.h"
#include "lm_settings_observer.h"
#include "lumora/lm_records.h"

namespace lm {

class BodyEncoder : public ISettingsObserver, public Encoder {
public:
    BodyEncoder() = default;
    ~BodyEncoder() override = default;
    BodyEncoder(const BodyEncoder&) = delete;
    BodyEncoder& operator=(const BodyEncoder&) = delete;

    void onSettingsUpdate(const Settings& settings) override;
    // One vector per detection, in their order: one pass over them all when the network
    // takes a batch, else one pass per body (StageModel::forwardEach; the shipped network
    // does not). Throws std::runtime_error when the network does not give exactly 512
    // values per body; then nothing is returned.
    std::vector<AppearanceVector> encodeBodies(const cv::Mat& frame, const std::vector<Detection>& detections);

    int preferableTarget() const;

private:
    void loadNetwork(const Settings& settings);

    mutable std::mutex mMutex;
    StageModel mModel;
};

}  // namespace lm
