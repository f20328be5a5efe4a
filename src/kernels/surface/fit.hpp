// One slice's density fitted to its quotes' bands (surface.hpp's representation):
// a quadratic programme in the density at the inner knots (zero at both ends).
//   constraints: mass 1 and mean 1; density >= 0; every quote's out-of-the-money
//     price inside its band [lo, hi]; and, where given, the slice's price minus the
//     slice below (above minus the slice) with non-negative Bernstein coefficients
//     on every cell, so >= 0 at every k: no calendar arbitrage.
//   objective: sum of ((price - mid) * weight)^2 (squared vol errors), smooth * sum of the
//   density's squared second differences, and
//     prior_weight * sum of (density - prior)^2 where a prior is given.
// A quote whose band cannot be met with the others (the dual method finds it
// infeasible) is softened: its band leaves the constraints and its vol distance
// to the band's violated edge joins the objective; then
// the programme is solved again (weight 1e4 per squared vol).
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
// softened, or -1 where the programme could not be solved (density left 0).
int fit_slice(const SliceProblem& problem, double* doubles, int* ints, bool* bools,
              double* density);

}  // namespace velliq::surface
