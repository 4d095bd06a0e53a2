#pragma once
// The interface through which the facade hands every accepted settings record to the
// components that depend on it (network stages, trackers). Each one decides itself what
// a change means for it, for example whether to reload its model.

#include "lumora/lm_settings.h"

namespace lm {

class ISettingsObserver {
public:
    virtual ~ISettingsObserver() = default;
    virtual void onSettingsUpdate(const lm::Settings& settings) = 0;
};

}  // namespace lm
