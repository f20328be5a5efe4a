// The implied total standard deviation of the cash-dividend price
// (dividends.hpp). It starts from the accurate model's volatility of the same
// forward (cheap against a dividend price, and close: the schedule moves the
// price by its early exercise only), then takes secant steps on the dividend
// price within a bracket of the root, bisecting where a step would leave it,
// until the price is within the setting's resolution of the quote; where the
// steps stall, brentq finishes within the bracket. Results and reasons as the
// accurate model's (alo.hpp).
#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/alo.hpp"
#include "dividends/dividends.hpp"
#include "dividends/solver.hpp"
#include "shared/brentq.hpp"

namespace velliq {

namespace {

constexpr int DIVIDEND_IV_SECANT_STEPS = 12;
constexpr int DIVIDEND_IV_BRENTQ_ITERATIONS = 200;
// No quote needs a larger total standard deviation (as the accurate model's).
constexpr double DIVIDEND_IV_MAX_SIGMA = 16.0;
// The start where the accurate model has no volatility for the quote.
constexpr double DIVIDEND_IV_START = 0.2;
constexpr double DIVIDEND_IV_SIGMA_TOL = 1e-9;
constexpr double DIVIDEND_IV_BRENTQ_XTOL = 1e-15;
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_MAX_SIGMA) == 0x4030000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_START) == 0x3FC999999999999AULL);
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_SIGMA_TOL) == 0x3E112E0BE826D695ULL);
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_BRENTQ_XTOL) == 0x3CD203AF9EE75616ULL);

// The price at sigma less the quote, 0.0 within the tolerance.
struct Residual {
    cash::Option option;
    int setting;
    double quote, tolerance;

    double at(double sigma) {
        option.sigma = sigma;
        const double f = cash::value(option, setting).price - quote;
        return std::fabs(f) <= tolerance ? 0.0 : f;
    }
};

double residual_at(double sigma, void* args) {
    return static_cast<Residual*>(args)->at(sigma);
}

}  // namespace

VolReason _dividend_implied_vol(double price, double S, double K, double D, double F, int side,
                                const CashDividends& dividends, int setting) {
    constexpr VolReason missing = {DOUBLE_NAN, Reason::missing_input};
    constexpr VolReason no_solution = {DOUBLE_NAN, Reason::no_solution};
    if (!known_setting(setting) || !cash::well_formed(dividends)) {
        return missing;
    }
    cash::Option option{S, K, 0.0, 0.0, 0.0, side, &dividends};
    if (!option.any_dividend()) {
        return _american_implied_vol(price, S, K, D, F, side, setting);
    }
    if (!std::isfinite(price) || !_inputs_in_domain(S, K, D, F)) {
        return missing;
    }
    if (price <= _intrinsic(S, K, side) + IV_TOL) {
        return _zero_sigma(price, S, K, side);
    }
    // No American call is worth more than the spot, no put more than K max(1, D).
    const double bound = side == 1 ? S : K * std::fmax(1.0, D);
    if (price >= bound || !cash::describe(S, K, D, F, 0.0, side, dividends, &option)) {
        return no_solution;
    }
    Residual residual{option, setting, price, ALO_SCHEMES[setting].resolution * K};
    double lo = 0.0, hi = DIVIDEND_IV_MAX_SIGMA;
    if (!(residual.at(lo) < 0)) {
        return no_solution;  // the value without volatility reaches the quote
    }
    const auto narrow = [&](double at, double f_at) {
        if (f_at < 0) {
            lo = std::fmax(lo, at);
        } else if (f_at > 0) {
            hi = std::fmin(hi, at);
        }
    };
    const VolReason start = _american_implied_vol(price, S, K, D, F, side, setting);
    double sigma = start.reason == Reason::ok && start.sigma > 0 ? start.sigma : DIVIDEND_IV_START;
    double f = residual.at(sigma);
    // The first step's slope: the Black vega (the early exercise changes it little).
    double slope = D * F * _norm_pdf(_d1(F, K, sigma));
    for (int step = 0; step < DIVIDEND_IV_SECANT_STEPS && f != 0 && !std::isnan(f); ++step) {
        narrow(sigma, f);
        double next = sigma - f / slope;
        if (!(next > lo && next < hi)) {
            next = 0.5 * (lo + hi);
        }
        if (std::fabs(next - sigma) <= DIVIDEND_IV_SIGMA_TOL * sigma) {
            return {next, Reason::ok};
        }
        const double f_next = residual.at(next);
        slope = (f_next - f) / (next - sigma);
        sigma = next;
        f = f_next;
    }
    if (f == 0) {
        return {sigma, Reason::ok};
    }
    narrow(sigma, f);
    zeros_full_output out;
    const double root = brentq(residual_at, lo, hi, &residual, DIVIDEND_IV_BRENTQ_XTOL,
                               DIVIDEND_IV_SIGMA_TOL, DIVIDEND_IV_BRENTQ_ITERATIONS, &out);
    return out.error_num == 0 ? VolReason{root, Reason::ok} : no_solution;
}

}  // namespace velliq
