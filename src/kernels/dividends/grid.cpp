// The finite-difference solution on one grid (grid.hpp).
#include "dividends/grid.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace velliq::cash {

namespace {

// The stretch: c = GRID_WIDTH k max(sigma, GRID_MIN_SIGMA); the top node:
// GRID_SPAN standard deviations above the spot or the kink, at least
// GRID_MIN_SPAN and at most GRID_MAX_SPAN in ln S (beyond it the value is
// linear in S to within rounding at every volatility a quote implies). The nodes do not depend on
// the carry or the amounts, so that the prices' differences in them (the Greeks) see no node move.
constexpr double GRID_WIDTH = 0.3;
constexpr double GRID_MIN_SIGMA = 0.005;
constexpr double GRID_SPAN = 8.0;
constexpr double GRID_MIN_SPAN = 1.0;
constexpr double GRID_MAX_SPAN = 40.0;
static_assert(std::bit_cast<std::uint64_t>(GRID_MAX_SPAN) == 0x4044000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_WIDTH) == 0x3FD3333333333333ULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_MIN_SIGMA) == 0x3F747AE147AE147BULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_SPAN) == 0x4020000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_MIN_SPAN) == 0x3FF0000000000000ULL);
// The share of the nodes below the kink, whatever sigma: the nodes then move
// smoothly with sigma, and so does the price (the implied volatility's search
// needs that); the xi steps below and above the kink differ.
constexpr double BELOW_SHARE = 0.375;
static_assert(std::bit_cast<std::uint64_t>(BELOW_SHARE) == 0x3FD8000000000000ULL);
// Implicit Euler steps at the start of each interval between ex-dates.
constexpr int RANNACHER_STEPS = 2;

struct Mesh {
    double kink, c, xi_low, xi_top;
};

// The payoff's kink: the strike, or for a put whose expiry date is an
// ex-date, the strike plus the amounts paid then (the put's payoff is on
// S - d).
Mesh mesh_of(const Option& o) {
    const double expiry_amounts = o.at_expiry();
    const double kink = o.side == 1 ? o.K : o.K + expiry_amounts;
    const double far = std::fmax(o.S, kink);
    const double span = std::fmin(std::fmax(GRID_SPAN * o.sigma, GRID_MIN_SPAN), GRID_MAX_SPAN);
    const double top = far * std::exp(span);
    const double c = GRID_WIDTH * kink * std::fmax(o.sigma, GRID_MIN_SIGMA);
    return {kink, c, std::asinh(-kink / c), std::asinh((top - kink) / c)};
}

// Cubic interpolation through the four nodes around x (one-sided at the
// ends): the value and its first two derivatives.
GridValue cubic(const double* S, const double* V, int n, int* cell, double x) {
    int j = *cell;
    while (j < n - 2 && S[j + 1] <= x) {
        ++j;
    }
    *cell = j;
    int first = j - 1 < 0 ? 0 : j - 1;
    first = first > n - 4 ? n - 4 : first;
    GridValue out{0.0, 0.0, 0.0};
    for (int k = first; k < first + 4; ++k) {
        double denominator = 1.0, product = 1.0, slope = 0.0, bend = 0.0;
        double d[3];
        int m = 0;
        for (int l = first; l < first + 4; ++l) {
            if (l != k) {
                denominator *= S[k] - S[l];
                d[m++] = x - S[l];
            }
        }
        product = d[0] * d[1] * d[2];
        slope = d[1] * d[2] + d[0] * d[2] + d[0] * d[1];
        bend = 2.0 * (d[0] + d[1] + d[2]);
        out.price += V[k] * product / denominator;
        out.delta += V[k] * slope / denominator;
        out.gamma += V[k] * bend / denominator;
    }
    return out;
}

// The grid's arrays: nodes, values, the operator's three diagonals and the
// elimination's two work arrays.
struct Grid {
    int n;
    double S[MAX_NODES], V[MAX_NODES];
    double lower[MAX_NODES], diagonal[MAX_NODES], upper[MAX_NODES];
    double pivot[MAX_NODES], work[MAX_NODES];
};

