// Reasons for the implied-volatility kernels' results (outcome.hpp).
#include "shared/outcome.hpp"

#include <cmath>

#include "kernels.hpp"

namespace velliq {

bool _below_exercise(double price, double S, double K, int q) {
    return price < _intrinsic(S, K, q) - IV_TOL;
}

bool _has_time_value(double price, double S, double K, int q) {
    return price > _intrinsic(S, K, q) + IV_TOL;
}

VolReason _vol_reason(double vol, double price, double S, double K, double D, double F, int q) {
    if (!std::isfinite(price) || !_inputs_in_domain(S, K, D, F)) {
        return {DOUBLE_NAN, Reason::missing_input};
    }
    if (std::isnan(vol)) {
        return {vol, Reason::no_solution};
    }
    if (vol == 0) {
        return {vol,
                _below_exercise(price, S, K, q) ? Reason::below_intrinsic : Reason::no_time_value};
    }
    return {vol, Reason::ok};
}

}  // namespace velliq
