#include "encoder.h"

#include <algorithm>
#include <cmath>

namespace lm {

float Encoder::similarity(const AppearanceVector& a, const AppearanceVector& b, float scale) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const float d = a[k] - b[k];
        sum = sum + d * d;
    }
    const float v = 1.0f - std::sqrt(sum) / scale;
    if (v < 0.0f) return 0.0f;
    return std::min(v, 1.0f);
}

}  // namespace lm
