#pragma once
// What the library's network stages share: where a model's two encrypted files lie.

#include <string>

#include "lumora/lm_settings.h"

namespace lm {

struct ModelFiles {
    std::string description;  // the encrypted IR XML
    std::string weights;      // the encrypted IR weights
};

// Plain concatenation, no normalisation: a directory ending in "/" gives "//", which
// the file system accepts.
ModelFiles modelFiles(const std::string& directory, const std::string& baseName,
                      Settings::NetworkType networkType);

}  // namespace lm