static_assert(sizeof(Grid) <= GRID_BYTES + sizeof(double));

void build_operator(const Option& o, Grid& g) {
    const double half_variance = 0.5 * o.sigma * o.sigma;
    g.lower[0] = g.upper[0] = 0.0;
    g.diagonal[0] = -o.r;
    for (int j = 1; j < g.n - 1; ++j) {
        const double hm = g.S[j] - g.S[j - 1], hp = g.S[j + 1] - g.S[j], h = hm + hp;
        const double diffusion = half_variance * g.S[j] * g.S[j], drift = o.b * g.S[j];
        double lower = 2.0 * diffusion / (hm * h), upper = 2.0 * diffusion / (hp * h);
        double diagonal = -lower - upper - o.r;
        const double drift_lower = -drift * hp / (hm * h), drift_upper = drift * hm / (hp * h);
        if (lower + drift_lower >= 0 && upper + drift_upper >= 0) {
            lower += drift_lower;
            upper += drift_upper;
            diagonal += drift * (hp - hm) / (hm * hp);
        } else if (drift > 0) {
            upper += drift / hp;
            diagonal -= drift / hp;
        } else {
            lower -= drift / hm;
            diagonal += drift / hm;
        }
        g.lower[j] = lower;
        g.upper[j] = upper;
        g.diagonal[j] = diagonal;
    }
    const int top = g.n - 1;
    const double drift = o.b * g.S[top] / (g.S[top] - g.S[top - 1]);
    g.lower[top] = -drift;
    g.diagonal[top] = drift - o.r;
    g.upper[top] = 0.0;
}

// One theta-step of length dt with the exercise floor (Brennan-Schwartz).
// `pivot` holds the reciprocals of the eliminated diagonal.
void step(const Option& o, Grid& g, double theta, double dt) {
    const int n = g.n;
    const double explicit_dt = (1.0 - theta) * dt, implicit_dt = theta * dt;
    const auto rhs = [&](int j) {
        double flow = g.diagonal[j] * g.V[j];
        flow += j > 0 ? g.lower[j] * g.V[j - 1] : 0.0;
        flow += j < n - 1 ? g.upper[j] * g.V[j + 1] : 0.0;
        return g.V[j] + explicit_dt * flow;
    };
    if (o.side == 1) {  // exercise above the boundary: eliminate upwards, solve downwards
        g.pivot[0] = 1.0 / (1.0 - implicit_dt * g.diagonal[0]);
        g.work[0] = rhs(0);
        for (int j = 1; j < n; ++j) {
            const double m = implicit_dt * g.lower[j] * g.pivot[j - 1];
            g.pivot[j] =
                1.0 / (1.0 - implicit_dt * g.diagonal[j] - m * implicit_dt * g.upper[j - 1]);
            g.work[j] = rhs(j) + m * g.work[j - 1];
        }
        g.V[n - 1] = std::fmax(g.work[n - 1] * g.pivot[n - 1], _intrinsic(g.S[n - 1], o.K, 1));
        for (int j = n - 2; j >= 0; --j) {
            const double v = (g.work[j] + implicit_dt * g.upper[j] * g.V[j + 1]) * g.pivot[j];
            g.V[j] = std::fmax(v, _intrinsic(g.S[j], o.K, 1));
        }
    } else {  // exercise below the boundary: eliminate downwards, solve upwards
        g.pivot[n - 1] = 1.0 / (1.0 - implicit_dt * g.diagonal[n - 1]);
        g.work[n - 1] = rhs(n - 1);
        for (int j = n - 2; j >= 0; --j) {
            const double m = implicit_dt * g.upper[j] * g.pivot[j + 1];
            g.pivot[j] =
                1.0 / (1.0 - implicit_dt * g.diagonal[j] - m * implicit_dt * g.lower[j + 1]);
            g.work[j] = rhs(j) + m * g.work[j + 1];
        }
        g.V[0] = std::fmax(g.work[0] * g.pivot[0], _intrinsic(g.S[0], o.K, -1));
        for (int j = 1; j < n; ++j) {
            const double v = (g.work[j] + implicit_dt * g.lower[j] * g.V[j - 1]) * g.pivot[j];
            g.V[j] = std::fmax(v, _intrinsic(g.S[j], o.K, -1));
        }
    }
}

