// The BAW results as velliq.norvane's entry points report them: NaN for a
// missing (NaN) input and for _baw_implied_vol_c's -1.0 (no bracket); the
// designed kernels' values otherwise, also for inputs that describe no option.
#pragma once

#include "baw/baw.hpp"

namespace velliq {

inline double norvane_price(double S, double K, double D, double F, double sigma, int q) {
    return _any_nan(S, K, D, F, sigma) ? DOUBLE_NAN : _baw_price(S, K, D, F, sigma, q);
}

inline double norvane_implied_vol(double price, double S, double K, double D, double F, int q) {
    if (_any_nan(price, S, K, D, F)) {
        return DOUBLE_NAN;
    }
    const double sigma = _baw_implied_vol_c(price, S, K, D, F, q);
    return sigma < 0 ? DOUBLE_NAN : sigma;
}

}  // namespace velliq
