// The derivatives of the accurate model's boundary in the put's volatility and
// rates, by the implicit function theorem on the collocation fixed point.
#pragma once

#include "alo/boundary.hpp"
#include "alo/put_problem.hpp"
#include "alo/scheme.hpp"

namespace velliq::alo {

// The put's parameters the boundary depends on.
enum BoundaryParameter { VOLATILITY = 0, RATE = 1, YIELD = 2 };

// dg/dv, dg/dr and dg/dq at the nodes (rows VOLATILITY, RATE, YIELD), g = ln(B/X);
// 0 at xi_n = 0, as g.
struct BoundarySensitivity {
    double by[3][ALO_MAX_INTERVALS + 1];
};

// At the node values g of B, solved by solve_boundary for P and scheme,
// g = Phi(g; v, r, q) gives
// dg/dtheta = (I - dPhi/dg)^-1 dPhi/dtheta. A node clipped at g = 0 does not
// move. False when I - dPhi/dg is singular or a derivative is not finite, and
// where a node integrates the layer of a volatility small against the rates
// (boundary.cpp), whose equations these are not.
bool boundary_sensitivity(const PutProblem& P, const AloScheme& scheme, const Boundary& B,
                          BoundarySensitivity* out);

}  // namespace velliq::alo
