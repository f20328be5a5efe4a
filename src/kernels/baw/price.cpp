#include "baw/terms.hpp"

namespace velliq {

double _baw_price(double S, double K, double D, double F, double sigma, int q) {
    return baw_price_with<_solve_call_critical, _solve_put_critical>(S, K, D, F, sigma, q);
}

}  // namespace velliq
