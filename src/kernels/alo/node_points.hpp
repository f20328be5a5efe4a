// What the boundary's fixed-point iteration (boundary.cpp) and its derivatives
// (sensitivity.cpp) share: the form of the iteration a put uses and the
// quadrature points of one collocation node.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/gauss_legendre.hpp"
#include "alo/put_problem.hpp"
#include "alo/scheme.hpp"

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

// Over s = tau - u the integrands move from their value at s = 0 to their
// limit within sqrt(s) of about eps = v / (r + |r - q|). A node with eps below
// this fraction of sqrt(tau) integrates on points of that layer (fill_layer);
// wider layers the points of fill resolve.
inline constexpr double ALO_LAYER_RATIO = 0.1;
static_assert(std::bit_cast<std::uint64_t>(ALO_LAYER_RATIO) == 0x3FB999999999999AULL);

// eps, the width of the integrands' layer in sqrt(s).
inline double layer_width(const PutProblem& P) {
    return P.v / (P.r + std::fabs(P.r - P.q));
}

// Whether the node at xi integrates on the points of a layer of width eps.
inline bool integrates_layer(double eps, double xi) {
    return eps < ALO_LAYER_RATIO * xi;
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
    // The same on the points of a layer of width eps in sqrt(s), s = tau - u:
    // sqrt(s) = eps sinh(mu (1 + x_k) / 2) with sinh(mu) = xi / eps, exponential
    // weights included (they depend on eps, so on sigma, and are not cached).
    void fill_layer(const PutProblem& P, const RuleView& R, double xi, double eps) {
        const double drift = (P.r - P.q) / P.v;
        const double mu = std::asinh(xi / eps);
        for (int k = 0; k < R.size; ++k) {
            // sinh and cosh from one expm1, without cancellation at small arguments.
            const double arg = 0.5 * mu * (1.0 + R.x[k]);
            const double em1 = std::expm1(arg), e = em1 + 1.0;
            const double w = eps * 0.5 * (em1 + em1 / e);  // sqrt(s)
            const double u = (xi - w) * (xi + w);
            vs[k] = P.v * w;
            root_u[k] = std::sqrt(u > 0.0 ? u : 0.0);
            inv_vs[k] = 1.0 / vs[k];
            shift[k] = drift * w + 0.5 * vs[k];
            // du = 2 w dw, dw = eps cosh(.) mu / 2 dx
            const double weight = R.w[k] * 2.0 * w * eps * 0.5 * (e + 1.0 / e) * 0.5 * mu;
            er[k] = weight * std::exp(P.r * u);
            eq[k] = P.q != 0.0 ? weight * std::exp(P.q * u) : 0.0;
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
