#pragma once
// A small INI reader and writer. A file is a map from section name to a map from key to
// value; key lines before the first header belong to the section with the empty name.
// Both maps are ordered byte by byte, which is also the order a file is written in.

#include <map>
#include <string>

#include "lumora/lm_export.h"

namespace lm::ini {

using Section = std::map<std::string, std::string>;
using Sections = std::map<std::string, Section>;

// Throws std::runtime_error "Error opening ini file: <path>" or "Error parsing ini file.
// Offending line: <line>".
LUMORA_EXPORT Sections readFromFile(const std::string& path);
// Throws std::runtime_error "Error opening ini file: <path>", or "Error writing ini file:
// <path>" when the file could not be written completely.
LUMORA_EXPORT void writeToFile(const Sections& sections, const std::string& path);
// Copies the value into `value` and returns true when the section holds the key;
// otherwise returns false and leaves `value` alone.
LUMORA_EXPORT bool getValue(const Sections& sections, const std::string& section, const std::string& key,
                            std::string& value);

// One line classified; exposed for tests.
struct Line {
    enum Kind { BLANK_OR_COMMENT, SECTION, KEY, INVALID };
    Kind kind = INVALID;
    std::string name;   // section name or key
    std::string value;  // key lines only
};
Line parseLine(const std::string& line);

}  // namespace lm::ini
