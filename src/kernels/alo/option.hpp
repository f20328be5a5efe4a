// One option as the accurate model prices it at varying sigma: its inputs, the
// put of put-call symmetry and its regime (alo.hpp), so that a search over
// sigma sets them up once and can start each boundary from the last one.
#pragma once

#include "alo/boundary.hpp"
#include "alo/scheme.hpp"

namespace velliq::alo {

enum class Regime { european, two_boundaries, one_boundary };

// The put of put-call symmetry: its rates, rates within 2^-52 of zero snapped
// to zero, and the regime they put it in (alo.hpp).
struct SymmetricPut {
    double r, q;
    Regime regime;
};

SymmetricPut symmetric_put(double D, double carry, int side);

// Whether the inputs are priced: S, K, D, F positive and finite, sigma >= 0
// and finite.
bool valid_inputs(double S, double K, double D, double F, double sigma);

struct Option {
    double S, K, D, F;
    double r, q;                  // the put's rates
    double put_spot, put_strike;  // the put's spot and strike
    int side;                     // +1 a call, -1 a put
    bool valid;                   // every input finite and S, K, D, F positive
    bool european;                // early exercise never optimal
    bool two_boundaries;          // not covered: NaN
};

// The option on S, K, D, F: a call for side 1, a put for any other side.
Option describe(double S, double K, double D, double F, int side);

// _american_price_scheme of the option at sigma, its boundary iterated from
// start (null: from QD+) into boundary, which start may be; weights as for
// solve_boundary.
double price(const Option& o, double sigma, const AloScheme& scheme, const Boundary* start,
             Weights* weights, Boundary* boundary);

// The same price from the QD+ start, with weights of its own (kept out of
// the caller's stack frame).
double price_cold(const Option& o, double sigma, const AloScheme& scheme, Boundary* boundary);

// The same price on a boundary already solved for the option's rates and sigma
// (the boundary of a put does not depend on its spot or strike).
double price_on(const Option& o, double sigma, const AloScheme& scheme, const Boundary& boundary);

}  // namespace velliq::alo
