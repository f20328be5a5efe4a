// Implied total standard deviation of an American (BAW) price. The quote is
// bracketed by doubling sigma from 1 (capped so that 8 is the largest usable
// upper end), the bracket is checked for a sign change at 1e-8 and at its top,
// and brentq solves price(sigma) = quote to 1e-10. The search decides the
// reason of its result: a quote at or below intrinsic value + 1e-10 has
// volatility 0.0 (below_intrinsic or no_time_value), one that no bracket holds
// has none (no_solution), and brentq's root is ok. A NaN quote reaches brentq
// unchanged.
// The price is flat at the exercise value wherever its floor binds, and a quote
// above that value + 1e-10 lies above the flat part, so the root is unique.
#include "baw/baw.hpp"
#include "shared/brentq.hpp"

namespace velliq {

namespace {

VolReason solve(double price, double S, double K, double D, double F, int q) {
    if (price <= _intrinsic(S, K, q) + IV_TOL) {
        return _zero_sigma(price, S, K, q);
    }

    // The price at the candidate is evaluated before the cap is tested, so a
    // quote above the price at 8 costs one evaluation at 16.
    double sigma_hi = 1.0;
    double price_hi = _baw_price(S, K, D, F, sigma_hi, q);
    while (price > price_hi && sigma_hi < IV_MAX_SIGMA) {
        sigma_hi *= 2;
        price_hi = _baw_price(S, K, D, F, sigma_hi, q);
    }
    if (sigma_hi >= IV_MAX_SIGMA) {
        return {DOUBLE_NAN, Reason::no_solution};
    }

    IVParams params{S, K, D, F, price, q};
    const double sigma_lo = 1e-8;
    const double f_lo = _iv_objective(sigma_lo, &params);
    const double f_hi = price_hi - price;  // the objective at sigma_hi, already priced
    if (f_lo * f_hi > 0) {
        return {DOUBLE_NAN, Reason::no_solution};  // a zero or NaN at either end still goes on
    }
    params.ends.remember(sigma_lo, f_lo);
    params.ends.remember(sigma_hi, f_hi);
    zeros_full_output fo;
    return {brentq(_iv_objective, sigma_lo, sigma_hi, &params, IV_TOL, IV_TOL, 200, &fo),
            Reason::ok};
}

}  // namespace

double _iv_objective(double sigma, void* params) {
    const auto& p = *static_cast<const IVParams*>(params);
    double known;
    if (p.ends.recall(sigma, &known)) {
        return known;
    }
    return _baw_price(p.S, p.K, p.D, p.F, sigma, p.q) - p.target_price;
}

double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q) {
    const VolReason found = solve(price, S, K, D, F, q);
    return found.reason == Reason::no_solution ? -1.0 : found.sigma;
}

VolReason Baw::implied_vol(double price, double S, double K, double D, double F, int side) {
    if (!std::isfinite(price) || !_inputs_in_domain(S, K, D, F)) {
        return {DOUBLE_NAN, Reason::missing_input};
    }
    return solve(price, S, K, D, F, side);
}

}  // namespace velliq
