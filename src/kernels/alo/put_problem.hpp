// The American put over T = 1 that the accurate model solves: every option is
// priced as this put by put-call symmetry (american_price.cpp). Symbols are
// those of Andersen, Lake & Offengelden (2016).
#pragma once

#include <cmath>

namespace velliq::alo {

struct PutProblem {
    double r;            // r: the put's interest rate
    double q;            // q: the put's dividend yield
    double v;            // sigma: volatility (the total standard deviation, as T = 1)
    double x_ratio;      // X / K, X = B(0+) = K min(1, r / q)
    double log_x_ratio;  // ln(X / K)
};

// The put of rates r > 0 and q and volatility v.
inline PutProblem put_problem(double r, double q, double v) {
    const double x_ratio = q > r ? r / q : 1.0;
    return {r, q, v, x_ratio, std::log(x_ratio)};
}

// The put of rates r, q and volatility v with X by the formula of base's side
// of r = q (K r/q where base has q > r, K otherwise), continued across it: X
// then moves smoothly along a difference step around base, as the boundary's
// derivatives in the rates (sensitivity.hpp) take it to.
inline PutProblem put_problem_beside(const PutProblem& base, double r, double q, double v) {
    const double x_ratio = base.q > base.r ? r / q : 1.0;
    return {r, q, v, x_ratio, std::log(x_ratio)};
}

}  // namespace velliq::alo
