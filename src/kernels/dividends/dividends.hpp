// The accurate American price with cash dividends: Black-Scholes dynamics
// with a flat rate, a continuous yield on top, and a schedule of cash
// dividends at whose ex-dates the spot drops by the amount. In forward terms:
// spot S, strike K, discount factor D, forward F (the forward with the
// dividends), total standard deviation sigma, and the schedule, whose ex-dates
// are fractions of the time to expiry. The carry left after the dividends
// follows from F: F = S e^b - sum_i d_i e^(b (1 - t_i)) over the dividends
// with 0 < t_i <= 1 (time scaled so that expiry is 1).
//
// Schedule rules (any other schedule gives NaN, reason missing_input):
//   fractions non-decreasing and not NaN; amounts finite and >= 0;
//   a dividend at t <= 0 (already out of the spot) or t > 1 (after expiry,
//   +inf included) is ignored: ragged schedules are padded with
//   fraction +inf, amount 0.
// With no dividend in (0, 1] (amounts of 0 count as none) every result is bit
// for bit the accurate model's (alo/alo.hpp) at the same setting.
//
// The model: at an ex-date the spot drops by the amount, to 0 where the amount
// exceeds it (the spot then stays at 0); the holder may exercise just before
// the drop. An ex-date at fraction exactly 1 is kept: the payoff is taken on
// S - d (a put gains), and a call is exercised just before it (it is worth
// what it is without that dividend). NaN, besides NaN inputs and the domain
// of alo.hpp, where the accurate model's put of symmetry would have two
// exercise boundaries under the residual carry b (r = -ln D; a put with r < 0
// and b > 0, a call with b < 0 and r < b). sigma 0 gives the best discounted
// exercise value along the forward path. Delta and gamma are in S with D, b
// and the schedule fixed (F / S fixed when there is no dividend).
//
// Method (grid.hpp, solver.hpp): finite differences in S on a sinh-stretched
// grid, Crank-Nicolson with Rannacher starts, Brennan-Schwartz exercise (with
// policy iteration where a put's exercise set splits), cubic interpolation
// across ex-dates, Richardson's extrapolation over two nested grids. Errors
// per unit strike against tests/data/dividend_reference.csv (bench/dividends.py):
// median 4e-6 fast, 7e-7 default, 4e-8 high; largest 5e-4, 1.6e-4, 1.6e-5, on
// options paying 48-60 % of the spot over five years at 25-100 % vol.
#pragma once

#include <cstddef>
#include <cstring>

#include "alo/scheme.hpp"
#include "kernels.hpp"

namespace velliq {

// A read-only view of one option's schedule: `count` entries, each array
// `*_step` bytes apart (strided, possibly unaligned, as NumPy hands them over).
struct CashDividends {
    const char* fractions;
    const char* amounts;
    std::ptrdiff_t fraction_step;
    std::ptrdiff_t amount_step;
    std::ptrdiff_t count;

    double fraction(std::ptrdiff_t i) const { return load(fractions + i * fraction_step); }
    double amount(std::ptrdiff_t i) const { return load(amounts + i * amount_step); }

private:
    static double load(const char* at) {
        double x;
        std::memcpy(&x, at, sizeof x);
        return x;
    }
};

// The price, the implied sigma with its reason, and the sensitivities (as the
// accurate model's, with S, D and F fixed) at one of the settings of
// alo/scheme.hpp.
double _dividend_price(double S, double K, double D, double F, double sigma, int side,
                       const CashDividends& dividends, int setting);
VolReason _dividend_implied_vol(double price, double S, double K, double D, double F, int side,
                                const CashDividends& dividends, int setting);
Greeks _dividend_greeks(double S, double K, double D, double F, double sigma, int side,
                        const CashDividends& dividends, int setting);

// The derivative of the price in the amount of entry i of the schedule, with
// S, D and F fixed (the residual carry moves with it): 0 for an entry outside
// (0, 1], NaN where the price is NaN or i is not an entry. A central
// difference of prices (greeks.cpp): within about 1 % of the price's slope at
// the default setting, whose grid kinks it where dropped spots cross nodes.
double _dividend_amount_sensitivity(double S, double K, double D, double F, double sigma, int side,
                                    const CashDividends& dividends, std::ptrdiff_t i, int setting);

// The carry b (rate less yield, times the years to expiry) that the forward
// leaves beside the dividends: F = S e^b - sum_i d_i e^(b (1 - t_i)) over the
// dividends in (0, 1]. NaN where the schedule is malformed, S or F is not
// positive and finite, or no b reproduces F.
double _dividend_carry(double S, double F, const CashDividends& dividends);

// The model's face at one setting, for one schedule.
template <int setting>
struct AmericanDividends {
    static_assert(known_setting(setting));
    const CashDividends& dividends;

    double price(double S, double K, double D, double F, double sigma, int side) const {
        return _dividend_price(S, K, D, F, sigma, side, dividends, setting);
    }
    VolReason implied_vol(double price, double S, double K, double D, double F, int side) const {
        return _dividend_implied_vol(price, S, K, D, F, side, dividends, setting);
    }
    Greeks greeks(double S, double K, double D, double F, double sigma, int side) const {
        return _dividend_greeks(S, K, D, F, sigma, side, dividends, setting);
    }
    static constexpr bool exact_baw_slopes = false;
};

}  // namespace velliq
