// Li's QD+ critical price (Li, M. (2010), "Analytical approximations for the
// critical stock prices of American options: a performance comparison",
// Review of Derivatives Research 13(1)), as a fraction of the strike, by
// Newton's method on its exact derivative, kept inside a bracket of the root.
// In Li's symbols, alpha = 2r/v^2, beta = 2(r-q)/v^2, h = 1 - e^{-r tau} and
// lambda the negative root of lambda^2 + (beta-1) lambda - alpha/h = 0:
//   (1 - e^{-q tau} N(-d+)) b + (lambda + c0) (1 - b - p(b)) = 0,
//   c0 = -(1-h) alpha / (2 lambda + beta - 1)
//        * [1/h - e^{r tau} Theta / (r (1 - b - p)) + lambda' / (2 lambda + beta - 1)],
// with p and Theta the European put and its calendar-time theta at spot b.
// alpha/h and alpha/r stay finite as r -> 0, so r = 0 needs no branch. A NaN
// step bisects the bracket instead.
#include "alo/qd_plus.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/normal.hpp"

namespace velliq::alo {

namespace {

// Newton steps of the QD+ equation at each node, and their relative tolerance.
constexpr int QD_PLUS_MAX_STEPS = 16;
constexpr double QD_PLUS_TOL = 1e-4;
static_assert(std::bit_cast<std::uint64_t>(QD_PLUS_TOL) == 0x3F1A36E2EB1C432DULL);

}  // namespace

double qd_plus_boundary(const PutProblem& P, double tau, double start) {
    const double r = P.r, q = P.q, v = P.v;
    const double v2 = v * v, sqrt_tau = std::sqrt(tau), vt = v * sqrt_tau;
    const double h = -std::expm1(-r * tau);
    const double alpha_over_h = (2.0 / v2) * (r == 0.0 ? 1.0 / tau : r / h);
    const double beta = 2.0 * (r - q) / v2;
    const double disc = (beta - 1.0) * (beta - 1.0) + 4.0 * alpha_over_h;
    const double root = std::sqrt(disc);
    // The negative root; through the positive one when beta < 1 would make
    // -(beta - 1) - root cancel (the roots multiply to -alpha/h).
    const double lambda =
        beta < 1.0 ? -2.0 * alpha_over_h / (root - (beta - 1.0)) : 0.5 * (-(beta - 1.0) - root);
    const double dr = std::exp(-r * tau), dq = std::exp(-q * tau);
    // The parts of c0 * sqrt(disc) that do not depend on b.
    const double c0_fixed = (1.0 - h) * alpha_over_h * (1.0 - alpha_over_h / disc);
    double lo = 0.0, hi = P.x_ratio, b = start;
    for (int step = 0; step < QD_PLUS_MAX_STEPS; ++step) {
        const double dp = (std::log(b) + (r - q) * tau) / vt + 0.5 * vt;
        const double dm = dp - vt;
        const double n_dp = cdf(-dp), n_dm = cdf(-dm), density = pdf(dp);
        const double put = dr * n_dm - b * dq * n_dp;
        const double theta =
            r * dr * n_dm - q * b * dq * n_dp - v * b * dq * density / (2.0 * sqrt_tau);
        const double eps = 1.0 - b - put;
        const double c0 = (c0_fixed - (2.0 / v2) * theta / eps) / root;
        const double g = (1.0 - dq * n_dp) * b + (lambda + c0) * eps;
        const double d_eps = dq * n_dp - 1.0;
        const double d_theta = dq * (-(r - q) * density / vt - q * n_dp -
                                     v * density * (1.0 - dp / vt) / (2.0 * sqrt_tau));
        const double d_c0 = -(2.0 / v2) * (d_theta - theta * d_eps / eps) / (eps * root);
        const double dg =
            (1.0 - dq * n_dp) + dq * density / vt + (lambda + c0) * d_eps + d_c0 * eps;
        if (g < 0.0) {
            lo = b;
        } else {
            hi = b;
        }
        double next = b - g / dg;
        if (!(next > lo && next < hi)) {  // also catches NaN: bisect instead
            next = 0.5 * (lo + hi);
        }
        const bool done = std::fabs(next - b) <= QD_PLUS_TOL * b;
        b = next;
        if (done) {
            break;
        }
    }
    return b;
}

}  // namespace velliq::alo
