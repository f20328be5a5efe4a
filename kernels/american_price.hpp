// American option price by the Barone-Adesi-Whaley (1987) quadratic
// approximation, in forward terms: the Black price plus an early-exercise
// premium A (S / S_star)^q anchored at the critical spot price S_star.
// With D = e^(-rT), F / S = e^(bT) and sigma = v sqrt(T), the published
// N = 2b/v^2, M = 2r/v^2 and K = 1 - e^(-rT) follow because T cancels.
// Only sigma is guarded; other degenerate inputs give what the formulas give.
//
// The critical-price solvers are parameters so that the kernel and its
// bit-for-bit test reference share every other operation.
#pragma once

#include <cmath>

#include "kernels.hpp"

namespace velliq {

using critical_solver_t = double (*)(CriticalParams*);

template <critical_solver_t solve_call, critical_solver_t solve_put>
double baw_price_with(double S, double K, double D, double F, double sigma, int q) {
    if (sigma <= 0) {  // spot exercise value, undiscounted; NaN sigma falls through
        return _intrinsic(S, K, q);
    }
    const double bsm = _bsm_price(K, D, F, sigma, q);
    if (D >= 1) {
        return bsm;  // no positive rate: early exercise is never optimal
    }

    const double carry = F / S;
    const double sig2 = sigma * sigma;
    const double N_val = 2 * std::log(carry) / sig2;
    const double M_val = -2 * std::log(D) / sig2;
    const double k2 = 1 - D;
    double disc = (N_val - 1) * (N_val - 1) + 4 * M_val / k2;
    if (disc < 0) {
        disc = 0.0;
    }
    const double sqrt_disc = std::sqrt(disc);

    CriticalParams params;
    if (q == 1) {
        if (carry * D >= 1) {
            return bsm;  // D F >= S: a call is never exercised early
        }
        const double q2 = (-(N_val - 1) + sqrt_disc) / 2;
        if (q2 <= 0) {
            return bsm;
        }
        params = {K, D, carry, sigma, q2};
        const double S_star = solve_call(&params);
        if (S >= S_star) {
            return S - K;
        }
        const double d1_star = _d1(carry * S_star, K, sigma);
        const double A2 = (S_star / q2) * (1 - carry * D * _norm_cdf(d1_star));
        return bsm + A2 * std::pow(S / S_star, q2);
    }

    const double q1 = (-(N_val - 1) - sqrt_disc) / 2;
    if (q1 >= 0) {
        return bsm;
    }
    params = {K, D, carry, sigma, q1};
    const double S_star = solve_put(&params);
    if (S <= S_star) {
        return K - S;
    }
    const double d1_star = _d1(carry * S_star, K, sigma);
    const double A1 = -(S_star / q1) * (1 - carry * D * _norm_cdf(-d1_star));
    return bsm + A1 * std::pow(S / S_star, q1);
}

}  // namespace velliq
