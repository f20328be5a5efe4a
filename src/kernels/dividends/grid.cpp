// The finite-difference solution on one grid (grid.hpp).
#include "dividends/grid.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace velliq::cash {

namespace {

// The stretch: c = width k max(sigma, GRID_MIN_SIGMA) (grid.hpp's widths); the top node:
// GRID_SPAN standard deviations above the spot or the kink, at least
// GRID_MIN_SPAN and at most GRID_MAX_SPAN in ln S (beyond it the value is
// linear in S to within rounding at every volatility a quote implies). The nodes do not depend on
// the carry or the amounts, so that the prices' differences in them (the Greeks) see no node move.
constexpr double GRID_MIN_SIGMA = 0.005;
constexpr double GRID_SPAN = 8.0;
constexpr double GRID_MIN_SPAN = 1.0;
constexpr double GRID_MAX_SPAN = 40.0;
static_assert(std::bit_cast<std::uint64_t>(GRID_MAX_SPAN) == 0x4044000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_MIN_SIGMA) == 0x3F747AE147AE147BULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_SPAN) == 0x4020000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(GRID_MIN_SPAN) == 0x3FF0000000000000ULL);
// The share of the nodes below the kink, whatever sigma: the nodes then move
// smoothly with sigma, and so does the price (the implied volatility's search
// needs that); the xi steps below and above the kink differ.
constexpr double BELOW_SHARE = 0.6;
static_assert(std::bit_cast<std::uint64_t>(BELOW_SHARE) == 0x3FE3333333333333ULL);
// The complementarity check's tolerance, relative to the values, and the
// policy iteration's most rounds.
constexpr double LCP_TOL = 1e-10;
static_assert(std::bit_cast<std::uint64_t>(LCP_TOL) == 0x3DDB7CDFD9D7BDBBULL);
constexpr int POLICY_ROUNDS = 20;
// Implicit Euler steps at the start of each interval between ex-dates.
constexpr int RANNACHER_STEPS = 2;

struct Mesh {
    double kink, c_below, c_above, xi_low, xi_top;
};

