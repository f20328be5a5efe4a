// The kernels' results as the package reports them. The kernels themselves
// keep their documented outcomes for every input (the forward search relies
// on them); here a missing input, NaN, gives NaN instead of a value that looks
// like a price or a volatility, and the solver's "no bracket" (-1.0) is NaN.
// The checked results, which the ufuncs give, are NaN also where S, K, D and F
// describe no option (_inputs_in_domain) or a quote is not finite;
// velliq.norvane keeps the values above for such inputs.
#include <cmath>

#include "kernels.hpp"

namespace velliq {

double _baw_price_value(double S, double K, double D, double F, double sigma, int q) {
    if (_any_nan(S, K, D, F, sigma)) {
        return DOUBLE_NAN;
    }
    return _baw_price(S, K, D, F, sigma, q);
}

double _baw_implied_vol_value(double price, double S, double K, double D, double F, int q) {
    if (_any_nan(price, S, K, D, F)) {
        return DOUBLE_NAN;
    }
    const double sigma = _baw_implied_vol_c(price, S, K, D, F, q);
    return sigma < 0 ? DOUBLE_NAN : sigma;
}

double _baw_price_checked(double S, double K, double D, double F, double sigma, int q) {
    if (!_inputs_in_domain(S, K, D, F)) {
        return DOUBLE_NAN;
    }
    return _baw_price_value(S, K, D, F, sigma, q);
}

double _baw_implied_vol_checked(double price, double S, double K, double D, double F, int q) {
    if (!std::isfinite(price) || !_inputs_in_domain(S, K, D, F)) {
        return DOUBLE_NAN;
    }
    return _baw_implied_vol_value(price, S, K, D, F, q);
}

Greeks _baw_greeks_checked(double S, double K, double D, double F, double sigma, int q) {
    if (!_inputs_in_domain(S, K, D, F)) {
        return {DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN};
    }
    return _baw_greeks(S, K, D, F, sigma, q);
}

}  // namespace velliq
