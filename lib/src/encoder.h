#pragma once
// What every appearance encoder shares: comparing two appearance vectors.

#include <array>

namespace lm {

using AppearanceVector = std::array<float, 512>;

class Encoder {
public:
    // 1 for identical vectors, falling linearly with their Euclidean distance to 0 at
    // `scale` and beyond. Single precision throughout, summed in index order.
    static float similarity(const AppearanceVector& a, const AppearanceVector& b, float scale);
};

}  // namespace lm
