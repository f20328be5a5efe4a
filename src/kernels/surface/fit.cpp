// One slice's quadratic programme (fit.hpp), built over the density at the inner
// knots and solved by qp.cpp, softening the quotes it cannot meet.
#include "surface/fit.hpp"

#include <algorithm>
#include <cmath>

#include "kernels.hpp"
#include "surface/surface.hpp"

namespace velliq::surface {
namespace {

// Violations within these count as none: a band's in spreads, a density's and a
// calendar difference's in normalised price.
constexpr double kBandTolerance = 1e-9;
constexpr double kDensityTolerance = 1e-12;
constexpr double kCalendarTolerance = 1e-14;
constexpr double kLeastSpread = 1e-4;
// Where the bands cannot all be met: a band's violation priced per spread, far above
// what the mid's pull (in squared vols) could gain outside it; a tiny squared weight
// keeping the programme strictly convex; a slack above the tolerance: softened.
constexpr double kSlackPrice = 1.0;
constexpr double kSlackCurvature = 1e-6;
constexpr double kSlackTolerance = 1e-6;
static_assert(std::bit_cast<std::uint64_t>(kSlackPrice) == 0x3FF0000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(kSlackCurvature) == 0x3EB0C6F7A0B5ED8DULL);
static_assert(std::bit_cast<std::uint64_t>(kSlackTolerance) == 0x3EB0C6F7A0B5ED8DULL);
static_assert(std::bit_cast<std::uint64_t>(kLeastSpread) == 0x3F1A36E2EB1C432DULL);
// A tolerance that no violation reaches: the row is off.
constexpr double kOff = DOUBLE_MAX;
static_assert(std::bit_cast<std::uint64_t>(kBandTolerance) == 0x3E112E0BE826D695ULL);
static_assert(std::bit_cast<std::uint64_t>(kDensityTolerance) == 0x3D719799812DEA11ULL);
static_assert(std::bit_cast<std::uint64_t>(kCalendarTolerance) == 0x3D06849B86A12B9BULL);

int inequality_rows(int knots, int quotes) {
    return 2 * quotes + (knots - 2) + 2 * (3 * knots - 2);
}

// The elastic programme's variables (the knots' masses, then a slack per quote) and
// inequalities (the hard programme's, then slack >= 0).
int elastic_variables(int knots, int quotes) {
    return knots - 2 + quotes;
}
int elastic_rows(int knots, int quotes) {
    return inequality_rows(knots, quotes) + quotes;
}

// The caller's memory, cut into the arrays of one problem.
struct Layout {
    int n, nv, rows;
    double *call_v, *call_s, *put_v, *put_s;  // per knot, the hats' contributions (n * nv)
    double *tails, *row, *spread;             // tails: a unit density and its four tails (5 * n)
    double *G, *G_base, *g, *g_base, *E, *e, *C, *c, *tol, *x, *scale;
    // The elastic programme (m variables, rows_m inequalities): its own G, g, E, C, c,
    // tolerances and solution; qp's work is sized for it and serves both.
    int m, rows_m;
    double *Gm, *gm, *Em, *Cm, *cm, *tolm, *xm;
    int* slack_of;  // per quote: its slack's column after the masses, or -1
    QpWork qp;

