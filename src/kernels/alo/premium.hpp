// The early-exercise premium of the accurate model's put (Kim 1990, in the
// form of Andersen, Lake & Offengelden 2016).
#pragma once

#include "alo/boundary.hpp"
#include "alo/gauss_legendre.hpp"
#include "alo/put_problem.hpp"

namespace velliq::alo {

// The premium per unit strike at spot ratio x = S/K > B(1)/K, with the rules
// of the integral's layer and bulk pieces.
double put_premium(const PutProblem& P, const Boundary& B, double x, const RuleView& layer,
                   const RuleView& bulk);

}  // namespace velliq::alo
