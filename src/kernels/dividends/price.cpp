// The cash-dividend price (dividends.hpp, solver.hpp).
#include <cmath>

#include "alo/alo.hpp"
#include "dividends/dividends.hpp"
#include "dividends/solver.hpp"

namespace velliq {

namespace cash {

namespace {

// The exercise value at t, discounted, of a spot s_a at t_a growing at b.
double discounted_exercise(const Option& o, double s_a, double t_a, double t) {
    return std::exp(-o.r * t) * _intrinsic(s_a * std::exp(o.b * (t - t_a)), o.K, o.side);
}

// sigma 0: the spot follows its forward path; the value is the best
// discounted exercise value along it, at the ends of each interval between
// ex-dates (just before an ex-date) or where its derivative in t vanishes.
double deterministic(const Option& o) {
    double best = 0.0, s = o.S, t_a = 0.0;
    std::ptrdiff_t i = 0;
    for (;;) {
        while (i < o.schedule->count && !counts(o.fraction(i), o.amount(i)) &&
               !(o.fraction(i) > 1)) {
            ++i;
        }
        const bool dividend = i < o.schedule->count && counts(o.fraction(i), o.amount(i));
        const double t_b = dividend ? o.fraction(i) : 1.0;
        best = std::fmax(best, discounted_exercise(o, s, t_a, t_a));
        best = std::fmax(best, discounted_exercise(o, s, t_a, t_b));
        // d/dt of e^(-rt) (A e^(bt) - K) vanishes where e^(bt) = r K / ((r - b) A).
        const double A = s * std::exp(-o.b * t_a);
        const double t_star = std::log(o.r * o.K / ((o.r - o.b) * A)) / o.b;
        if (t_star > t_a && t_star < t_b) {
            best = std::fmax(best, discounted_exercise(o, s, t_a, t_star));
        }
        s *= std::exp(o.b * (t_b - t_a));
        if (!dividend) {
            break;
        }
        s = std::fmax(s - o.amount(i), 0.0);
        t_a = t_b;
        ++i;
    }
    return std::fmax(best, std::exp(-o.r) * _intrinsic(s, o.K, o.side));
}

}  // namespace

bool describe(double S, double K, double D, double F, double sigma, int side,
              const CashDividends& dividends, Option* option) {
    if (!_inputs_in_domain(S, K, D, F) || !(sigma >= 0 && sigma <= DOUBLE_MAX)) {
        return false;
    }
    *option = Option{S, K, -std::log(D), 0.0, sigma, side == 1 ? 1 : -1, &dividends};
    option->b = residual_carry(S, F, *option);
    const double r = option->r, b = option->b;
    const bool two_regions = option->side == 1 ? (b < 0 && r < b) : (r < 0 && b > 0);
    return std::fabs(b) <= MAX_CARRY && !two_regions;
}

GridValue value(const Option& option, int setting) {
    if (option.sigma == 0) {
        return {deterministic(option), 0.0, 0.0};
    }
    const Setting& s = SETTINGS[setting];
    const GridSize size = size_grid(s.nodes, s.steps, s.below_width);
    const GridValue coarse = solve_grid(option, size, 1);
    const GridValue fine = solve_grid(option, size, 2);
    const auto extrapolate = [](double c, double f) { return (4.0 * f - c) / 3.0; };
    const double exercise = _intrinsic(option.S, option.K, option.side);
    return {std::fmax(extrapolate(coarse.price, fine.price), exercise),
            extrapolate(coarse.delta, fine.delta), extrapolate(coarse.gamma, fine.gamma)};
}

}  // namespace cash

double _dividend_price(double S, double K, double D, double F, double sigma, int side,
                       const CashDividends& dividends, int setting) {
    if (!known_setting(setting) || !cash::well_formed(dividends)) {
        return DOUBLE_NAN;
    }
    cash::Option option{S, K, 0.0, 0.0, sigma, side, &dividends};
    if (!option.any_dividend()) {
        return _american_price(S, K, D, F, sigma, side, setting);
    }
    if (!cash::describe(S, K, D, F, sigma, side, dividends, &option)) {
        return DOUBLE_NAN;
    }
    return cash::value(option, setting).price;
}

}  // namespace velliq
