// The schedule's checks and the residual carry (schedule.hpp).
#include "dividends/schedule.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace velliq::cash {

namespace {

// The carry is found to this absolute accuracy (b is a rate times the time to
// expiry), within this many steps.
constexpr double CARRY_TOL = 1e-15;
static_assert(std::bit_cast<std::uint64_t>(CARRY_TOL) == 0x3CD203AF9EE75616ULL);
constexpr int CARRY_MAX_STEPS = 200;

}  // namespace

bool well_formed(const CashDividends& dividends) {
    double previous = -INFINITY;
    for (std::ptrdiff_t i = 0; i < dividends.count; ++i) {
        const double t = dividends.fraction(i), d = dividends.amount(i);
        if (!(t >= previous) || !(d >= 0 && d <= DOUBLE_MAX)) {
            return false;
        }
        previous = t;
    }
    return true;
}

bool Option::any_dividend() const {
    for (std::ptrdiff_t i = 0; i < schedule->count; ++i) {
        if (counts(fraction(i), amount(i))) {
            return true;
        }
    }
    return false;
}

double Option::at_expiry() const {
    double sum = 0.0;
    for (std::ptrdiff_t i = schedule->count - 1; i >= 0 && fraction(i) >= 1; --i) {
        if (counts(fraction(i), amount(i))) {
            sum += amount(i);
        }
    }
    return sum;
}

// h(b) = S - sum_i d_i e^(-b t_i) - F e^(-b) rises and is concave in b, so
// Newton's steps from any point reach the root from below, monotonically,
// after at most one step; a bracket guards against rounding.
double residual_carry(double S, double F, const Option& option) {
    const auto h = [&](double b, double* slope) {
        double value = S - F * std::exp(-b);
        *slope = F * std::exp(-b);
        for (std::ptrdiff_t i = 0; i < option.schedule->count; ++i) {
            const double t = option.fraction(i), d = option.amount(i);
            if (counts(t, d)) {
                const double term = d * std::exp(-b * t);
                value -= term;
                *slope += t * term;
            }
        }
        return value;
    };
    double lo = -INFINITY, hi = INFINITY;
    double pv = 0.0;  // the dividends' sum: F + sum d_i bounds S e^b from above
    for (std::ptrdiff_t i = 0; i < option.schedule->count; ++i) {
        pv += counts(option.fraction(i), option.amount(i)) ? option.amount(i) : 0.0;
    }
    double b = std::log((F + pv) / S);
    for (int step = 0; step < CARRY_MAX_STEPS; ++step) {
        double slope;
        const double value = h(b, &slope);
        if (!std::isfinite(value) || !(slope > 0)) {
            return DOUBLE_NAN;
        }
        if (value == 0) {
            return b;
        }
        (value < 0 ? lo : hi) = b;
        double next = b - value / slope;
        if (std::fabs(next - b) <= CARRY_TOL * (1.0 + std::fabs(b))) {
            return b;
        }
        if (!(next > lo && next < hi)) {
            next = std::isfinite(lo) && std::isfinite(hi) ? 0.5 * (lo + hi) : DOUBLE_NAN;
        }
        b = next;
    }
    return DOUBLE_NAN;
}

}  // namespace velliq::cash

namespace velliq {

double _dividend_carry(double S, double F, const CashDividends& dividends) {
    const bool positive = S > 0 && F > 0 && std::isfinite(S) && std::isfinite(F);
    if (!positive || !cash::well_formed(dividends)) {
        return DOUBLE_NAN;
    }
    const cash::Option option{S, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, 1, &dividends};
    return cash::residual_carry(S, F, option);
}

}  // namespace velliq
