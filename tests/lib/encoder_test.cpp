#include <gtest/gtest.h>

#include <cmath>

#include "encoder.h"

namespace {

constexpr float BODY_SCALE = 35.616783f;

lm::AppearanceVector filled(float value) {
    lm::AppearanceVector v;
    v.fill(value);
    return v;
}

TEST(EncoderSimilarity, FallsLinearlyWithDistanceAndIsClampedToZero) {
    const lm::AppearanceVector zero = filled(0.0f);
    struct Case {
        float distance;
        float expected;
    };
    for (const Case c : {Case{0.0f, 1.0f}, Case{17.8083915f, 0.5f}, Case{35.616783f, 0.0f}, Case{40.0f, 0.0f}}) {
        lm::AppearanceVector moved = zero;
        moved[7] = c.distance;
        EXPECT_FLOAT_EQ(lm::Encoder::similarity(zero, moved, BODY_SCALE), c.expected) << c.distance;
        EXPECT_FLOAT_EQ(lm::Encoder::similarity(moved, zero, BODY_SCALE), c.expected) << c.distance;
    }
    // The distance is over all 512 values: 512 differences of 0.5 are sqrt(128) apart.
    EXPECT_FLOAT_EQ(lm::Encoder::similarity(zero, filled(0.5f), BODY_SCALE), 1.0f - std::sqrt(128.0f) / BODY_SCALE);
}

TEST(EncoderSimilarity, IdenticalVectorsScoreOne) {
    lm::AppearanceVector v;
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = std::sin(static_cast<float>(i));
    EXPECT_EQ(lm::Encoder::similarity(v, v, BODY_SCALE), 1.0f);
}

TEST(EncoderSimilarity, NaNInputGivesNaN) {
    // The tracker relies on NaN never beating a real score; the function itself passes it on.
    lm::AppearanceVector bad = filled(0.0f);
    bad[3] = std::nanf("");
    EXPECT_TRUE(std::isnan(lm::Encoder::similarity(bad, filled(0.0f), BODY_SCALE)));
}

}  // namespace
