#pragma once
// The body tracker: the object tracker with the body weights, which include the weight of
// the appearance similarity between a detection and a track's stored vectors.

#include "tracker.h"

namespace lm {

class BodyTracker : public ObjectTracker {
public:
    BodyTracker();
    ~BodyTracker() override = default;
};

}  // namespace lm
