// The implied total standard deviation of the cash-dividend price
// (dividends.hpp). It starts from the accurate model's volatility of the same
// forward (cheap against a dividend price, and close: the schedule moves the
// price by its early exercise only), takes secant steps on the coarser grid's
// price alone (a fifth of a price each) to its root, then secant steps on the
// dividend price within a bracket of the root, bisecting where a step would leave it,
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
// Secant steps on the coarser grid's price first, to this relative step.
constexpr int DIVIDEND_IV_COARSE_STEPS = 8;
// A secant step that divided the residual by this and left it within
// DIVIDEND_IV_TRUSTED resolutions is trusted to land within the resolution
// with one more (the steps move sigma by the grids' difference at most, over
// which the price's slope changes by far less than that gain).
constexpr double DIVIDEND_IV_SECANT_GAIN = 100.0;
constexpr double DIVIDEND_IV_TRUSTED = 100.0;
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_SECANT_GAIN) == 0x4059000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_TRUSTED) == 0x4059000000000000ULL);
constexpr double DIVIDEND_IV_COARSE_TOL = 1e-5;
static_assert(std::bit_cast<std::uint64_t>(DIVIDEND_IV_COARSE_TOL) == 0x3EE4F8B588E368F1ULL);
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
    // On the coarser grid alone: a fifth of a price.
    double coarse_at(double sigma) {
        option.sigma = sigma;
        const cash::Setting& s = cash::SETTINGS[setting];
        return cash::solve_grid(option, cash::size_grid(s.nodes, s.steps, s.below_width), 1).price -
               quote;
    }
};

// The root of the coarser grid's price from sigma by secant steps (the first
// with `slope`), which leaves in slope the last secant; the coarser grid's
// root lies within the grids' difference of the price's, and its slope is
// the price's to about that difference too.
double coarse_root(Residual& residual, double sigma, double hi, double* slope) {
    double f = residual.coarse_at(sigma);
    for (int step = 0; step < DIVIDEND_IV_COARSE_STEPS; ++step) {
        const double next = sigma - f / *slope;
        if (!(next > 0 && next < hi) || std::isnan(f)) {
            break;
        }
        if (std::fabs(next - sigma) <= DIVIDEND_IV_COARSE_TOL * sigma) {
            return next;
        }
        const double f_next = residual.coarse_at(next);
        const double secant = (f_next - f) / (next - sigma);
        *slope = secant > 0 ? secant : *slope;
        sigma = next;
        f = f_next;
    }
    return sigma;
}

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
    if (!cash::describe(S, K, D, F, 0.0, side, dividends, &option)) {
        return no_solution;
    }
    // The prices' limits as sigma grows: a call's S max(1, e^(b - r)) (dividends
    // only lower it), a put's K max(1, D).
    const double bound =
        side == 1 ? S * std::fmax(1.0, std::exp(option.b - option.r)) : K * std::fmax(1.0, D);
    if (price >= bound) {
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
    // The first step's slope: the Black vega (the early exercise changes it little).
    double slope = D * F * _norm_pdf(_d1(F, K, sigma));
    sigma = coarse_root(residual, sigma, hi, &slope);
    double f = residual.at(sigma);
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
        const double trusted = DIVIDEND_IV_TRUSTED * residual.tolerance;
        if (std::fabs(f_next) * DIVIDEND_IV_SECANT_GAIN <= std::fabs(f) &&
            std::fabs(f_next) <= trusted && slope > 0) {
            const double last = next - f_next / slope;
            return {last > lo && last < hi ? last : next, Reason::ok};
        }
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