// The payoff's kink: the strike, or for a put whose expiry date is an
// ex-date, the strike plus the amounts paid then (the put's payoff is on
// S - d).
Mesh mesh_of(const Option& o, double below_width) {
    const double expiry_amounts = o.at_expiry();
    const double kink = o.side == 1 ? o.K : o.K + expiry_amounts;
    const double far = std::fmax(o.S, kink);
    const double span = std::fmin(std::fmax(GRID_SPAN * o.sigma, GRID_MIN_SPAN), GRID_MAX_SPAN);
    const double top = far * std::exp(span);
    const double scale = kink * std::fmax(o.sigma, GRID_MIN_SIGMA);
    const double c_below = below_width * scale, c_above = STRIKE_WIDTH * scale;
    return {kink, c_below, c_above, std::asinh(-kink / c_below),
            std::asinh((top - kink) / c_above)};
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

static_assert(sizeof(Grid) + MAX_NODES <= GRID_BYTES + sizeof(double));

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

// The implicit side's rows: M = I - implicit_dt A, as (lower, diagonal, upper).
struct Rows {
    const Grid& g;
    double implicit_dt;
    double lower(int j) const { return -implicit_dt * g.lower[j]; }
    double diagonal(int j) const { return 1.0 - implicit_dt * g.diagonal[j]; }
    double upper(int j) const { return -implicit_dt * g.upper[j]; }
    // (M V)_j - rhs_j, the linear complementarity problem's residual at j.
    double residual(int j, const double* rhs) const {
        double m = diagonal(j) * g.V[j] - rhs[j];
        m += j > 0 ? lower(j) * g.V[j - 1] : 0.0;
        m += j < g.n - 1 ? upper(j) * g.V[j + 1] : 0.0;
        return m;
    }
};

// Brennan-Schwartz: eliminate away from the exercise region, solve back from
// it with the exercise value as a floor. rhs in g.work, the solution in g.V.
void brennan_schwartz(const Option& o, Grid& g, const Rows& m) {
    const int n = g.n;
    if (o.side == 1) {  // exercise above the boundary: eliminate upwards, solve downwards
        g.pivot[0] = 1.0 / m.diagonal(0);
        g.V[0] = g.work[0];
        for (int j = 1; j < n; ++j) {
            const double f = m.lower(j) * g.pivot[j - 1];
            g.pivot[j] = 1.0 / (m.diagonal(j) - f * m.upper(j - 1));
            g.V[j] = g.work[j] - f * g.V[j - 1];
        }
        g.V[n - 1] = std::fmax(g.V[n - 1] * g.pivot[n - 1], _intrinsic(g.S[n - 1], o.K, 1));
        for (int j = n - 2; j >= 0; --j) {
            const double v = (g.V[j] - m.upper(j) * g.V[j + 1]) * g.pivot[j];
            g.V[j] = std::fmax(v, _intrinsic(g.S[j], o.K, 1));
        }
    } else {  // exercise below the boundary: eliminate downwards, solve upwards
        g.pivot[n - 1] = 1.0 / m.diagonal(n - 1);
        g.V[n - 1] = g.work[n - 1];
        for (int j = n - 2; j >= 0; --j) {
            const double f = m.upper(j) * g.pivot[j + 1];
            g.pivot[j] = 1.0 / (m.diagonal(j) - f * m.lower(j + 1));
            g.V[j] = g.work[j] - f * g.V[j + 1];
        }
        g.V[0] = std::fmax(g.V[0] * g.pivot[0], _intrinsic(g.S[0], o.K, -1));
        for (int j = 1; j < n; ++j) {
            const double v = (g.V[j] - m.lower(j) * g.V[j - 1]) * g.pivot[j];
            g.V[j] = std::fmax(v, _intrinsic(g.S[j], o.K, -1));
        }
    }
}

// Whether g.V solves the complementarity problem: the equation where V is
// above the exercise value, the equation's residual >= 0 where it is on it.
bool complementary(const Option& o, const Grid& g, const Rows& m) {
    for (int j = 0; j < g.n; ++j) {
        const double exercise = _intrinsic(g.S[j], o.K, o.side);
        const double residual = m.residual(j, g.work);
        const double tolerance = LCP_TOL * (std::fabs(g.work[j]) + exercise + o.K);
        if (g.V[j] > exercise ? std::fabs(residual) > tolerance : residual < -tolerance) {
            return false;
        }
    }
    return true;
}

// Policy iteration (Howard): the rows of the exercise set fix V to the
// exercise value, the others solve the equation; a node joins the set where
// the solution falls below the exercise value and leaves it where the
// equation's residual turns negative, until the set settles. Started from
// Brennan-Schwartz's set, it settles within a round or two.
void policy_iteration(const Option& o, Grid& g, const Rows& m) {
    const int n = g.n;
    bool exercised[MAX_NODES];
    for (int j = 0; j < n; ++j) {
        exercised[j] = !(g.V[j] > _intrinsic(g.S[j], o.K, o.side));
    }
    for (int round = 0; round < POLICY_ROUNDS; ++round) {
        const auto row = [&](int j, double* lower, double* diagonal, double* upper, double* rhs) {
            const bool fixed = exercised[j];
            *lower = fixed || j == 0 ? 0.0 : m.lower(j);
            *diagonal = fixed ? 1.0 : m.diagonal(j);
            *upper = fixed || j == n - 1 ? 0.0 : m.upper(j);
            *rhs = fixed ? _intrinsic(g.S[j], o.K, o.side) : g.work[j];
        };
        double lower, diagonal, upper, rhs, last_upper;
        row(0, &lower, &diagonal, &upper, &rhs);
        g.pivot[0] = 1.0 / diagonal;
        g.V[0] = rhs;
        last_upper = upper;
        for (int j = 1; j < n; ++j) {
            row(j, &lower, &diagonal, &upper, &rhs);
            const double f = lower * g.pivot[j - 1];
            g.pivot[j] = 1.0 / (diagonal - f * last_upper);
            g.V[j] = rhs - f * g.V[j - 1];
            last_upper = upper;
        }
        g.V[n - 1] *= g.pivot[n - 1];
        for (int j = n - 2; j >= 0; --j) {
            row(j, &lower, &diagonal, &upper, &rhs);
            g.V[j] = (g.V[j] - upper * g.V[j + 1]) * g.pivot[j];
        }
        bool changed = false;
        for (int j = 0; j < n; ++j) {
            const bool below = g.V[j] < _intrinsic(g.S[j], o.K, o.side);
            const bool release = exercised[j] && m.residual(j, g.work) < 0;
            if ((!exercised[j] && below) || release) {
                exercised[j] = !exercised[j];
                changed = true;
            }
        }
        if (!changed) {
            break;
        }
    }
    for (int j = 0; j < n; ++j) {
        g.V[j] = std::fmax(g.V[j], _intrinsic(g.S[j], o.K, o.side));
    }
}

// One theta-step of length dt with the exercise floor. A call's exercise set
// is one interval above a boundary (exercise just before an ex-date gains
// S - K - V(S - d), which rises in S); a put's can split in two (just before
// an ex-date, a spot below the amount is worth K after the drop, more than
// K - S now): Brennan-Schwartz, checked for a put and handed to policy
// iteration where it fails.
void step(const Option& o, Grid& g, double theta, double dt) {
    const int n = g.n;
    const double explicit_dt = (1.0 - theta) * dt;
    for (int j = 0; j < n; ++j) {
        double flow = g.diagonal[j] * g.V[j];
        flow += j > 0 ? g.lower[j] * g.V[j - 1] : 0.0;
        flow += j < n - 1 ? g.upper[j] * g.V[j + 1] : 0.0;
        g.work[j] = g.V[j] + explicit_dt * flow;
    }
    const Rows m{g, theta * dt};
    brennan_schwartz(o, g, m);
    if (o.side != 1 && !complementary(o, g, m)) {
        policy_iteration(o, g, m);
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

GridSize size_grid(int nodes, int steps, double below_width) {
    const int below = static_cast<int>(BELOW_SHARE * (nodes - 1));
    return {below, nodes - 1 - below, steps, below_width};
}

GridValue solve_grid(const Option& o, const GridSize& size, int refine) {
    Grid g;
    const int below = size.below * refine;
    g.n = (size.below + size.above) * refine + 1;
    if (g.n > MAX_NODES || size.below < 2 || size.above < 2) {
        return {DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN};
    }
    const Mesh mesh = mesh_of(o, size.below_width);
    const double step_below = -mesh.xi_low / below, step_above = mesh.xi_top / (g.n - 1 - below);
    for (int j = 0; j < g.n; ++j) {
        const double xi = j < below ? (j - below) * step_below : (j - below) * step_above;
        g.S[j] = mesh.kink + (j < below ? mesh.c_below : mesh.c_above) * std::sinh(xi);
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
