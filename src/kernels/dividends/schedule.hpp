// One option of the cash-dividend model in kernel units (time to expiry 1):
// the schedule's checks, the dividends that count, and the residual carry
// that reproduces the forward.
#pragma once

#include <cstddef>

#include "dividends/dividends.hpp"

namespace velliq::cash {

// Whether the schedule follows the rules of dividends.hpp: fractions not NaN
// and non-decreasing, amounts finite and >= 0 (every entry, ignored or not).
bool well_formed(const CashDividends& dividends);

// Whether a dividend at fraction t with amount d changes the option: an
// ex-date in (0, 1] and an amount above 0.
inline bool counts(double t, double d) {
    return t > 0 && t <= 1 && d > 0;
}

// The option: spot S, strike K, rate r = -ln D, residual carry b (the drift
// of the spot between ex-dates is b), sigma, side, and the schedule, one
// amount of which may be moved by `bump` (entry `bumped`; -1 for none) for
// the amount sensitivities.
struct Option {
    double S, K, r, b, sigma;
    int side;
    const CashDividends* schedule;
    std::ptrdiff_t bumped = -1;
    double bump = 0.0;

    double fraction(std::ptrdiff_t i) const { return schedule->fraction(i); }
    double amount(std::ptrdiff_t i) const {
        return schedule->amount(i) + (i == bumped ? bump : 0.0);
    }
    bool any_dividend() const;
    // The sum of the amounts that count at exactly t = 1 (on the expiry date).
    double at_expiry() const;
};

// The carry b with F = S e^b - sum_i d_i e^(b (1 - t_i)) over the dividends
// that count; NaN where no b reproduces F (none exists only for NaN inputs
// or an overflow: the equation divided by e^b rises in b from -inf to S).
double residual_carry(double S, double F, const Option& option);

}  // namespace velliq::cash
