// The Barone-Adesi-Whaley (1987) American price (terms.hpp) with the kernels'
// critical-price solvers (boundary.cpp). Only sigma is guarded: sigma <= 0
// gives the exercise value, D >= 1 the European price; for an option
// (_inputs_in_domain) the price is never below the exercise value. The face's
// price is NaN where an input is missing or describes no option.
#include "baw/terms.hpp"

namespace velliq {

double _baw_price(double S, double K, double D, double F, double sigma, int q) {
    return baw_price_with<_solve_call_critical, _solve_put_critical>(S, K, D, F, sigma, q);
}

double Baw::price(double S, double K, double D, double F, double sigma, int side) {
    if (!_inputs_in_domain(S, K, D, F) || std::isnan(sigma)) {
        return DOUBLE_NAN;
    }
    return _baw_price(S, K, D, F, sigma, side);
}

}  // namespace velliq