    Layout(int knots, int quotes, double* d, int* ints, bool* bools) {
        n = knots;
        nv = knots - 2;
        rows = inequality_rows(knots, quotes);
        m = elastic_variables(knots, quotes);
        rows_m = elastic_rows(knots, quotes);
        const auto take = [&d](std::size_t count) {
            double* p = d;
            d += count;
            return p;
        };
        const std::size_t nn = static_cast<std::size_t>(n) * nv;
        const std::size_t vv = static_cast<std::size_t>(nv) * nv;
        call_v = take(nn), call_s = take(nn), put_v = take(nn), put_s = take(nn);
        tails = take(5 * static_cast<std::size_t>(n));
        row = take(nv), spread = take(quotes);
        G = take(vv), G_base = take(vv), g = take(nv), g_base = take(nv);
        E = take(2 * static_cast<std::size_t>(nv)), e = take(2);
        C = take(static_cast<std::size_t>(rows) * nv), c = take(rows), tol = take(rows);
        x = take(nv);
        scale = take(nv);
        const std::size_t mm = static_cast<std::size_t>(m) * m;
        Gm = take(mm), gm = take(m), Em = take(2 * static_cast<std::size_t>(m));
        Cm = take(static_cast<std::size_t>(rows_m) * m), cm = take(rows_m), tolm = take(rows_m);
        xm = take(m);
        qp = {take(mm), take(mm), take(m),      take(m), take(m),
              take(m),  ints,     take(rows_m), bools,   ints + m};
        slack_of = ints + m + 2 * static_cast<std::ptrdiff_t>(rows_m);
    }
};

// call_v[j * nv + r]: the call at knot j from the hat of inner knot r + 1 (and so
// for the call's slope, the put and the put's slope).
void hat_rows(const double* grid, const Layout& L) {
    double* unit = L.tails;
    double* call = unit + L.n;
    double* call_slope = call + L.n;
    double* put = call_slope + L.n;
    double* put_slope = put + L.n;
    std::fill(unit, unit + L.n, 0.0);
    for (int r = 0; r < L.nv; ++r) {
        unit[r + 1] = 1.0;
        surface_tails(grid, L.n, unit, call, call_slope, put, put_slope);
        unit[r + 1] = 0.0;
        for (int j = 0; j < L.n; ++j) {
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * L.nv + r;
            L.call_v[at] = call[j];
            L.call_s[at] = call_slope[j];
            L.put_v[at] = put[j];
            L.put_s[at] = put_slope[j];
        }
    }
}

// The out-of-the-money price at k as a row over the inner knots; false outside
// the grid, where it is 0 whatever the density.
bool quote_row(const double* grid, const Layout& L, double k, double* out) {
    if (!(k > grid[0] && k < grid[L.n - 1])) {
        return false;
    }
    const int j = static_cast<int>(std::upper_bound(grid, grid + L.n, k) - grid) - 1;
    const double h = grid[j + 1] - grid[j];
    const double t = k - grid[j];
    const bool call = k >= 1.0;
    const double* v = (call ? L.call_v : L.put_v) + static_cast<std::ptrdiff_t>(j) * L.nv;
    const double* s = (call ? L.call_s : L.put_s) + static_cast<std::ptrdiff_t>(j) * L.nv;
    for (int r = 0; r < L.nv; ++r) {
        out[r] = v[r] + t * s[r];
    }
    const double cubic = t * t * t / (6.0 * h);
    if (j >= 1 && j <= L.nv) {
        out[j - 1] += t * t / 2.0 - cubic;
    }
    if (j + 1 <= L.nv) {
        out[j] += cubic;
    }
    return true;
}

// G += weight a a', g -= weight target a, over a's nonzero span.
void add_outer(int nv, double* G, double* g, const double* a, double weight, double target) {
    int first = 0;
    int last = nv;
    while (first < nv && a[first] == 0.0) {
        ++first;
    }
    while (last > first && a[last - 1] == 0.0) {
        --last;
    }
    for (int i = first; i < last; ++i) {
        const double wa = weight * a[i];
        for (int j = first; j < last; ++j) {
            G[i * nv + j] += wa * a[j];
        }
        g[i] -= wa * target;
    }
}

// Variables x_r = scale_r p_r with scale the knots' masses: every row's column r
// and G's row and column r divided by scale_r.
void rescale(const Layout& L) {
    const int nv = L.nv;
    for (int r = 0; r < nv; ++r) {
        L.scale[r] = L.E[r];
    }
    const auto columns = [&](double* rows, int count) {
        for (int i = 0; i < count; ++i) {
            for (int r = 0; r < nv; ++r) {
                rows[static_cast<std::ptrdiff_t>(i) * nv + r] /= L.scale[r];
            }
        }
    };
    columns(L.C, L.rows);
    columns(L.E, 2);
    columns(L.G_base, nv);
    for (int r = 0; r < nv; ++r) {
        L.g_base[r] /= L.scale[r];
        for (int j = 0; j < nv; ++j) {
            L.G_base[r * nv + j] /= L.scale[r];
        }
    }
}

}  // namespace

FitSizes fit_sizes(int knots, int quotes) {
    const std::size_t n = knots;
    const std::size_t nv = n - 2;
    const std::size_t rows = inequality_rows(knots, quotes);
    const std::size_t m = elastic_variables(knots, quotes);
    const std::size_t rows_m = elastic_rows(knots, quotes);
    return {4 * n * nv + 5 * n + nv + quotes + 2 * nv * nv + 2 * nv + 2 * nv + 2 + rows * nv +
                2 * rows + 2 * nv + m * m + 3 * m + rows_m * m + 2 * rows_m + m + 2 * m * m +
                4 * m + rows_m,
            m + 2 * rows_m + quotes, rows_m};
}

namespace {

// The elastic programme over the quotes given a slack (slack_of[quote] >= 0: its
// column after the masses; `members` of them): their two band rows widened by the
// slack (in spreads), slack >= 0, the slacks priced in the objective; the other
// bands stay hard. Its solution's masses go to L.x.
QpResult solve_elastic(const Layout& L, int quotes, const int* slack_of, int members) {
    const int nv = L.nv;
    const int m = nv + members;
    const int rows = L.rows + members;
    const auto widen = [nv, m](const double* from, int count, double* to) {  // columns nv -> m
        for (int i = 0; i < count; ++i) {
            double* row = to + static_cast<std::ptrdiff_t>(i) * m;
            std::copy(from + static_cast<std::ptrdiff_t>(i) * nv, from + (i + 1) * nv, row);
            std::fill(row + nv, row + m, 0.0);
        }
    };
    widen(L.G_base, nv, L.Gm);
    widen(L.E, 2, L.Em);
    widen(L.C, L.rows, L.Cm);
    std::fill(L.Gm + static_cast<std::ptrdiff_t>(nv) * m, L.Gm + static_cast<std::ptrdiff_t>(m) * m,
              0.0);
    std::fill(L.Cm + static_cast<std::ptrdiff_t>(L.rows) * m,
              L.Cm + static_cast<std::ptrdiff_t>(rows) * m, 0.0);
    std::copy(L.g_base, L.g_base + nv, L.gm);
    std::copy(L.c, L.c + L.rows, L.cm);
    std::copy(L.tol, L.tol + L.rows, L.tolm);
    for (int i = 0; i < 2 * quotes; ++i) {
        if (slack_of[i / 2] >= 0) {
            L.Cm[static_cast<std::ptrdiff_t>(i) * m + nv + slack_of[i / 2]] = 1.0;
        }
    }
    for (int i = 0; i < members; ++i) {
        L.Gm[static_cast<std::ptrdiff_t>(nv + i) * m + nv + i] = kSlackCurvature;
        L.gm[nv + i] = kSlackPrice;
        L.Cm[static_cast<std::ptrdiff_t>(L.rows + i) * m + nv + i] = 1.0;
        L.cm[L.rows + i] = 0.0;
        L.tolm[L.rows + i] = kDensityTolerance;
    }
    const QpResult result =
        solve_qp(m, L.Gm, L.gm, 2, L.Em, L.e, rows, L.Cm, L.cm, L.tolm, 2 * quotes, L.xm, L.qp);
    std::copy(L.xm, L.xm + nv, L.x);
    return result;
}

}  // namespace

int fit_slice(const SliceProblem& P, double* doubles, int* ints, bool* bools, double* density) {
    const Layout L(P.knots, P.quotes, doubles, ints, bools);
    const int n = L.n;
    const int nv = L.nv;
    const double* grid = P.grid;
    std::fill(density, density + n, 0.0);
    hat_rows(grid, L);
    std::fill(L.G_base, L.G_base + static_cast<std::ptrdiff_t>(nv) * nv, 0.0);
    std::fill(L.g_base, L.g_base + nv, 0.0);
    // Mass 1 and mean 1.
    for (int r = 0; r < nv; ++r) {
        const double h0 = grid[r + 1] - grid[r];
        const double h1 = grid[r + 2] - grid[r + 1];
        L.E[r] = (h0 + h1) / 2.0;
        L.E[nv + r] = grid[r + 1] * (h0 + h1) / 2.0 + (h1 * h1 - h0 * h0) / 6.0;
    }
    L.e[0] = 1.0;
    L.e[1] = 1.0;
    // Quotes: two band rows each, scaled to spreads, and the pull to the mid.
    for (int i = 0; i < P.quotes; ++i) {
        double* lower = L.C + static_cast<std::ptrdiff_t>(2 * i) * nv;
        double* upper = lower + nv;
        const bool has_lo = P.lo[i] > 0.0;
        const double lo = has_lo ? P.lo[i] : 0.0;
        // A band of no width is given a ten-thousandth of its price.
        const double spread = std::max(P.hi[i] - lo, kLeastSpread * P.hi[i] + 1e-300);
        L.spread[i] = spread;
        const bool inside = quote_row(grid, L, P.k[i], L.row);
        for (int r = 0; r < nv; ++r) {
            lower[r] = inside ? L.row[r] / spread : 0.0;
            upper[r] = -lower[r];
        }
        L.c[2 * i] = lo / spread;
        L.c[2 * i + 1] = -P.hi[i] / spread;
        L.tol[2 * i] = inside && has_lo ? kBandTolerance : kOff;
        L.tol[2 * i + 1] = inside ? kBandTolerance : kOff;
        if (inside && !std::isnan(P.mid[i])) {
            add_outer(nv, L.G_base, L.g_base, L.row, P.weight[i] * P.weight[i], P.mid[i]);
        }
    }
    // Density >= 0.
    int at = 2 * P.quotes;
    for (int r = 0; r < nv; ++r, ++at) {
        double* row = L.C + static_cast<std::ptrdiff_t>(at) * nv;
        std::fill(row, row + nv, 0.0);
        row[r] = 1.0;
        L.c[at] = 0.0;
        L.tol[at] = kDensityTolerance;
    }
    // Calendar: sign * (this slice - the other) with non-negative Bernstein coefficients.
    const double* others[2][2] = {{P.below_value, P.below_slope}, {P.above_value, P.above_slope}};
    for (int side = 0; side < 2; ++side) {
        const double* value = others[side][0];
        const double* slope = others[side][1];
        const double sign = side == 0 ? 1.0 : -1.0;
        for (int q = 0; q < 3 * n - 2; ++q, ++at) {
            double* row = L.C + static_cast<std::ptrdiff_t>(at) * nv;
            // q < n: the value at knot q; then b1 of cell q - n, then b2 of cell q - 2n + 1.
            const int knot = q < n ? q : (q < 2 * n - 1 ? q - n : q - 2 * n + 2);
            const int cell = q < n ? 0 : (q < 2 * n - 1 ? q - n : q - 2 * n + 1);
            const double shift =
                q < n ? 0.0 : (q < 2 * n - 1 ? 1.0 : -1.0) * (grid[cell + 1] - grid[cell]) / 3.0;
            const bool call = grid[knot] >= 1.0;
            const double* v = (call ? L.call_v : L.put_v) + static_cast<std::ptrdiff_t>(knot) * nv;
            const double* s = (call ? L.call_s : L.put_s) + static_cast<std::ptrdiff_t>(knot) * nv;
            for (int r = 0; r < nv; ++r) {
                row[r] = sign * (v[r] + shift * s[r]);
            }
            const bool given = value != nullptr;
            L.c[at] = given ? sign * (value[knot] + shift * slope[knot]) : 0.0;
            L.tol[at] = given ? kCalendarTolerance : kOff;
        }
    }
    // Smoothness (the ends held at 0), the prior, and a ridge keeping G definite.
    for (int j = 0; j < nv; ++j) {  // second difference centred on inner knot j
        const int idx[3] = {j - 1, j, j + 1};
        const double coef[3] = {1.0, -2.0, 1.0};
        for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) {
                if (idx[a] >= 0 && idx[a] < nv && idx[b] >= 0 && idx[b] < nv) {
                    L.G_base[idx[a] * nv + idx[b]] += P.smooth * coef[a] * coef[b];
                }
            }
        }
    }
    for (int r = 0; r < nv; ++r) {
        if (P.prior != nullptr) {
            L.G_base[r * nv + r] += P.prior_weight;
            L.g_base[r] -= P.prior_weight * P.prior[r + 1];
        }
        L.G_base[r * nv + r] *= 1.0 + 1e-10;
    }
    // The variables become the knots' masses (density times E's mass row), so that the
    // programme's numbers are of one scale from the forward to the far wings.
    rescale(L);
    // Hard bands first. Where they cannot all be met, slacks go (as generated columns) to
    // the band that could not be met, or the one pushing hardest, and to every hard band
    // whose multiplier exceeds the slack's price, until none does: the elastic optimum.
    int* slack_of = L.slack_of;
    std::fill(slack_of, slack_of + P.quotes, -1);
    int members = 0;
    int before = -1;
    bool solved = false;
    for (int round = 0; members != before; ++round) {
        QpResult result{QpStatus::iterations, -1, 0};
        if (members == 0) {
            std::copy(L.G_base, L.G_base + static_cast<std::ptrdiff_t>(nv) * nv, L.G);
            result = solve_qp(nv, L.G, L.g_base, 2, L.E, L.e, L.rows, L.C, L.c, L.tol, 2 * P.quotes,
                              L.x, L.qp);
        } else {
            result = solve_elastic(L, P.quotes, slack_of, members);
        }
        solved = result.status == QpStatus::solved;
        if ((!solved && result.status != QpStatus::infeasible) || round > P.quotes) {
            return -1;
        }
        before = members;
        const auto give_slack = [&](int row) {
            if (row >= 0 && row < 2 * P.quotes && slack_of[row / 2] < 0) {
                slack_of[row / 2] = members++;
            }
        };
        if (!solved) {
            int band = result.culprit < 2 * P.quotes ? result.culprit : -1;
            double pushing = 0.0;
            for (int a = 2; band < 0 && a < result.active; ++a) {
                const int row = L.qp.active[a];
                if (row >= 0 && row < 2 * P.quotes && slack_of[row / 2] < 0 &&
                    L.qp.u[a] > pushing) {
                    pushing = L.qp.u[a];
                    band = row;
                }
            }
            give_slack(band);
        }
        for (int a = 2; members > 0 && a < result.active; ++a) {
            if (L.qp.u[a] > kSlackPrice) {
                give_slack(L.qp.active[a]);
            }
        }
    }
    if (!solved) {
        return -1;
    }
    int softened = 0;
    for (int q = 0; q < P.quotes; ++q) {
        softened += slack_of[q] >= 0 && L.xm[L.nv + slack_of[q]] > kSlackTolerance ? 1 : 0;
    }
    for (int r = 0; r < nv; ++r) {
        density[r + 1] = std::max(L.x[r], 0.0) / L.scale[r];
    }
    return softened;
}

}  // namespace velliq::surface
