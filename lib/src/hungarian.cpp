#include "hungarian.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace lm {

namespace {

constexpr int INF = INT_MAX;

// calloc that reports a failure with the caller's name and the line of the allocation.
#define HUNGARIAN_CALLOC(ptr, count, type, routine)                                                       \
    do {                                                                                                  \
        (ptr) = static_cast<type*>(std::calloc(static_cast<std::size_t>(count), sizeof(type)));           \
        if ((ptr) == nullptr) {                                                                           \
            std::fprintf(stderr, "Out of memory in %s, (%s, line %d).\n", (routine), __FILE__, __LINE__); \
        }                                                                                                 \
    } while (0)

void freeRows(int** rows, int count) {
    if (rows == nullptr) return;
    for (int i = 0; i < count; ++i) std::free(rows[i]);
    std::free(rows);
}

// The solver's working arrays; all of them are zero-filled.
struct Workspace {
    int* row_match = nullptr;         // column matched to each row, -1 when none
    int* row_queue = nullptr;         // rows of the current search forest
    int* row_potential = nullptr;     // row reductions
    int* slack_source_row = nullptr;  // row that produced each column's slack
    int* col_owner = nullptr;         // row matched to each column, -1 when none
    int* col_parent = nullptr;        // row from which the forest reached each column
    int* col_potential = nullptr;     // column increments
    int* col_slack = nullptr;         // smallest reduced cost into each column

    bool allocate(int m, int n) {
        HUNGARIAN_CALLOC(row_match, m, int, "hungarian_solve");
        if (!row_match) return false;
        HUNGARIAN_CALLOC(row_queue, m, int, "hungarian_solve");
        if (!row_queue) return false;
        HUNGARIAN_CALLOC(row_potential, m, int, "hungarian_solve");
        if (!row_potential) return false;
        HUNGARIAN_CALLOC(slack_source_row, m, int, "hungarian_solve");
        if (!slack_source_row) return false;
        HUNGARIAN_CALLOC(col_owner, n, int, "hungarian_solve");
        if (!col_owner) return false;
        HUNGARIAN_CALLOC(col_parent, n, int, "hungarian_solve");
        if (!col_parent) return false;
        HUNGARIAN_CALLOC(col_potential, n, int, "hungarian_solve");
        if (!col_potential) return false;
        HUNGARIAN_CALLOC(col_slack, n, int, "hungarian_solve");
        return col_slack != nullptr;
    }

