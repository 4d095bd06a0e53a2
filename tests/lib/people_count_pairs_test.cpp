// The pair scoring of the body descriptor: ROC AUC, shares above a threshold, the split of
// walkers and the fitted statistics and length.

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "pair_scoring.h"

namespace {

using people_count::PairScores;

TEST(PeopleCountPairs, RocAucCountsWinsAndHalfTies) {
    const struct {
        const char* name;
        PairScores scores;
        double auc;
    } cases[] = {
        {"apart", {{0.9f, 0.8f}, {0.1f, 0.2f, 0.3f}}, 1.0},
        {"reversed", {{0.1f}, {0.5f, 0.6f}}, 0.0},
        {"all tied", {{0.5f, 0.5f}, {0.5f}}, 0.5},
        // 0.6 beats 0.2 and 0.4 and ties 0.6; 0.3 beats 0.2 only: (2.5 + 1) / 6.
        {"mixed", {{0.6f, 0.3f}, {0.2f, 0.4f, 0.6f}}, 3.5 / 6.0},
        {"no different pairs", {{0.9f}, {}}, 0.5},
        {"no same pairs", {{}, {0.1f}}, 0.5},
    };
    for (const auto& c : cases) EXPECT_DOUBLE_EQ(people_count::rocAuc(c.scores), c.auc) << c.name;
}

TEST(PeopleCountPairs, ShareCountsValuesAtTheThreshold) {
    const std::vector<float> values = {0.2f, 0.7f, 0.7f, 0.9f};
    EXPECT_DOUBLE_EQ(people_count::shareAtOrAbove(values, 0.7f), 0.75);  // the tracker matches at >=
    EXPECT_DOUBLE_EQ(people_count::shareAtOrAbove(values, 0.95f), 0.0);
    EXPECT_DOUBLE_EQ(people_count::shareAtOrAbove({}, 0.5f), 0.0);
}

TEST(PeopleCountPairs, PairsAreSplitByWalkerAndKeptWalkersOnly) {
    // Crops of walkers 1, 1, 2, 3, 2; the similarity names the pair as 10 i + j.
    const std::vector<int> walkers = {1, 1, 2, 3, 2};
    const auto pairName = [](std::size_t i, std::size_t j) { return static_cast<float>(10 * i + j); };
    const PairScores all = people_count::scorePairs(
        walkers, [](int) { return true; }, pairName);
    EXPECT_EQ(all.same, (std::vector<float>{1.0f, 24.0f}));
    EXPECT_EQ(all.different.size(), 8u);
    const PairScores even = people_count::scorePairs(
        walkers, [](int w) { return w == 2; }, pairName);
    EXPECT_EQ(even.same, (std::vector<float>{24.0f}));
    EXPECT_TRUE(even.different.empty());
}

TEST(PeopleCountPairs, WalkerSplitKeepsMeasuringApartFromFitting) {
    for (int walker = 1; walker <= 12; ++walker) {
        const bool fitting = people_count::isFittingWalker(walker);
        EXPECT_EQ(fitting, walker % 2 == 1) << walker;
        // Each fitting walker either fits the statistics or calibrates, never both.
        EXPECT_EQ(people_count::isStatisticsWalker(walker) + people_count::isCalibratingWalker(walker), fitting ? 1 : 0)
            << walker;
    }
    EXPECT_TRUE(people_count::isStatisticsWalker(1));
    EXPECT_FALSE(people_count::isStatisticsWalker(3));
}

float trackerSimilarity(float length, float cosine) {
    return 1.0f - length * std::sqrt(2.0f - 2.0f * cosine) / people_count::BODY_SIMILARITY_SCALE;
}

TEST(PeopleCountPairs, LengthKeepsTheFalseMatchShareUnderTheThreshold) {
    // Twenty different-walker cosines 0.00, 0.05, ..., 0.95.
    std::vector<float> cosines;
    for (int i = 0; i < 20; ++i) cosines.push_back(0.05f * static_cast<float>(i));
    const float threshold = 0.46f;
    for (const double share : {0.05, 0.25}) {
        const float length = people_count::lengthForFalseMatchShare(cosines, threshold, share);
        std::vector<float> similarities;
        for (const float c : cosines) similarities.push_back(trackerSimilarity(length, c));
        EXPECT_DOUBLE_EQ(people_count::shareAtOrAbove(similarities, threshold), share) << share;
    }
    EXPECT_THROW(people_count::lengthForFalseMatchShare({}, threshold, 0.05), std::invalid_argument);
    EXPECT_THROW(people_count::lengthForFalseMatchShare(cosines, threshold, 1.0), std::invalid_argument);
}

TEST(PeopleCountPairs, StatisticsPerColumnWithAFloorForDeadColumns) {
    // Column 0 varies (mean 2, deviation 1), column 1 is dead (always 5).
    const people_count::ColumnStatistics s = people_count::columnStatistics({{1.0f, 5.0f}, {3.0f, 5.0f}}, 0.1f);
    EXPECT_FLOAT_EQ(s.mean[0], 2.0f);
    EXPECT_FLOAT_EQ(s.mean[1], 5.0f);
    EXPECT_FLOAT_EQ(s.deviation[0], 1.0f);
    EXPECT_FLOAT_EQ(s.deviation[1], 0.05f);  // a tenth of the mean deviation 0.5
    EXPECT_THROW(people_count::columnStatistics({}, 0.1f), std::invalid_argument);
    EXPECT_THROW(people_count::columnStatistics({{1.0f}, {1.0f, 2.0f}}, 0.1f), std::invalid_argument);
}

TEST(PeopleCountPairs, WhiteningShrinksTheDirectionsInWhichOnePersonVaries) {
    // Two persons, each varying along x only: the whitening must shrink x against y.
    const std::vector<std::vector<float>> rows = {{-1.0f, 0.0f}, {1.0f, 0.0f}, {-1.0f, 3.0f}, {1.0f, 3.0f}};
    const std::vector<int> persons = {1, 1, 2, 2};
    const std::vector<float> w = people_count::withinPersonWhitening(rows, persons, 0.5);
    ASSERT_EQ(w.size(), 4u);
    // Scatter diag(1, 0), average eigenvalue 0.5: gains 1/sqrt(0.75) along x, 1/sqrt(0.25) along y.
    EXPECT_NEAR(w[0], 1.0 / std::sqrt(0.75), 1e-6);
    EXPECT_NEAR(w[3], 2.0, 1e-6);
    EXPECT_NEAR(w[1], 0.0, 1e-6);
    EXPECT_NEAR(w[2], 0.0, 1e-6);
    // A full shrink keeps every direction alike.
    const std::vector<float> plain = people_count::withinPersonWhitening(rows, persons, 1.0);
    EXPECT_NEAR(plain[0], plain[3], 1e-6);

    EXPECT_THROW(people_count::withinPersonWhitening(rows, persons, 0.0), std::invalid_argument);
    EXPECT_THROW(people_count::withinPersonWhitening(rows, {1, 1}, 0.5), std::invalid_argument);
    // One crop per person: nothing varies within a person.
    EXPECT_THROW(people_count::withinPersonWhitening({{1.0f, 0.0f}, {0.0f, 1.0f}}, {1, 2}, 0.5), std::invalid_argument);
}

}  // namespace
