#pragma once
// The body tracker: the object tracker with the body weights, which include the weight of
// the appearance similarity between a detection and a track's stored vectors.

#include <cstdint>

#include "tracker.h"

namespace lm {

class BodyTracker : public ObjectTracker {
public:
    BodyTracker();
    ~BodyTracker() override = default;

    void onSettingsUpdate(const Settings& settings) override;

protected:
    void checkFPS(int rate) override;
    void tuneWeights() override;

private:
    std::int32_t networkType = Settings::NORMAL;
};

}  // namespace lm