    ~Workspace() {
        std::free(row_match);
        std::free(row_queue);
        std::free(row_potential);
        std::free(slack_source_row);
        std::free(col_owner);
        std::free(col_parent);
        std::free(col_potential);
        std::free(col_slack);
    }
};

// Checks the dual solution: no reduced cost below zero, every row matched on a zero, and
// no more non-zero column increments than rows. Holds whenever no int overflowed.
bool verify(int** cost, const Workspace& w, int m, int n) {
    for (int k = 0; k < m; ++k)
        for (int l = 0; l < n; ++l)
            if (cost[k][l] < w.row_potential[k] - w.col_potential[l]) return false;
    for (int k = 0; k < m; ++k) {
        const int l = w.row_match[k];
        if (l < 0 || cost[k][l] != w.row_potential[k] - w.col_potential[l]) return false;
    }
    int nonZero = 0;
    for (int l = 0; l < n; ++l)
        if (w.col_potential[l] != 0) ++nonZero;
    return nonZero <= m;
}

// Subtracts each column's minimum so that the initial matching finds many zeros.
void reduceColumns(int** cost, int m, int n) {
    for (int l = 0; l < n; ++l) {
        int s = cost[0][l];
        for (int k = 1; k < m; ++k)
            if (cost[k][l] < s) s = cost[k][l];
        if (s != 0)
            for (int k = 0; k < m; ++k) cost[k][l] -= s;
    }
}

// Greedy start: each row, in order, takes the lowest free column at its minimum.
// Returns the number of rows left unmatched, which are queued in row_queue.
int matchInitially(int** cost, Workspace& w, int m, int n) {
    for (int l = 0; l < n; ++l) {
        w.col_owner[l] = -1;
        w.col_parent[l] = -1;
        w.col_potential[l] = 0;
        w.col_slack[l] = INF;
    }
    int t = 0;
    for (int k = 0; k < m; ++k) {
        int s = cost[k][0];
        for (int l = 1; l < n; ++l)
            if (cost[k][l] < s) s = cost[k][l];
        w.row_potential[k] = s;
        w.row_match[k] = -1;
        for (int l = 0; l < n; ++l) {
            if (cost[k][l] == s && w.col_owner[l] < 0) {
                w.row_match[k] = l;
                w.col_owner[l] = k;
                break;
            }
        }
        if (w.row_match[k] < 0) w.row_queue[t++] = k;
    }
    return t;
}

// Grows the search forest from the queued rows until a zero reaches a free column; returns
// that column's row and column in (k, l).
void searchAugmentingPath(int** cost, Workspace& w, int n, int& t, int& k, int& l) {
    int q = 0;
    for (;;) {
        // Explore the rows not yet explored.
        while (q < t) {
            k = w.row_queue[q];
            const int s = w.row_potential[k];
            for (l = 0; l < n; ++l) {
                if (w.col_slack[l] == 0) continue;
                const int del = cost[k][l] - s + w.col_potential[l];
                if (del >= w.col_slack[l]) continue;
                if (del == 0) {
                    if (w.col_owner[l] < 0) return;
                    w.col_slack[l] = 0;
                    w.col_parent[l] = k;
                    w.row_queue[t++] = w.col_owner[l];
                } else {
                    w.col_slack[l] = del;
                    w.slack_source_row[l] = k;
                }
            }
            ++q;
        }

        // Introduce a new zero: lower every uncovered slack by the smallest one.
        int s = INF;
        for (int c = 0; c < n; ++c)
            if (w.col_slack[c] != 0 && w.col_slack[c] < s) s = w.col_slack[c];
        for (q = 0; q < t; ++q) w.row_potential[w.row_queue[q]] += s;

        for (l = 0; l < n; ++l) {
            if (w.col_slack[l] == 0) {
                w.col_potential[l] += s;
                continue;
            }
            w.col_slack[l] -= s;
            if (w.col_slack[l] != 0) continue;
            k = w.slack_source_row[l];
            if (w.col_owner[l] < 0) {
                for (int j = l + 1; j < n; ++j)
                    if (w.col_slack[j] == 0) w.col_potential[j] += s;
                return;
            }
            w.col_parent[l] = k;
            w.row_queue[t++] = w.col_owner[l];
        }
    }
}

// Flips the matching along the path that ends at the free column l.
void augment(Workspace& w, int k, int l) {
    for (;;) {
        const int j = w.row_match[k];
        w.row_match[k] = l;
        w.col_owner[l] = k;
        if (j < 0) break;
        k = w.col_parent[j];
        l = j;
    }
}

void clearAssignment(hungarian_problem_t* p) {
    for (int i = 0; i < p->num_rows; ++i)
        for (int j = 0; j < p->num_cols; ++j) p->assignment[i][j] = HUNGARIAN_NOT_ASSIGNED;
}

}  // namespace

int hungarian_imax(int a, int b) { return a < b ? b : a; }

