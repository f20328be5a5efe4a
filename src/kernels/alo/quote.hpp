// One option as the accurate model prices it at varying sigma: its inputs, the
// put of put-call symmetry and its regime (american_price.hpp), so that a
// search over sigma sets them up once and can start each boundary from the
// last one.
#pragma once

#include "alo/american_price.hpp"
#include "alo/boundary.hpp"

namespace velliq::alo {

struct Quote {
    double S, K, D, F;
    double r, q;                  // the put's rates
    double put_spot, put_strike;  // the put's spot and strike
    bool is_call;
    bool valid;           // every input finite and S, K, D, F positive
    bool european;        // early exercise never optimal
    bool two_boundaries;  // not covered: NaN
};

// The option of side side (1 a call) on S, K, D, F.
Quote describe(double S, double K, double D, double F, int side);

// _american_price_scheme of the quote at sigma, its boundary iterated from
// start (null: from QD+) into boundary, which start may be; weights as for
// solve_boundary.
double price(const Quote& o, double sigma, const AloScheme& scheme, const Boundary* start,
             Weights* weights, Boundary* boundary);

// The same price from the QD+ start, with weights of its own (kept out of
// the caller's stack frame).
double price_cold(const Quote& o, double sigma, const AloScheme& scheme, Boundary* boundary);

// The same price on a boundary already solved for the quote's rates and sigma
// (the boundary of a put does not depend on its spot or strike).
double price_on(const Quote& o, double sigma, const AloScheme& scheme, const Boundary& boundary);

}  // namespace velliq::alo
