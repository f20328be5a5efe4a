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

// How the approximation prices one option, and the terms the price is built
// from: the quadratic's exponent q_exp (q2 for a call, q1 for a put), the
// critical price S_star and the premium coefficient A (A2 or A1).
struct BawTerms {
    enum Region { Intrinsic, European, Exercise, Premium };
    Region region;
    double value;                        // the American price
    double bsm;                          // the European price (all but Intrinsic)
    double N_val, M_val, k2, sqrt_disc;  // the quadratic's coefficients (Exercise, Premium)
    double q_exp, S_star, A;             // Premium (q_exp and S_star for Exercise too)
};

template <critical_solver_t solve_call, critical_solver_t solve_put>
BawTerms baw_terms_with(double S, double K, double D, double F, double sigma, int q) {
    BawTerms t{};
    if (sigma <= 0) {  // spot exercise value, undiscounted; NaN sigma falls through
        t.region = BawTerms::Intrinsic;
        t.value = _intrinsic(S, K, q);
        return t;
    }
    t.region = BawTerms::European;
    t.value = t.bsm = _bsm_price(K, D, F, sigma, q);
    if (D >= 1) {
        return t;  // no positive rate: early exercise is never optimal
    }

    const double carry = F / S;
    const double sig2 = sigma * sigma;
    t.N_val = 2 * std::log(carry) / sig2;
    t.M_val = -2 * std::log(D) / sig2;
    t.k2 = 1 - D;
    double disc = (t.N_val - 1) * (t.N_val - 1) + 4 * t.M_val / t.k2;
    if (disc < 0) {
        disc = 0.0;
    }
    t.sqrt_disc = std::sqrt(disc);

    CriticalParams params;
    if (q == 1) {
        if (carry * D >= 1) {
            return t;  // D F >= S: a call is never exercised early
        }
        t.q_exp = (-(t.N_val - 1) + t.sqrt_disc) / 2;
        if (t.q_exp <= 0) {
            return t;
        }
        params = {K, D, carry, sigma, t.q_exp};
        t.S_star = solve_call(&params);
        if (S >= t.S_star) {
            t.region = BawTerms::Exercise;
            t.value = S - K;
            return t;
        }
        const double d1_star = _d1(carry * t.S_star, K, sigma);
        t.A = (t.S_star / t.q_exp) * (1 - carry * D * _norm_cdf(d1_star));
    } else {
        t.q_exp = (-(t.N_val - 1) - t.sqrt_disc) / 2;
        if (t.q_exp >= 0) {
            return t;
        }
        params = {K, D, carry, sigma, t.q_exp};
        t.S_star = solve_put(&params);
        if (S <= t.S_star) {
            t.region = BawTerms::Exercise;
            t.value = K - S;
            return t;
        }
        const double d1_star = _d1(carry * t.S_star, K, sigma);
        t.A = -(t.S_star / t.q_exp) * (1 - carry * D * _norm_cdf(-d1_star));
    }
    t.region = BawTerms::Premium;
    t.value = t.bsm + t.A * std::pow(S / t.S_star, t.q_exp);
    return t;
}

template <critical_solver_t solve_call, critical_solver_t solve_put>
double baw_price_with(double S, double K, double D, double F, double sigma, int q) {
    return baw_terms_with<solve_call, solve_put>(S, K, D, F, sigma, q).value;
}

}  // namespace velliq
