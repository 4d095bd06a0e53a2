#include "hx_product.h"

namespace hx::product {

std::string name() { return "Lumora-Harbix"; }
std::string version() { return "2.0.0"; }

}  // namespace hx::product
