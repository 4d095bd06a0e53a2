#include "product.h"

namespace lm::product {

std::string version() { return "3.0.0"; }

}  // namespace lm::product
