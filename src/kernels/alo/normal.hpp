// The normal density and distribution as _norm_pdf and _norm_cdf compute them
// above z = -10, inlined into the accurate model's quadrature loops; their sums
// never need the relative precision of the far lower tail that _norm_cdf's
// series gives.
#pragma once

#include <cmath>

#include "kernels.hpp"

namespace velliq::alo {

inline double pdf(double x) {
    return ONE_OVER_SQRT_TWO_PI * std::exp((-0.5 * x) * x);
}

inline double cdf(double x) {
    return 0.5 * std::erfc(-(x * ONE_OVER_SQRT_TWO));
}

}  // namespace velliq::alo
