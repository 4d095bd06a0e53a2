#pragma once
// Whole-file reading and writing, file size, remove and rename. Strings carry arbitrary
// bytes; failures throw std::runtime_error with the path appended.

#include <cstdint>
#include <string>

#include "lumora/lm_export.h"

namespace lm::fs {

LUMORA_EXPORT std::string readFile(const std::string& path);
LUMORA_EXPORT void writeFile(const std::string& path, const std::string& data);
LUMORA_EXPORT std::int64_t getFileSize(const std::string& path);
LUMORA_EXPORT bool removeFile(const std::string& path);
LUMORA_EXPORT bool renameFile(const std::string& source, const std::string& target);
// Moves the source to the target; when that fails the source is removed and false returned.
LUMORA_EXPORT bool renameOrRemoveFile(const std::string& source, const std::string& target);

}  // namespace lm::fs
