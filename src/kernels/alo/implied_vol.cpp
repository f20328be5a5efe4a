// Implied total standard deviation of the accurate American price
// (american_price.hpp).
//
// The search starts from the Barone-Adesi-Whaley volatility of the quote,
// which is close by construction, and refines it by Newton steps on the
// accurate price: the first step's slope is the BAW vega, later steps use the
// secant through the last two accurate prices. Every price narrows a bracket of
// the root, and a step that would leave it bisects instead; a bracket not yet
// closed above doubles sigma. A quote therefore costs a few accurate prices.
// Results as for the BAW volatility: 0.0 at or below the exercise value, NaN
// where no volatility reproduces the quote or an input is NaN.
#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/american_price.hpp"
#include "kernels.hpp"

namespace velliq {

namespace {

constexpr int AMERICAN_IV_MAX_STEPS = 60;
// A step below 1e-9 relative ends the search: secant steps converge
// superlinearly, so the sigma it lands on is good to about 1e-14.
constexpr double AMERICAN_IV_SIGMA_TOL = 1e-9;
// No quote needs a larger total standard deviation.
constexpr double AMERICAN_IV_MAX_SIGMA = 16.0;
// The first trial sigma when the BAW volatility gives none.
constexpr double AMERICAN_IV_FIRST_SIGMA = 0.2;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_SIGMA_TOL) == 0x3E112E0BE826D695ULL);
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_MAX_SIGMA) == 0x4030000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_FIRST_SIGMA) == 0x3FC999999999999AULL);

}  // namespace

double _american_implied_vol(double price, double S, double K, double D, double F, int side,
                             int setting) {
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F)) {
        return DOUBLE_NAN;
    }
    if (price <= _intrinsic(S, K, side) + IV_TOL) {
        return 0.0;
    }
    const double baw = _baw_implied_vol_c(price, S, K, D, F, side);
    if (!(baw > 0) && !(_american_price(S, K, D, F, 0.0, side, setting) < price)) {
        return DOUBLE_NAN;  // at or below the value without volatility: no volatility fits
    }
    double lo = 0.0, hi = AMERICAN_IV_MAX_SIGMA;
    bool bracketed = false;  // a price above the quote has been seen at hi
    double sigma = baw > 0 ? baw : AMERICAN_IV_FIRST_SIGMA;
    double f = _american_price(S, K, D, F, sigma, side, setting) - price;
    double slope = baw > 0 ? _baw_greeks(S, K, D, F, sigma, side).vega : DOUBLE_NAN;
    for (int step = 0; step < AMERICAN_IV_MAX_STEPS; ++step) {
        if (std::isnan(f)) {
            return DOUBLE_NAN;
        }
        if (f == 0) {
            return sigma;
        }
        if (f < 0) {
            lo = sigma;
        } else {
            hi = sigma;
            bracketed = true;
        }
        double next = sigma - f / slope;
        if (!(next > lo && next < hi)) {
            if (!bracketed && sigma >= AMERICAN_IV_MAX_SIGMA) {
                return DOUBLE_NAN;  // above the price at the largest volatility
            }
            next = bracketed ? 0.5 * (lo + hi) : std::fmin(2 * sigma, AMERICAN_IV_MAX_SIGMA);
        }
        const double f_next = _american_price(S, K, D, F, next, side, setting) - price;
        if (std::fabs(next - sigma) <= AMERICAN_IV_SIGMA_TOL * sigma) {
            return next;
        }
        slope = (f_next - f) / (next - sigma);
        sigma = next;
        f = f_next;
    }
    return DOUBLE_NAN;
}

}  // namespace velliq
