// Forward finder over already-selected strikes. Put-call parity averaged over
// the strikes gives a first estimate F_init; Brent's minimiser then searches
// [0.97, 1.03] F_init for the forward at which call and put volatilities agree
// best (the mean |iv_call - iv_put| of the forward-search objective).
//
// The objective is finite only near forwards at which some strike has a
// usable call/put pair, and the constant NO_USABLE_PAIR elsewhere. A narrow
// valley inside that plateau can escape the minimiser, which then walks to an
// end of its bracket; the early-exercise premium of the puts can also put the
// true forward outside the bracket. Either way the search stops at an end, or
// at a point with no usable pair, and the result would be meaningless. Such a
// search scans a wider range on a grid fine enough to land inside the valley
// and minimises again around the best grid point. A search that stops inside
// its bracket at a usable point is returned as it is.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "forward/search.hpp"
#include "kernels.hpp"

namespace velliq {

namespace {

constexpr double NO_USABLE_PAIR = 1e10;  // the objective's value without a usable pair
constexpr double BRACKET_LO = 0.97;
constexpr double BRACKET_HI = 1.03;
constexpr double XATOL = 1e-6;
constexpr int MAXITER = 100;

// The wider range, as multiples of F_init, and the bounds on its grid.
constexpr double SCAN_LO = 0.5;
constexpr double SCAN_HI = 2.0;
constexpr int SCAN_MIN_POINTS = 64;
constexpr int SCAN_MAX_POINTS = 2048;
// Grid points per width of the narrowest usable-forward interval of a strike.
constexpr int POINTS_PER_VALLEY = 4;

double objective(const ForwardParams* p, double F) {
    return _fwd_iv_abs_diff(F, const_cast<ForwardParams*>(p));
}

// The objective as the minimiser sees it, remembering the lowest value so far
// under the minimiser's own rule (a tie or better moves its point, NaN never
// does), so that the value at the point it returns needs no second evaluation.
struct Recorded {
    const ForwardParams* params;
    int calls = 0;
    double best_x = 0.0;
    double best_f = 0.0;

    static double evaluate(double F, void* self) {
        auto& r = *static_cast<Recorded*>(self);
        const double f = objective(r.params, F);
        if (r.calls++ == 0 || f <= r.best_f) {
            r.best_x = F;
            r.best_f = f;
        }
        return f;
    }
    double value_at(double x) const {
        return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(best_x)
                   ? best_f
                   : objective(params, x);
    }
};

// Within the minimiser's final tolerance of an end of [lo, hi].
bool at_bracket_end(double x, double lo, double hi) {
    const double tol1 = SQRT_EPS * std::fabs(x) + XATOL / 3;
    return x - lo <= 4 * tol1 || hi - x <= 4 * tol1;
}

// A strike's call is invertible only for forwards below K + C / D and its put
// only above K - P / D (their zero-volatility values), so a usable pair needs
// a forward within (K - P / D, K + C / D). The narrowest such interval sets
// the grid step.
double narrowest_valley(const ForwardParams* p) {
    double width = std::numeric_limits<double>::infinity();
    for (std::ptrdiff_t j = 0; j < p->n; ++j) {
        const double w = (p->sel_calls[j] + p->sel_puts[j]) / p->D;
        if (w > 0 && w < width) {
            width = w;
        }
    }
    return width;
}

double scan_and_refine(const ForwardParams* p, double F_init) {
    const double lo = F_init * SCAN_LO;
    const double hi = F_init * SCAN_HI;
    const double span = hi - lo;
    if (!(span > 0)) {
        return DOUBLE_NAN;
    }
    const double wanted = std::ceil(span * POINTS_PER_VALLEY / narrowest_valley(p));
    const int points = static_cast<int>(
        std::fmin(std::fmax(std::isnan(wanted) ? 0.0 : wanted, SCAN_MIN_POINTS), SCAN_MAX_POINTS));
    const double step = span / points;

    double best_x = DOUBLE_NAN;
    double best_f = NO_USABLE_PAIR;
    for (int i = 0; i <= points; ++i) {
        const double x = lo + i * step;
        const double f = objective(p, x);
        if (f < best_f) {
            best_f = f;
            best_x = x;
        }
    }
    if (std::isnan(best_x)) {
        return best_x;  // no trial forward yields a usable pair
    }
    Recorded recorded{p};
    const double x =
        _fminbound(Recorded::evaluate, best_x - step, best_x + step, &recorded, XATOL, MAXITER);
    return recorded.value_at(x) <= best_f ? x : best_x;
}

}  // namespace

double _parity_forward(const ForwardParams* p) {
    if (p->n <= 0) {
        return p->S;
    }
    double sum = 0.0;
    for (std::ptrdiff_t j = 0; j < p->n; ++j) {
        sum += p->sel_strikes[j] + (p->sel_calls[j] - p->sel_puts[j]) / p->D;
    }
    return sum / static_cast<double>(p->n);
}

double _find_forward(const ForwardParams* params) {
    if (params->n <= 0) {
        return DOUBLE_NAN;
    }
    const double F_init = _parity_forward(params);
    const double search_lo = F_init * BRACKET_LO;
    const double search_hi = F_init * BRACKET_HI;
    Recorded recorded{params};
    const double x =
        _fminbound(Recorded::evaluate, search_lo, search_hi, &recorded, XATOL, MAXITER);
    const double fx = recorded.value_at(x);
    if (std::isnan(x) || std::isnan(fx) ||
        (fx < NO_USABLE_PAIR && !at_bracket_end(x, search_lo, search_hi))) {
        return x;
    }
    return scan_and_refine(params, F_init);
}

}  // namespace velliq
