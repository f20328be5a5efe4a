// A quote against its exercise value (kernels.hpp).
#include "kernels.hpp"

namespace velliq {

bool _below_exercise(double price, double S, double K, int side) {
    return price < _intrinsic(S, K, side) - IV_TOL;
}

bool _has_time_value(double price, double S, double K, int side) {
    return price > _intrinsic(S, K, side) + IV_TOL;
}

}  // namespace velliq
