#pragma once
// The library's own identity.
#include <string>

namespace lm::product {

std::string version();

}  // namespace lm::product
