// The accurate American option price: the exercise-boundary integral equation
// of Andersen, Lake & Offengelden (2016), "High-performance American option
// pricing" (J. Comput. Finance 20(1)), in forward terms: spot S, strike K,
// discount factor D, forward F, total standard deviation sigma. The side is 1
// for a call; every other value is a put.
//
// Under Black-Scholes with constant rates the price depends on S, K,
// rT = -ln D, (r - q)T = ln(F / S) and sigma^2 T only, so the kernel works
// with T = 1, r = -ln D, q = r - ln(F / S) and volatility sigma. Calls are
// priced as puts by put-call symmetry, C(S, K, r, q) = P(K, S, q, r).
//
// Cases, for the put of that symmetry with rates r and q (a rate within 2^-52
// of zero counts as zero: the premium it could add is below 2^-52 K):
//   r <= 0 and q >= r   early exercise is never optimal: the Black price;
//   r < 0 and q < r     two exercise boundaries: NaN (not covered);
//   otherwise           one boundary B with B(0+) = K min(1, r / q) (K when
//                       q <= 0); a spot at or below B(T) is in the exercise
//                       region and the price is exactly K - S.
// NaN also for any NaN or infinite input, non-positive S, K, D or F, negative
// sigma or an unknown setting. sigma == 0 gives the deterministic value
// max over t in [0, T] of the discounted exercise value along the forward.
// No allocation: a price and its Greeks each use under 16 KB of stack.
#pragma once

#include "alo/scheme.hpp"
#include "kernels.hpp"

namespace velliq {

// The American price at one of the settings of scheme.hpp.
double _american_price(double S, double K, double D, double F, double sigma, int side, int setting);

// The American price with an explicit scheme; NaN when a size is outside
// 1 <= intervals <= ALO_MAX_INTERVALS, iterations < 0, or a point count is not
// one of 4, 6, 8, 10, 12, 16, 20, 24, 32.
double _american_price_scheme(double S, double K, double D, double F, double sigma, int side,
                              const AloScheme& scheme);

// The spot at which immediate exercise becomes optimal today, for a strike K
// and the carry F / S of the option priced: a put is exercised at spots at or
// below it, a call at spots at or above it. +inf for a call and 0 for a put
// when early exercise is never optimal; NaN where _american_price is NaN.
double _american_exercise_spot(double K, double D, double carry, double sigma, int side,
                               int setting);

// The implied total standard deviation of a quote at one setting, with its
// reason (VolReason): missing_input where the quote is not finite, S, K, D or
// F is not positive and finite, or the setting is unknown; 0.0 at or below
// the exercise value + IV_TOL; no_solution where no volatility reproduces it.
VolReason _american_implied_vol(double price, double S, double K, double D, double F, int side,
                                int setting);

// The sensitivities of _american_price, defined as for Baw::greeks: those of
// the price as computed (greeks.cpp). NaN where any input is NaN.
Greeks _american_greeks(double S, double K, double D, double F, double sigma, int side,
                        int setting);

// The model's face at one setting.
template <int setting>
struct American {
    static_assert(known_setting(setting));

    static double price(double S, double K, double D, double F, double sigma, int side) {
        return _american_price(S, K, D, F, sigma, side, setting);
    }
    static VolReason implied_vol(double price, double S, double K, double D, double F, int side) {
        return _american_implied_vol(price, S, K, D, F, side, setting);
    }
    static Greeks greeks(double S, double K, double D, double F, double sigma, int side) {
        return _american_greeks(S, K, D, F, sigma, side, setting);
    }
    // The BAW sensitivities only guide the forward pair's first steps.
    static constexpr bool exact_baw_slopes = false;
};

}  // namespace velliq
