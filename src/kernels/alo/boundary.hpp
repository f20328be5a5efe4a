// The exercise boundary of the accurate model's put, by the fixed-point
// iteration of Andersen, Lake & Offengelden (2016) on its integral equation.
#pragma once

#include "alo/american_price.hpp"
#include "alo/chebyshev.hpp"
#include "alo/put_problem.hpp"

namespace velliq::alo {

// The boundary as the Chebyshev interpolant of H at its final iterate.
struct Boundary {
    ChebyshevInterpolant H;           // H(xi) = ln(B(xi^2)/X)^2
    double g[ALO_MAX_INTERVALS + 1];  // ln(B/X) at the nodes xi_i, 0 at xi_n = 0
    double g_end;                     // ln(B(1)/X)
};

// Solves for the boundary of the put, iterating from Li's QD+ boundary or, when
// start is not null and has the scheme's intervals, from start's node values
// (a nearby problem's boundary needs fewer iterations); start may be out.
// False when a size of the scheme is unsupported (see _american_price_scheme).
bool solve_boundary(const PutProblem& P, const AloScheme& scheme, const Boundary* start,
                    Boundary* out);

}  // namespace velliq::alo
