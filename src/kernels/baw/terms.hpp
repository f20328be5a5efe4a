// American option price by the Barone-Adesi-Whaley (1987) quadratic
// approximation, in forward terms: the Black price plus an early-exercise
// premium A (S / S_star)^q_val anchored at the critical spot price S_star.
// The side is 1 for a call; every other value is a put.
// With D = e^(-rT), F / S = e^(bT) and sigma = v sqrt(T), the published
// N = 2b/v^2, M = 2r/v^2 and K = 1 - e^(-rT) follow because T cancels.
// Only sigma is guarded; other degenerate inputs give what the formulas give.
// Where S, K, D and F describe an option (_inputs_in_domain) the price is
// floored at the exercise value, which the approximation can fall below: with
// D >= 1 it is the European price, and a deep in-the-money European option is
// worth less than its exercise value.
//
// The critical-price solvers are parameters so that the kernel and its
// bit-for-bit test reference share every other operation.
#pragma once

#include <cmath>

#include "baw/baw.hpp"

namespace velliq {

using critical_solver_t = double (*)(CriticalParams*);

// How the approximation prices one option, and the terms the price is built
// from, with the symbols of Barone-Adesi & Whaley (1987). The quadratic's
// coefficients are set in Exercise and Premium; q_val and S_star in Exercise
// and Premium, A in Premium.
struct BawTerms {
    // Intrinsic: the price is the exercise value, because sigma <= 0 or because
    // the approximation fell below it.
    enum Region { Intrinsic, European, Exercise, Premium };
    Region region;
    double value;      // the American price
    double bsm;        // the European price (all but Intrinsic)
    double N_val;      // N = 2b / sigma^2
    double M_val;      // M = 2r / sigma^2
    double k2;         // K = 1 - e^(-rT)
    double sqrt_disc;  // sqrt((N - 1)^2 + 4 M / K)
    double q_val;      // the exponent: q2 for a call, q1 for a put (as CriticalParams::q_val)
    double S_star;     // S* for a call, S** for a put: the critical spot price
    double A;          // A2 for a call, A1 for a put: the premium coefficient
};

// The approximation as published, before the floor.
template <critical_solver_t solve_call, critical_solver_t solve_put>
BawTerms approximation_terms_with(double S, double K, double D, double F, double sigma, int side) {
    BawTerms t{};
    if (sigma <= 0) {  // spot exercise value, undiscounted; NaN sigma falls through
        t.region = BawTerms::Intrinsic;
        t.value = _intrinsic(S, K, side);
        return t;
    }
    t.region = BawTerms::European;
    t.value = t.bsm = _bsm_price(K, D, F, sigma, side);
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
    if (side == 1) {
        if (carry * D >= 1) {
            return t;  // D F >= S: a call is never exercised early
        }
        t.q_val = (-(t.N_val - 1) + t.sqrt_disc) / 2;
        if (t.q_val <= 0) {
            return t;
        }
        params = {K, D, carry, sigma, t.q_val};
        t.S_star = solve_call(&params);
        if (S >= t.S_star) {
            t.region = BawTerms::Exercise;
            t.value = S - K;
            return t;
        }
        const double d1_star = _d1(carry * t.S_star, K, sigma);
        t.A = (t.S_star / t.q_val) * (1 - carry * D * _norm_cdf(d1_star));
    } else {
        t.q_val = (-(t.N_val - 1) - t.sqrt_disc) / 2;
        if (t.q_val >= 0) {
            return t;
        }
        params = {K, D, carry, sigma, t.q_val};
        t.S_star = solve_put(&params);
        if (S <= t.S_star) {
            t.region = BawTerms::Exercise;
            t.value = K - S;
            return t;
        }
        const double d1_star = _d1(carry * t.S_star, K, sigma);
        t.A = -(t.S_star / t.q_val) * (1 - carry * D * _norm_cdf(-d1_star));
    }
    t.region = BawTerms::Premium;
    t.value = t.bsm + t.A * std::pow(S / t.S_star, t.q_val);
    return t;
}

template <critical_solver_t solve_call, critical_solver_t solve_put>
BawTerms baw_terms_with(double S, double K, double D, double F, double sigma, int side) {
    BawTerms t = approximation_terms_with<solve_call, solve_put>(S, K, D, F, sigma, side);
    const double exercise = _intrinsic(S, K, side);
    if (t.value < exercise && _inputs_in_domain(S, K, D, F)) {
        t.region = BawTerms::Intrinsic;
        t.value = exercise;
    }
    return t;
}

template <critical_solver_t solve_call, critical_solver_t solve_put>
double baw_price_with(double S, double K, double D, double F, double sigma, int side) {
    return baw_terms_with<solve_call, solve_put>(S, K, D, F, sigma, side).value;
}

}  // namespace velliq
