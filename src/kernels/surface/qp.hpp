// A dense strictly convex quadratic programme by the dual active-set method of
// Goldfarb & Idnani (1983), "A numerically stable dual method for solving strictly
// convex quadratic programs", Math. Programming 27: minimise 1/2 x'Gx + g'x subject
// to E x = e and C x >= c. It starts from the unconstrained minimum and adds the
// most violated constraint at a time, dropping active ones whose multiplier would
// turn negative; J = L^-T Q and the upper-triangular R carry the factorisation of
// the active set, updated by Givens rotations.
#pragma once

namespace velliq::surface {

// The caller's memory: every array of the sizes below, for n variables and
// `rows` inequalities.
struct QpWork {
    double* J;       // n * n
    double* R;       // n * n
    double* d;       // n
    double* z;       // n
    double* r;       // n
    double* u;       // n: the active constraints' multipliers
    int* active;     // n: the active constraints (equalities as -1 - index)
    double* slack;   // rows: C x - c
    bool* excluded;  // rows: not to be added again (active)
    int* span;       // 2 * rows: each inequality's first and past-last nonzero column
};

enum class QpStatus { solved, infeasible, not_convex, iterations };

struct QpResult {
    QpStatus status;
    int culprit;  // for infeasible: the inequality that could not be satisfied
    int active;   // the active constraints, w.active[0, active) (the equalities first)
};

// Solves in place: G (n * n, row-major, overwritten by its Cholesky factor), g (n),
// E (me * n) and e, C (rows * n) and c, tolerance per inequality (a violation
// within it counts as satisfied, DOUBLE_MAX: the row is off); x (n) receives the
// solution. Violated
// inequalities from `first_priority` on are added before any other (the most
// violated in tolerances first within each group).
QpResult solve_qp(int n, double* G, const double* g, int me, const double* E, const double* e,
                  int rows, const double* C, const double* c, const double* tolerance,
                  int first_priority, double* x, const QpWork& w);

}  // namespace velliq::surface
