// The exercise boundary of the accurate model's put, by the fixed-point
// iteration of Andersen, Lake & Offengelden (2016) on its integral equation.
#pragma once

#include "alo/chebyshev.hpp"
#include "alo/put_problem.hpp"
#include "alo/scheme.hpp"

namespace velliq::alo {

// The boundary as the Chebyshev interpolant of H at its final iterate.
struct Boundary {
    ChebyshevInterpolant H;           // H(xi) = ln(B(xi^2)/X)^2
    double g[ALO_MAX_INTERVALS + 1];  // ln(B/X) at the nodes xi_i, 0 at xi_n = 0
    bool layers = false;              // a node integrated a small volatility's layer

    double g_end() const { return g[0]; }  // ln(B(1)/X): xi_0 = 1 is tau = 1
};

// The quadrature weights of the fixed-point integrals times e^{ru} and e^{qu},
// at point k of node i at i l + k, for schemes of at most ALO_CACHED_POINTS
// points: they depend on r, q and the scheme's sizes but not on sigma, so a
// search over sigma fills them once.
struct Weights {
    double r = 0.0, q = 0.0;        // what they were filled for;
    int intervals = 0, points = 0;  // no intervals: not filled
    double er[ALO_CACHED_POINTS], eq[ALO_CACHED_POINTS];
};

// Solves for the boundary of the put, iterating from Li's QD+ boundary or, when
// start is not null and has the scheme's intervals and the problem's layers,
// from start's node values (a nearby problem's boundary needs fewer
// iterations; one solved with layers is no start for one without, nor the
// reverse); start may be out.
// weights: filled by a solve, reused by later ones of the same r, q and
// scheme sizes. False when a size of the scheme is unsupported (see
// _american_price_scheme).
bool solve_boundary(const PutProblem& P, const AloScheme& scheme, const Boundary* start,
                    Weights* weights, Boundary* out);

// The start for sigma v of the boundaries a at va and b at vb (b the more
// recent): their secant in sigma at each node, or b scaled by v / vb (ln B/X
// grows about as sigma) when a is null; it has b's layers.
void extrapolate(const Boundary* a, double va, const Boundary& b, double vb, double v,
                 Boundary* out);

}  // namespace velliq::alo
