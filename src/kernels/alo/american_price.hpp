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
// No allocation: a price uses under 16 KB of stack.
#pragma once

namespace velliq {

// One accuracy setting, the scheme (l, m, n) of Andersen, Lake & Offengelden
// (2016) with the premium integral's points split in two.
struct AloScheme {
    int intervals;      // n: collocation intervals in sqrt(tau), n + 1 Chebyshev nodes
    int iterations;     // m: most fixed-point iterations; fewer once no node moves ln B
                        // by more than tolerance
    int points;         // l: Gauss-Legendre points of each fixed-point integral
    int layer_points;   // p, near expiry: points of the premium integral's layer piece
    int bulk_points;    // p, away from expiry: points of the premium integral's bulk piece
    double tolerance;   // largest change of ln B at any node that ends the iteration
    double resolution;  // price error per unit strike the scheme resolves: the implied
                        // volatility stops within it of the quote
};

inline constexpr int ALO_MAX_INTERVALS = 32;
inline constexpr int ALO_MAX_POINTS = 32;
// Schemes with at most this many fixed-point quadrature points in all (n l)
// keep their exponential weights across iterations (8 bytes each, twice).
inline constexpr int ALO_CACHED_POINTS = 256;
// Schemes with at most this many interpolate the points of all nodes in one
// pass (8 bytes each, twice).
inline constexpr int ALO_BATCHED_POINTS = 128;

// Settings of _american_price; other values give NaN.
inline constexpr int AMERICAN_FAST = 0;
inline constexpr int AMERICAN_DEFAULT = 1;
inline constexpr int AMERICAN_HIGH = 2;

inline bool known_setting(int setting) {
    return setting >= AMERICAN_FAST && setting <= AMERICAN_HIGH;
}

// Largest error against QuantLib's converged QdFpAmericanEngine over the grid
// of tests/data/american_reference.csv (spot 100): fast 6e-5, default 9e-6,
// high 4e-8.
inline constexpr AloScheme ALO_SCHEMES[3] = {
    {8, 4, 8, 8, 10, 1e-5, 1e-7},      // fast
    {10, 16, 10, 12, 10, 3e-6, 1e-8},  // default
    {28, 32, 20, 24, 24, 1e-8, 1e-10}  // high
};

// The American price at one of the settings above.
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

}  // namespace velliq
