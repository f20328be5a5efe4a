// The accuracy settings of the accurate American price (alo.hpp): the scheme of
// Andersen, Lake & Offengelden (2016) each setting uses and the size limits of
// its storage, which the model's files size their arrays by.
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

// Settings of the accurate price (alo.hpp); other values give NaN.
inline constexpr int AMERICAN_FAST = 0;
inline constexpr int AMERICAN_DEFAULT = 1;
inline constexpr int AMERICAN_HIGH = 2;

constexpr bool known_setting(int setting) {
    return setting >= AMERICAN_FAST && setting <= AMERICAN_HIGH;
}

// Largest error against QuantLib's converged QdFpAmericanEngine over the grid
// of tests/data/american_reference.csv (spot 100): fast 6e-5, default 9e-6,
// high 4e-8. Far outside it (small volatility under large rates over long
// expiries) they are not met; velliq.american.in_verified_domain holds the
// measured region (bench/american_domain.py).
inline constexpr AloScheme ALO_SCHEMES[3] = {
    {8, 4, 8, 8, 10, 1e-5, 1e-7},      // fast
    {10, 16, 10, 12, 10, 3e-6, 1e-8},  // default
    {28, 32, 20, 24, 24, 1e-8, 1e-10}  // high
};

}  // namespace velliq
