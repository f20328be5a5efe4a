// What the boundary's fixed-point iteration (boundary.cpp) and its derivatives
// (sensitivity.cpp) share: the form of the iteration a put uses and the
// quadrature points of one collocation node.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/american_price.hpp"
#include "alo/gauss_legendre.hpp"
#include "alo/put_problem.hpp"

namespace velliq::alo {

// FP-A converges fastest but diverges for a negative yield and once
// r^2 > ALO_FP_A_MAX_R2_OVER_V2 v^2 (rT over the variance v^2 T, times rT);
// there FP-B is iterated.
inline constexpr double ALO_FP_A_MAX_R2_OVER_V2 = 2.0;
static_assert(std::bit_cast<std::uint64_t>(ALO_FP_A_MAX_R2_OVER_V2) == 0x4000000000000000ULL);

// Whether the put's boundary is iterated in the form FP-A (from smooth
// pasting) rather than FP-B (from value matching).
inline bool iterates_fp_a(const PutProblem& P) {
    return P.q >= 0.0 && P.r * P.r <= ALO_FP_A_MAX_R2_OVER_V2 * P.v * P.v;
}

// The quadrature points of one node xi, point k at sqrt(u) = xi sin(theta_k/2):
// sqrt(u), the weights times e^{ru} and e^{qu}, v sqrt(tau - u) and its
// inverse, and the part of d+(tau - u, .) that does not depend on the boundary.
struct NodePoints {
    double root_u[ALO_MAX_POINTS], er[ALO_MAX_POINTS], eq[ALO_MAX_POINTS];
    double vs[ALO_MAX_POINTS], inv_vs[ALO_MAX_POINTS], shift[ALO_MAX_POINTS];

    void fill(const PutProblem& P, const RuleView& R, double xi) {
        const double drift = (P.r - P.q) / P.v;
        for (int k = 0; k < R.size; ++k) {
            vs[k] = P.v * xi * R.full_c[k];  // v sqrt(tau - u)
            root_u[k] = xi * R.full_s[k];
            inv_vs[k] = 1.0 / vs[k];
            // (r - q) s / (v sqrt(s)) + v sqrt(s) / 2 at s = tau - u
            shift[k] = drift * xi * R.full_c[k] + 0.5 * vs[k];
        }
    }
    // The exponential weights, the only costly entries.
    void fill_weights(const PutProblem& P, const RuleView& R, double xi) {
        const double tau = xi * xi;
        for (int k = 0; k < R.size; ++k) {
            const double u = tau * R.full_s[k] * R.full_s[k];
            er[k] = tau * R.full_w[k] * std::exp(P.r * u);
            eq[k] = P.q != 0.0 ? tau * R.full_w[k] * std::exp(P.q * u) : 0.0;
        }
    }
};

}  // namespace velliq::alo
