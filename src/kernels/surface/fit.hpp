// One slice's density fitted to its quotes' bands (surface.hpp's representation):
// a quadratic programme in the density at the inner knots (zero at both ends).
//   constraints: mass 1 and mean 1; density >= 0; every quote's out-of-the-money
//     price inside its band [lo, hi]; and, where given, the slice's price minus the
//     slice below (above minus the slice) with non-negative Bernstein coefficients
//     on every cell, so >= 0 at every k: no calendar arbitrage.
//   objective: sum of ((price - mid) * weight)^2 (squared vol errors), smooth * sum of the
//   density's squared second differences, and
//     prior_weight * sum of (density - prior)^2 where a prior is given.
// Where the bands cannot all be met (the dual method finds the programme
// infeasible), it is solved again elastic: each quote's band widened by a slack
// (in spreads) >= 0 whose sum is priced far above the mid's pull, so the fit is
// the one of least total spread-normalised violation (an exact L1 penalty), all
// bands weighed at once rather than given up one at a time.
#pragma once

#include <cstddef>

#include "surface/qp.hpp"

namespace velliq::surface {

struct SliceProblem {
    const double* grid;
    int knots;
    // Per quote: moneyness K / F, band (lo NaN or <= 0: none below), mid (NaN: no
    // pull to it) and weight, about 1 / vega: a price error times it is a vol error.
    const double* k;
    const double* lo;
    const double* hi;
    const double* mid;
    const double* weight;
    int quotes;
    const double* prior;  // density at the knots, or nullptr
    // The neighbours' out-of-the-money prices and slopes at the knots (the put at
    // knots below 1, the call from 1), or nullptr.
    const double* below_value;
    const double* below_slope;
    const double* above_value;
    const double* above_slope;
    double smooth;
    double prior_weight;
};

// The doubles, ints and bools fit_slice needs for `knots` knots and `quotes` quotes.
struct FitSizes {
    std::size_t doubles;
    std::size_t ints;
    std::size_t bools;
};
FitSizes fit_sizes(int knots, int quotes);

// The density at the knots (knots doubles), fitted; returns the number of quotes
// softened (outside their bands), or -1 where the programme could not be solved (density left 0).
int fit_slice(const SliceProblem& problem, double* doubles, int* ints, bool* bools,
              double* density);

}  // namespace velliq::surface
