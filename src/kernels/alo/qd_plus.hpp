// The first boundary iterate of the accurate model: Li's QD+ approximation of
// the critical price (Li, M. (2010), "Analytical approximations for the
// critical stock prices of American options: a performance comparison",
// Review of Derivatives Research 13(1)).
#pragma once

#include "alo/put_problem.hpp"

namespace velliq::alo {

// The QD+ critical price B(tau) / K of the put; start is the first guess.
double qd_plus_boundary(const PutProblem& P, double tau, double start);

}  // namespace velliq::alo
