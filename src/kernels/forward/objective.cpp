// Forward-search objective: at a trial forward, the mean of |iv_call - iv_put|
// over the selected strikes whose call and put both have a positive implied
// volatility. 1e10 when no strike gives a usable pair: a very bad point to the
// minimiser, not an error. A NaN volatility is not skipped and makes the mean
// NaN.
#include <cmath>

#include "baw/baw.hpp"
#include "forward/search.hpp"

namespace velliq {

double _fwd_iv_abs_diff(double F_trial, void* params) {
    const auto& p = *static_cast<const ForwardParams*>(params);
    if (p.n <= 0) {
        return 1e10;
    }
    double total = 0.0;
    std::ptrdiff_t count = 0;
    for (std::ptrdiff_t j = 0; j < p.n; ++j) {
        const double iv_c =
            _baw_implied_vol_c(p.sel_calls[j], p.S, p.sel_strikes[j], p.D, F_trial, 1);
        const double iv_p =
            _baw_implied_vol_c(p.sel_puts[j], p.S, p.sel_strikes[j], p.D, F_trial, -1);
        if (iv_c <= 0 || iv_p <= 0) {
            continue;
        }
        total += std::fabs(iv_c - iv_p);
        ++count;
    }
    if (count == 0) {
        return 1e10;
    }
    return total / count;
}

}  // namespace velliq
