#pragma once
// The program's own identity, shown at start-up and by the "/" endpoint.
#include <string>

namespace hx::product {

std::string name();
std::string version();

}  // namespace hx::product
