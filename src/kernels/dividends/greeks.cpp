// The sensitivities of the cash-dividend price (dividends.hpp). Delta and
// gamma come from the grids (the extrapolated derivatives of the cubic through
// the nodes around the spot), with D, the residual carry and the schedule
// fixed: without dividends that is the accurate model's F / S fixed. Vega, dF
// (S, D fixed: the carry moves), dD (S, F fixed: the rate moves, the carry
// not) are forward differences of the prices (the two grids extrapolated):
// three prices more than the price. The amount sensitivity is a central
// difference over AMOUNT_STEP S: the price's slope in an amount kinks
// wherever a dropped spot crosses a node, which a wider step averages out. Their error is
// the price's error over the step, about 1e-4 of the derivative at the
// default setting (bench/dividends.py).
#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/alo.hpp"
#include "dividends/dividends.hpp"
#include "dividends/solver.hpp"

namespace velliq {

namespace {

// Relative steps of the forward differences: about the cube root of the
// grids' relative resolution, balancing truncation and the grid's noise.
constexpr double BUMP = 1e-4;
static_assert(std::bit_cast<std::uint64_t>(BUMP) == 0x3F1A36E2EB1C432DULL);
constexpr double AMOUNT_STEP = 2.5e-3;
static_assert(std::bit_cast<std::uint64_t>(AMOUNT_STEP) == 0x3F647AE147AE147BULL);

}  // namespace

Greeks _dividend_greeks(double S, double K, double D, double F, double sigma, int side,
                        const CashDividends& dividends, int setting) {
    if (!known_setting(setting) || !cash::well_formed(dividends)) {
        return NO_GREEKS;
    }
    cash::Option option{S, K, 0.0, 0.0, sigma, side, &dividends};
    if (!option.any_dividend()) {
        return _american_greeks(S, K, D, F, sigma, side, setting);
    }
    if (!cash::describe(S, K, D, F, sigma, side, dividends, &option)) {
        return NO_GREEKS;
    }
    const cash::GridValue at = cash::value(option, setting);
    const double base = at.price;
    const auto moved = [&](double dS, double dD, double dF, double dsigma) {
        cash::Option m;
        return cash::describe(S + dS, K, D + dD, F + dF, sigma + dsigma, side, dividends, &m)
                   ? cash::value(m, setting).price
                   : DOUBLE_NAN;
    };
    const double h_sigma = BUMP * std::fmax(sigma, 0.01), h_F = BUMP * F, h_D = BUMP * D;
    return {at.delta, at.gamma, (moved(0, 0, 0, h_sigma) - base) / h_sigma,
            (moved(0, 0, h_F, 0) - base) / h_F, (moved(0, h_D, 0, 0) - base) / h_D};
}

double _dividend_amount_sensitivity(double S, double K, double D, double F, double sigma, int side,
                                    const CashDividends& dividends, std::ptrdiff_t i, int setting) {
    if (!known_setting(setting) || !cash::well_formed(dividends) || i < 0 || i >= dividends.count) {
        return DOUBLE_NAN;
    }
    const double t = dividends.fraction(i);
    if (!(t > 0 && t <= 1)) {
        return _dividend_price(S, K, D, F, sigma, side, dividends, setting) * 0.0;
    }
    cash::Option option{S, K, 0.0, 0.0, sigma, side, &dividends};
    if (!cash::describe(S, K, D, F, sigma, side, dividends, &option)) {
        return DOUBLE_NAN;
    }
    option.bumped = i;
    const double h = AMOUNT_STEP * S;
    const auto moved = [&](double bump) {
        option.bump = bump;
        option.b = cash::residual_carry(S, F, option);
        return cash::value(option, setting).price;
    };
    // Central where the amount allows the step down, else forward from the amount.
    const bool central = dividends.amount(i) >= h;
    return (moved(h) - moved(central ? -h : 0.0)) / (central ? 2.0 * h : h);
}

}  // namespace velliq
