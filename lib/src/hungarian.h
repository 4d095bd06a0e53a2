#pragma once
// Linear assignment on a square int matrix by the Hungarian method (column reduction,
// row potentials, column increments and slack values, alternating-path augmentation),
// O(n^3). The object tracker is the only caller: it hands in a rectangular matrix of
// utilities and asks for the assignment that maximises their sum. The procedure is kept
// exactly as written because, among equally good assignments, it is its initial matching
// that decides which detection goes to which track, and so the order of new track ids.

namespace lm {

constexpr int HUNGARIAN_NOT_ASSIGNED = 0;
constexpr int HUNGARIAN_ASSIGNED = 1;

constexpr int HUNGARIAN_MODE_MINIMIZE_COST = 0;
constexpr int HUNGARIAN_MODE_MAXIMIZE_UTIL = 1;

struct hungarian_problem_t {
    int num_rows = 0;
    int num_cols = 0;
    int** cost = nullptr;        // the routine's own copy, padded to n x n with zeros
    int** assignment = nullptr;  // after solving: one 1 per row and per column
};

// Builds the n x n problem, n = max(rows, cols); the padding holds 0. In maximise mode the
// utilities become costs (largest entry, at least 0, minus each entry). Returns n, or -1
// when memory ran out (the record is then left empty and needs no free). Entries are
// expected to span a range whose n-fold multiple fits an int; the tracker's lie in 0..1000.
int hungarian_init(hungarian_problem_t* p, const int* const* matrix, int rows, int cols, int mode);

// Fills `assignment` and turns `cost` into the reduced costs. Returns 0 on success. On
// failure (memory ran out, or the optimality check of the result failed, which only
// arithmetic overflow can cause) returns -1 and leaves `assignment` all zero.
int hungarian_solve(hungarian_problem_t* p);

// Frees every row and both row tables; `cost` and `assignment` become null.
void hungarian_free(hungarian_problem_t* p);

int hungarian_imax(int a, int b);

// Diagnostics to standard error; nothing in the library calls them.
void hungarian_print_matrix(const int* const* matrix, int rows, int cols);
void hungarian_print_costmatrix(const hungarian_problem_t* p);
void hungarian_print_assignment(const hungarian_problem_t* p);
void hungarian_print_status(const hungarian_problem_t* p);

}  // namespace lm