int hungarian_init(hungarian_problem_t* p, const int* const* matrix, int rows, int cols, int mode) {
    const int n = hungarian_imax(cols, rows);
    p->num_rows = 0;
    p->num_cols = 0;
    p->cost = nullptr;
    p->assignment = nullptr;
    if (n <= 0) return 0;

    int** cost = nullptr;
    int** assignment = nullptr;
    HUNGARIAN_CALLOC(cost, n, int*, "hungarian_init");
    if (cost) HUNGARIAN_CALLOC(assignment, n, int*, "hungarian_init");
    if (!cost || !assignment) {
        std::free(cost);
        return -1;
    }
    // The row tables are zero-filled, so a partly built problem frees like a whole one.
    for (int i = 0; i < n; ++i) {
        HUNGARIAN_CALLOC(cost[i], n, int, "hungarian_init");
        if (cost[i]) HUNGARIAN_CALLOC(assignment[i], n, int, "hungarian_init");
        if (!cost[i] || !assignment[i]) {
            freeRows(cost, n);
            freeRows(assignment, n);
            return -1;
        }
    }

    int maximum = 0;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            cost[i][j] = (i < rows && j < cols) ? matrix[i][j] : 0;
            assignment[i][j] = HUNGARIAN_NOT_ASSIGNED;
            if (cost[i][j] > maximum) maximum = cost[i][j];
        }
    }

    if (mode == HUNGARIAN_MODE_MAXIMIZE_UTIL) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) cost[i][j] = maximum - cost[i][j];
    } else if (mode != HUNGARIAN_MODE_MINIMIZE_COST) {
        std::fprintf(stderr, "%s: unknown mode. Mode was set to HUNGARIAN_MODE_MINIMIZE_COST !\n", "hungarian_init");
    }

    p->num_rows = n;
    p->num_cols = n;
    p->cost = cost;
    p->assignment = assignment;
    return n;
}

int hungarian_solve(hungarian_problem_t* p) {
    const int m = p->num_rows;
    const int n = p->num_cols;
    if (m <= 0 || n <= 0) return 0;
    clearAssignment(p);

    Workspace w;
    if (!w.allocate(m, n)) return -1;

    int** cost = p->cost;
    reduceColumns(cost, m, n);
    int t = matchInitially(cost, w, m, n);

    int unmatched = t;
    while (unmatched > 0) {
        int k = 0;
        int l = 0;
        searchAugmentingPath(cost, w, n, t, k, l);
        augment(w, k, l);
        if (--unmatched == 0) break;

        // Next stage: a fresh forest from the rows still unmatched.
        for (int c = 0; c < n; ++c) {
            w.col_parent[c] = -1;
            w.col_slack[c] = INF;
        }
        t = 0;
        for (int r = 0; r < m; ++r)
            if (w.row_match[r] < 0) w.row_queue[t++] = r;
    }

    if (!verify(cost, w, m, n)) return -1;

    for (int k = 0; k < m; ++k) p->assignment[k][w.row_match[k]] = HUNGARIAN_ASSIGNED;
    for (int k = 0; k < m; ++k)
        for (int l = 0; l < n; ++l) cost[k][l] = cost[k][l] - w.row_potential[k] + w.col_potential[l];
    return 0;
}

void hungarian_free(hungarian_problem_t* p) {
    freeRows(p->cost, p->num_rows);
    freeRows(p->assignment, p->num_rows);
    p->cost = nullptr;
    p->assignment = nullptr;
}

void hungarian_print_matrix(const int* const* matrix, int rows, int cols) {
    std::fprintf(stderr, "\n");
    for (int i = 0; i < rows; ++i) {
        std::fprintf(stderr, " [");
        for (int j = 0; j < cols; ++j) std::fprintf(stderr, "%5d ", matrix[i][j]);
        std::fprintf(stderr, "]\n");
    }
    std::fprintf(stderr, "\n");
}

void hungarian_print_costmatrix(const hungarian_problem_t* p) {
    hungarian_print_matrix(p->cost, p->num_rows, p->num_cols);
}

void hungarian_print_assignment(const hungarian_problem_t* p) {
    hungarian_print_matrix(p->assignment, p->num_rows, p->num_cols);
}

void hungarian_print_status(const hungarian_problem_t* p) {
    std::fprintf(stderr, "cost:\n");
    hungarian_print_costmatrix(p);
    std::fprintf(stderr, "assignment:\n");
    hungarian_print_assignment(p);
}

}  // namespace lm
