#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <numeric>
#include <random>
#include <vector>

#include "hungarian.h"

namespace {

// A matrix with row pointers, as the routine takes it.
struct Matrix {
    Matrix(int rowCount, int columnCount)
        : rows(rowCount), cols(columnCount), data(static_cast<size_t>(rowCount * columnCount)) {
        for (int i = 0; i < rows; ++i) rowPtrs.push_back(data.data() + i * cols);
    }
    Matrix(std::initializer_list<std::vector<int>> init)
        : Matrix(static_cast<int>(init.size()), static_cast<int>(init.begin()->size())) {
        int i = 0;
        for (const auto& row : init) std::copy(row.begin(), row.end(), rowPtrs[i++]);
    }
    int rows;
    int cols;
    std::vector<int> data;
    std::vector<int*> rowPtrs;
    int** ptr() { return rowPtrs.data(); }
};

// Solves and returns, per row of the square problem, the assigned column.
std::vector<int> solve(Matrix& m, int mode, int* nOut = nullptr) {
    lm::hungarian_problem_t p;
    const int n = lm::hungarian_init(&p, m.ptr(), m.rows, m.cols, mode);
    if (nOut) *nOut = n;
    EXPECT_EQ(lm::hungarian_solve(&p), 0);
    std::vector<int> columnOfRow(static_cast<size_t>(n), -1);
    std::vector<int> perColumn(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i) {
        int perRow = 0;
        for (int j = 0; j < n; ++j) {
            if (p.assignment[i][j] == lm::HUNGARIAN_ASSIGNED) {
                columnOfRow[i] = j;
                ++perRow;
                ++perColumn[j];
            }
        }
        EXPECT_EQ(perRow, 1) << "row " << i;
    }
    for (int j = 0; j < n; ++j) EXPECT_EQ(perColumn[j], 1) << "column " << j;
    lm::hungarian_free(&p);
    EXPECT_EQ(p.cost, nullptr);
    EXPECT_EQ(p.assignment, nullptr);
    return columnOfRow;
}

int total(const Matrix& m, const std::vector<int>& columnOfRow) {
    int sum = 0;
    for (int i = 0; i < m.rows; ++i)
        if (columnOfRow[i] < m.cols) sum += m.rowPtrs[i][columnOfRow[i]];
    return sum;
}

// Best total over every permutation, on the zero-padded square problem.
int bruteForce(const Matrix& m, bool maximise) {
    const int n = std::max(m.rows, m.cols);
    std::vector<int> perm(static_cast<size_t>(n));
    std::iota(perm.begin(), perm.end(), 0);
    int best = maximise ? INT_MIN : INT_MAX;
    do {
        const int sum = total(m, perm);
        best = maximise ? std::max(best, sum) : std::min(best, sum);
    } while (std::next_permutation(perm.begin(), perm.end()));
    return best;
}

TEST(Hungarian, MaximisesTheRectangularExampleAndPadsWithAZeroRow) {
    Matrix m{{900, 100, 0}, {800, 700, 0}};
    int n = 0;
    const auto columns = solve(m, lm::HUNGARIAN_MODE_MAXIMIZE_UTIL, &n);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(columns, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(total(m, columns), 1600);
}

TEST(Hungarian, TiesGoToTheLowestFreeColumnRowByRow) {
    Matrix zeros(4, 4);
    EXPECT_EQ(solve(zeros, lm::HUNGARIAN_MODE_MAXIMIZE_UTIL), (std::vector<int>{0, 1, 2, 3}));

    // Rows 0 and 1 are indifferent between columns 0 and 1: the initial matching gives
    // row 0 the first and row 1 the second, although the swap is just as good.
    Matrix tie{{5, 5, 0}, {5, 5, 0}, {0, 0, 5}};
    EXPECT_EQ(solve(tie, lm::HUNGARIAN_MODE_MAXIMIZE_UTIL), (std::vector<int>{0, 1, 2}));

    // Minimising: row 1 prefers column 0, which row 0 took first at an equal cost, so row 1
    // must move; the cheaper total decides.
    Matrix cost{{1, 1, 9}, {1, 5, 9}, {9, 9, 1}};
    const auto columns = solve(cost, lm::HUNGARIAN_MODE_MINIMIZE_COST);
    EXPECT_EQ(columns, (std::vector<int>{1, 0, 2}));
}

TEST(Hungarian, EmptyDimensionsPadToTheOtherSide) {
    struct Case {
        int rows;
        int cols;
        int n;
    };
    for (const Case c : {Case{0, 0, 0}, Case{0, 3, 3}, Case{3, 0, 3}}) {
        Matrix m(c.rows, c.cols);
        lm::hungarian_problem_t p;
        ASSERT_EQ(lm::hungarian_init(&p, m.ptr(), c.rows, c.cols, lm::HUNGARIAN_MODE_MAXIMIZE_UTIL), c.n);
        EXPECT_EQ(p.num_rows, c.n);
        EXPECT_EQ(p.num_cols, c.n);
        EXPECT_EQ(lm::hungarian_solve(&p), 0);
        for (int i = 0; i < c.n; ++i) EXPECT_EQ(p.assignment[i][i], 1);  // all-zero costs
        lm::hungarian_free(&p);
    }
}

TEST(Hungarian, MatchesBruteForceOnRandomMatrices) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> size(1, 7);
    for (int round = 0; round < 400; ++round) {
        const int rows = size(rng);
        const int cols = size(rng);
        // Small value ranges make many ties, large ones many distinct optima.
        std::uniform_int_distribution<int> value(round % 2 ? 0 : -50, round % 3 ? 1000 : 3);
        Matrix m(rows, cols);
        for (int& v : m.data) v = value(rng);
        for (const int mode : {lm::HUNGARIAN_MODE_MAXIMIZE_UTIL, lm::HUNGARIAN_MODE_MINIMIZE_COST}) {
            const auto columns = solve(m, mode);
            EXPECT_EQ(total(m, columns), bruteForce(m, mode == lm::HUNGARIAN_MODE_MAXIMIZE_UTIL))
                << "round " << round << " mode " << mode << " size " << rows << "x" << cols;
        }
    }
}

TEST(Hungarian, UnknownModeMinimisesAndTheInputStaysUntouched) {
    Matrix m{{4, 1}, {1, 4}};
    const std::vector<int> before = m.data;
    EXPECT_EQ(solve(m, 7), (std::vector<int>{1, 0}));
    EXPECT_EQ(m.data, before);
}

TEST(Hungarian, LeavesTheReducedCostsNonNegativeAndZeroOnTheAssignment) {
    Matrix m{{7, 3, 9}, {2, 8, 4}, {6, 5, 1}};
    lm::hungarian_problem_t p;
    ASSERT_EQ(lm::hungarian_init(&p, m.ptr(), 3, 3, lm::HUNGARIAN_MODE_MINIMIZE_COST), 3);
    ASSERT_EQ(lm::hungarian_solve(&p), 0);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            EXPECT_GE(p.cost[i][j], 0);
            if (p.assignment[i][j]) {
                EXPECT_EQ(p.cost[i][j], 0);
            }
        }
    lm::hungarian_free(&p);
}

}  // namespace
