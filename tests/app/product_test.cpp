#include <gtest/gtest.h>

#include "hx_product.h"

TEST(Product, NameAndVersion) {
    EXPECT_EQ(hx::product::name(), "Lumora-Harbix");
    EXPECT_EQ(hx::product::version(), "2.0.0");
}