// From tau to tau + length in `count` steps graded quadratically from tau.
void march(const Option& o, Grid& g, double tau, double length, int count) {
    double previous = tau;
    for (int k = 1; k <= count; ++k) {
        const double s = static_cast<double>(k) / count;
        const double next = tau + length * s * s;
        step(o, g, k <= RANNACHER_STEPS ? 1.0 : 0.5, next - previous);
        previous = next;
    }
}

// The ex-date: V(S) = max(V(max(S - d, 0)), exercise value at S).
void drop(const Option& o, Grid& g, double amount) {
    int cell = 0;
    for (int j = 0; j < g.n; ++j) {
        const double x = std::fmax(g.S[j] - amount, 0.0);
        g.work[j] =
            std::fmax(cubic(g.S, g.V, g.n, &cell, x).price, _intrinsic(g.S[j], o.K, o.side));
    }
    for (int j = 0; j < g.n; ++j) {
        g.V[j] = g.work[j];
    }
}

}  // namespace

GridSize size_grid(int nodes, int steps) {
    const int below = static_cast<int>(BELOW_SHARE * (nodes - 1));
    return {below, nodes - 1 - below, steps};
}

GridValue solve_grid(const Option& o, const GridSize& size, int refine) {
    Grid g;
    const int below = size.below * refine;
    g.n = (size.below + size.above) * refine + 1;
    if (g.n > MAX_NODES || size.below < 2 || size.above < 2) {
        return {DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN};
    }
    const Mesh mesh = mesh_of(o);
    const double step_below = -mesh.xi_low / below, step_above = mesh.xi_top / (g.n - 1 - below);
    for (int j = 0; j < g.n; ++j) {
        const double xi = j < below ? (j - below) * step_below : (j - below) * step_above;
        g.S[j] = mesh.kink + mesh.c * std::sinh(xi);
    }
    g.S[0] = 0.0;
    g.S[below] = mesh.kink;
    build_operator(o, g);
    const double expiry_amounts = o.at_expiry();
    for (int j = 0; j < g.n; ++j) {
        const double paid = _intrinsic(std::fmax(g.S[j] - expiry_amounts, 0.0), o.K, o.side);
        g.V[j] = std::fmax(paid, _intrinsic(g.S[j], o.K, o.side));
    }
    // Backwards from expiry: the ex-dates before it, latest first.
    double tau = 0.0;
    std::ptrdiff_t i = o.schedule->count - 1;
    while (i >= 0 && !(o.fraction(i) < 1)) {
        --i;
    }
    for (;;) {
        while (i >= 0 && o.fraction(i) > 0 && !counts(o.fraction(i), o.amount(i))) {
            --i;
        }
        const bool dividend = i >= 0 && o.fraction(i) > 0;
        const double until = dividend ? 1.0 - o.fraction(i) : 1.0;
        if (until > tau) {
            const double length = until - tau;
            int count = static_cast<int>(std::ceil(size.steps * length));
            count = count < MIN_SEGMENT_STEPS ? MIN_SEGMENT_STEPS : count;
            march(o, g, tau, length, count * refine);
            tau = until;
        }
        if (!dividend) {
            break;
        }
        drop(o, g, o.amount(i));
        --i;
    }
    // Delta and gamma by central differences of the interpolated values a node
    // spacing either side of the spot: second order, where the cubic's own
    // second derivative is first order away from the cell's middle.
    int cell = 0;
    const double mid = cubic(g.S, g.V, g.n, &cell, o.S).price;
    const double h = g.S[cell + 1] - g.S[cell];
    cell = 0;
    const double down = cubic(g.S, g.V, g.n, &cell, o.S - h).price;
    const double up = cubic(g.S, g.V, g.n, &cell, o.S + h).price;
    return {std::fmax(mid, _intrinsic(o.S, o.K, o.side)), (up - down) / (2.0 * h),
            (up - 2.0 * mid + down) / (h * h)};
}

}  // namespace velliq::cash
