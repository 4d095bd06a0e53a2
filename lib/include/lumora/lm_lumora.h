#pragma once
// The analysis library's facade.

#include <string>

#include "lumora/lm_export.h"
#include "lumora/lm_records.h"
#include "lumora/lm_settings.h"

namespace lm {

// The library's version, "3.0.0".
LUMORA_EXPORT std::string getVersion();

}  // namespace lm
