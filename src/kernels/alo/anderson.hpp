// Anderson acceleration of the accurate model's fixed-point iteration for the
// boundary (Anderson, D. G. (1965), "Iterative procedures for nonlinear
// integral equations", J. ACM 12(4); in the form of Walker & Ni (2011),
// "Anderson acceleration for fixed-point iterations", SIAM J. Numer. Anal.
// 49(4)).
#pragma once

#include "alo/scheme.hpp"

namespace velliq::alo {

// Anderson acceleration mixes the last ALO_AA_DEPTH + 1 iterates.
inline constexpr int ALO_AA_DEPTH = 2;

// From the last iterates x_j and their images f_j (residuals g_j = f_j - x_j),
// the next iterate is f_k - sum_c gamma_c (f_{k-c} - f_{k-c-1}), gamma
// minimising |g_k - sum_c gamma_c (g_{k-c} - g_{k-c-1})| by the normal
// equations; depth (the number of differences) grows to ALO_AA_DEPTH.
struct Anderson {
    int count = 0;
    double x[ALO_AA_DEPTH + 1][ALO_MAX_INTERVALS];
    double f[ALO_AA_DEPTH + 1][ALO_MAX_INTERVALS];

    // Records iterate xk and its image fk (n values each) and writes the next
    // iterate to out; the plain image fk when the equations are singular.
    void next(int n, const double* xk, const double* fk, double* out);
};

}  // namespace velliq::alo
