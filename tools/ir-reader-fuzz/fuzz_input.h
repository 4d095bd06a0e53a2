#pragma once
// One fuzz input holds a description and its weights, joined by a separator line.

#include <string_view>

namespace lmfuzz {

inline constexpr std::string_view SEPARATOR = "\n--lumora-weights--\n";

}  // namespace lmfuzz
