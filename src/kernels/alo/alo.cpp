// American put by its early-exercise-premium representation (Kim 1990) and
// exercise boundary B (Andersen, Lake & Offengelden 2016, "High-performance
// American option pricing", J. Comput. Finance 20(1)); calls by put-call
// symmetry. With rates r, q, volatility v and T = 1 (see american_alo.hpp):
//
//   P(S) = p(S) + int_0^1 [r K e^{-r(1-u)} N(-d-(1-u, S/B(u)))
//                         - q S e^{-q(1-u)} N(-d+(1-u, S/B(u)))] du,
//   B(tau) = K e^{-(r-q) tau} N(tau, B) / D(tau, B),
//
// p the Black price, d+-(s, x) = (ln x + (r - q) s +- v^2 s / 2) / (v sqrt(s)),
// N and D those of the paper's smooth-pasting equation FP-A, or of the value-
// matching equation FP-B where FP-A diverges. ln(B/X)^2, X = B(0+) = K min(1, r/q),
// is collocated at the Chebyshev nodes of sqrt(tau); the first iterate is Li's
// QD+ boundary (Li 2010, Rev. Deriv. Res. 13); Anderson acceleration speeds the
// fixed-point iteration; integrals are Gauss-Legendre in theta, u = tau sin^2(theta/2).
#include "alo/alo.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "kernels.hpp"

namespace velliq {

namespace {

inline constexpr double PI = 3.141592653589793;
static_assert(std::bit_cast<std::uint64_t>(PI) == 0x400921FB54442D18ULL);

// The smooth-pasting iteration converges fastest but diverges for a negative
// yield and once r^2 > ALO_FP_B_RATIO v^2 (rT over the variance v^2 T, times
// rT); there the value-matching iteration is used.
inline constexpr double ALO_FP_B_RATIO = 2.0;
// Anderson acceleration mixes the last ALO_AA_DEPTH + 1 iterates.
inline constexpr int ALO_AA_DEPTH = 2;
// Newton steps of the QD+ equation at each node, and their relative tolerance.
inline constexpr int QDPLUS_MAX_STEPS = 16;
inline constexpr double QDPLUS_TOL = 1e-4;
// The premium's layer piece covers sqrt(1 - u) in [0, 1/2]; the bulk covers
// the rest, theta in [0, 2 pi / 3].
inline constexpr double LAYER_END = 0.5;
static_assert(std::bit_cast<std::uint64_t>(ALO_FP_B_RATIO) == 0x4000000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(QDPLUS_TOL) == 0x3F1A36E2EB1C432DULL);
static_assert(std::bit_cast<std::uint64_t>(LAYER_END) == 0x3FE0000000000000ULL);

// The normal density and distribution as _norm_pdf and _norm_cdf compute them
// above z = -10, inlined into the quadrature loops; their sums never need the
// relative precision of the far lower tail that _norm_cdf's series gives.
inline double pdf(double x) {
    return ONE_OVER_SQRT_TWO_PI * std::exp((-0.5 * x) * x);
}
inline double cdf(double x) {
    return 0.5 * std::erfc(-(x * ONE_OVER_SQRT_TWO));
}

// --- Gauss-Legendre rules, computed at compile time -------------------------

// sin and cos on [0, pi] by reduction to [0, pi/4] and their Taylor series,
// accurate to a few ulps; only the tables below use them.
constexpr double taylor_cos(double x) {
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 12; ++k) {
        term *= -x * x / ((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sum;
}
constexpr double taylor_sin(double x) {
    double term = x, sum = x;
    for (int k = 1; k < 12; ++k) {
        term *= -x * x / ((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}
constexpr double table_cos(double x) {
    if (x > PI / 2) {
        return -table_cos(PI - x);
    }
    if (x > PI / 4) {
        return taylor_sin(PI / 2 - x);
    }
    return taylor_cos(x);
}
constexpr double table_sin(double x) {
    if (x > PI / 2) {
        return table_sin(PI - x);
    }
    if (x > PI / 4) {
        return taylor_cos(PI / 2 - x);
    }
    return taylor_sin(x);
}

// Legendre P_L(x) and P_L'(x) by the three-term recurrence.
constexpr void legendre(int L, double x, double* p, double* dp) {
    double p0 = 1.0, p1 = x;
    for (int k = 2; k <= L; ++k) {
        const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
    }
    *p = p1;
    *dp = L * (x * p1 - p0) / (x * x - 1);
}

// Nodes x and weights w on [-1, 1], and the same rule after the substitutions
// the kernel uses: u = tau sin^2(theta/2) with theta = pi (1 + x) / 2 over the
// whole interval (s = sin(theta/2), c = cos(theta/2), weight w (pi/2) s c per
// unit tau), and theta = (pi/3)(1 + x) for the premium's bulk piece.
template <int L>
struct GaussRule {
    std::array<double, L> x{}, w{};
    std::array<double, L> full_s{}, full_c{}, full_w{};
    std::array<double, L> bulk_s{}, bulk_c{}, bulk_w{};
};

template <int L>
constexpr GaussRule<L> make_rule() {
    GaussRule<L> rule;
    for (int i = 0; i < L; ++i) {
        // Newton from Tricomi's first approximation; the nodes descend.
        double x = table_cos(PI * (i + 0.75) / (L + 0.5));
        double p = 0.0, dp = 1.0;
        for (int step = 0; step < 100; ++step) {
            legendre(L, x, &p, &dp);
            const double dx = p / dp;
            x -= dx;
            if ((dx < 0 ? -dx : dx) < 1e-15) {
                break;
            }
        }
        legendre(L, x, &p, &dp);
        rule.x[i] = x;
        rule.w[i] = 2.0 / ((1.0 - x * x) * dp * dp);
        const double half = PI * (1.0 + x) / 4.0;
        rule.full_s[i] = table_sin(half);
        rule.full_c[i] = table_cos(half);
        rule.full_w[i] = rule.w[i] * (PI / 2.0) * rule.full_s[i] * rule.full_c[i];
        const double bulk_half = PI * (1.0 + x) / 6.0;
        rule.bulk_s[i] = table_sin(bulk_half);
        rule.bulk_c[i] = table_cos(bulk_half);
        rule.bulk_w[i] = rule.w[i] * (PI / 3.0) * rule.bulk_s[i] * rule.bulk_c[i];
    }
    return rule;
}

template <int L>
inline constexpr GaussRule<L> GAUSS_RULE = make_rule<L>();

template <int L>
constexpr double weight_sum() {
    double sum = 0.0;
    for (double w : GAUSS_RULE<L>.w) {
        sum += w;
    }
    return sum;
}
// The weights integrate 1 over [-1, 1]; the two-point nodes are +-1/sqrt(3).
static_assert(weight_sum<4>() > 2.0 - 4 * DOUBLE_EPS && weight_sum<4>() < 2.0 + 4 * DOUBLE_EPS);
static_assert(weight_sum<32>() > 2.0 - 16 * DOUBLE_EPS && weight_sum<32>() < 2.0 + 16 * DOUBLE_EPS);
static_assert(GAUSS_RULE<2>.x[0] * GAUSS_RULE<2>.x[0] > 1.0 / 3.0 - DOUBLE_EPS &&
              GAUSS_RULE<2>.x[0] * GAUSS_RULE<2>.x[0] < 1.0 / 3.0 + DOUBLE_EPS);

struct RuleView {
    const double *x, *w, *full_s, *full_c, *full_w, *bulk_s, *bulk_c, *bulk_w;
    int size;
};

template <int L>
RuleView view() {
    const GaussRule<L>& r = GAUSS_RULE<L>;
    return {r.x.data(),      r.w.data(),      r.full_s.data(),
            r.full_c.data(), r.full_w.data(), r.bulk_s.data(),
            r.bulk_c.data(), r.bulk_w.data(), L};
}

RuleView gauss_rule(int L) {
    switch (L) {
        case 4:
            return view<4>();
        case 6:
            return view<6>();
        case 8:
            return view<8>();
        case 10:
            return view<10>();
        case 12:
            return view<12>();
        case 16:
            return view<16>();
        case 20:
            return view<20>();
        case 24:
            return view<24>();
        case 32:
            return view<32>();
        default:
            return {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
    }
}

// --- Chebyshev interpolation of H(xi) = ln(B(xi^2)/X)^2 ---------------------

// Nodes xi_i = (1 + cos(i pi / n)) / 2, i = 0..n: i = 0 is tau = 1, i = n is
// tau = 0 where H = 0. z = 2 xi - 1 is the Chebyshev variable.
struct Interpolant {
    int n;
    double cos_table[ALO_MAX_NODES + 1];  // cos(j pi / n)
    double a[ALO_MAX_NODES + 1];          // coefficients, a[0] and a[n] halved

    void fit(const double* H) {
        for (int k = 0; k <= n; ++k) {
            // sum'' H_i cos(i k pi / n): halved end terms; cos(j pi/n) for j
            // beyond n folds back by symmetry.
            double sum = 0.5 * (H[0] + ((k & 1) ? -H[n] : H[n]));
            int j = 0;  // i k mod 2n
            for (int i = 1; i < n; ++i) {
                j += k;
                if (j >= 2 * n) {
                    j -= 2 * n;
                }
                sum += H[i] * cos_table[j <= n ? j : 2 * n - j];
            }
            a[k] = (2.0 / n) * sum;
        }
        a[0] *= 0.5;
        a[n] *= 0.5;
    }
    // ln(B/X) <= 0 at the points xi[p] = sqrt(u), p < count; an
    // interpolated H below zero is B = X. Clenshaw's recurrence runs on
    // CHAINS points at a time: independent chains hide each step's latency.
    static constexpr int CHAINS = 8;
    void log_ratios(const double* xi, int count, double* out) const {
        for (int p = 0; p < count; p += CHAINS) {
            double z[CHAINS], y[CHAINS], b1[CHAINS], b2[CHAINS];
            for (int j = 0; j < CHAINS; ++j) {
                z[j] = p + j < count ? xi[p + j] + xi[p + j] - 1.0 : 0.0;
                y[j] = z[j] + z[j];
                b1[j] = 0.0;
                b2[j] = 0.0;
            }
            for (int k = n; k >= 1; --k) {
                const double ak = a[k];
#pragma GCC unroll 8
                for (int j = 0; j < CHAINS; ++j) {
                    // ak - b2 is ready a step early: one multiply and one add
                    // on each chain's critical path.
                    const double t = y[j] * b1[j] + (ak - b2[j]);
                    b2[j] = b1[j];
                    b1[j] = t;
                }
            }
            double h[CHAINS];
            for (int j = 0; j < CHAINS; ++j) {
                const double value = z[j] * b1[j] - b2[j] + a[0];
                h[j] = -std::sqrt(value > 0.0 ? value : 0.0);
            }
            for (int j = 0; j < CHAINS && p + j < count; ++j) {
                out[p + j] = h[j];
            }
        }
    }
};

// --- The put of rates r, q and volatility v over T = 1 ----------------------

struct PutProblem {
    double r, q, v;
    double x_ratio;      // X / K
    double log_x_ratio;  // ln(X / K)
};

// Li's QD+ critical price at tau, as a fraction of the strike, by Newton's
// method on its exact derivative, kept inside a bracket of the root; start is
// the first guess. Writing alpha = 2r/v^2, beta = 2(r-q)/v^2, h = 1 - e^{-r tau}
// and lambda the negative root of lambda^2 + (beta-1) lambda - alpha/h = 0:
//   (1 - e^{-q tau} N(-d+)) b + (lambda + c0) (1 - b - p(b)) = 0,
//   c0 = -(1-h) alpha / (2 lambda + beta - 1)
//        * [1/h - e^{r tau} Theta / (r (1 - b - p)) + lambda' / (2 lambda + beta - 1)],
// with p and Theta the European put and its calendar-time theta at spot b.
// alpha/h and alpha/r stay finite as r -> 0, so r = 0 needs no branch.
double qdplus_boundary(const PutProblem& P, double tau, double start) {
    const double r = P.r, q = P.q, v = P.v;
    const double v2 = v * v, sqrt_tau = std::sqrt(tau), vt = v * sqrt_tau;
    const double h = -std::expm1(-r * tau);
    const double alpha_over_h = (2.0 / v2) * (r == 0.0 ? 1.0 / tau : r / h);
    const double beta = 2.0 * (r - q) / v2;
    const double disc = (beta - 1.0) * (beta - 1.0) + 4.0 * alpha_over_h;
    const double root = std::sqrt(disc);
    // The negative root; through the positive one when beta < 1 would make
    // -(beta - 1) - root cancel (the roots multiply to -alpha/h).
    const double lambda =
        beta < 1.0 ? -2.0 * alpha_over_h / (root - (beta - 1.0)) : 0.5 * (-(beta - 1.0) - root);
    const double dr = std::exp(-r * tau), dq = std::exp(-q * tau);
    // The parts of c0 * sqrt(disc) that do not depend on b.
    const double c0_fixed = (1.0 - h) * alpha_over_h * (1.0 - alpha_over_h / disc);
    double lo = 0.0, hi = P.x_ratio, b = start;
    for (int step = 0; step < QDPLUS_MAX_STEPS; ++step) {
        const double dp = (std::log(b) + (r - q) * tau) / vt + 0.5 * vt;
        const double dm = dp - vt;
        const double n_dp = cdf(-dp), n_dm = cdf(-dm), density = pdf(dp);
        const double put = dr * n_dm - b * dq * n_dp;
        const double theta =
            r * dr * n_dm - q * b * dq * n_dp - v * b * dq * density / (2.0 * sqrt_tau);
        const double eps = 1.0 - b - put;
        const double c0 = (c0_fixed - (2.0 / v2) * theta / eps) / root;
        const double g = (1.0 - dq * n_dp) * b + (lambda + c0) * eps;
        const double d_eps = dq * n_dp - 1.0;
        const double d_theta = dq * (-(r - q) * density / vt - q * n_dp -
                                     v * density * (1.0 - dp / vt) / (2.0 * sqrt_tau));
        const double d_c0 = -(2.0 / v2) * (d_theta - theta * d_eps / eps) / (eps * root);
        const double dg =
            (1.0 - dq * n_dp) + dq * density / vt + (lambda + c0) * d_eps + d_c0 * eps;
        if (g < 0.0) {
            lo = b;
        } else {
            hi = b;
        }
        double next = b - g / dg;
        if (!(next > lo && next < hi)) {  // also catches NaN: bisect instead
            next = 0.5 * (lo + hi);
        }
        const bool done = std::fabs(next - b) <= QDPLUS_TOL * b;
        b = next;
        if (done) {
            break;
        }
    }
    return b;
}

// The boundary as the Chebyshev interpolant of H at its final iterate.
struct Boundary {
    Interpolant H;
    double g_end;  // ln(B(1)/X)
};

// Quantities of the nodes' quadrature points that the iterations share, point
// k of node i at i * l + k: sqrt(u), the weights times e^{ru} and e^{qu},
// 1 / (v sqrt(tau - u)), and the part of d+(tau - u, .) that does not depend
// on the boundary.
struct PointTable {
    static constexpr int SIZE = ALO_MAX_NODES * ALO_MAX_POINTS;
    double root_u[SIZE], er[SIZE], eq[SIZE], vs[SIZE], inv_vs[SIZE], shift[SIZE];

    void fill(const PutProblem& P, const RuleView& R, const double* xi, int n) {
        const double drift = (P.r - P.q) / P.v;
        for (int i = 0; i < n; ++i) {
            const double tau = xi[i] * xi[i];
            for (int k = 0; k < R.size; ++k) {
                const int at = i * R.size + k;
                const double u = tau * R.full_s[k] * R.full_s[k];
                vs[at] = P.v * xi[i] * R.full_c[k];  // v sqrt(tau - u)
                root_u[at] = xi[i] * R.full_s[k];
                er[at] = tau * R.full_w[k] * std::exp(P.r * u);
                eq[at] = P.q != 0.0 ? tau * R.full_w[k] * std::exp(P.q * u) : 0.0;
                inv_vs[at] = 1.0 / vs[at];
                // (r - q) s / (v sqrt(s)) + v sqrt(s) / 2 at s = tau - u
                shift[at] = drift * xi[i] * R.full_c[k] + 0.5 * vs[at];
            }
        }
    }
};

// Right-hand side of the fixed-point equation at node tau = xi^2 with
// g = ln(B(tau)/X), given ln(B(u)/X) at its count points (log_b, from the
// current interpolant) and their entries of the point table from first; returns
// the new ln(B/X). With s = tau - u, x = B(tau)/B(u) and d0+- = d+-(tau, B(tau)/K):
//   FP-A  N = phi(d0-)/(v sqrt(tau)) + r int e^{ru} phi(d-(s, x)) / (v sqrt(s)) du,
//         D = phi(d0+)/(v sqrt(tau)) + N(d0+)
//             + q int e^{qu} [N(d+(s, x)) + phi(d+(s, x)) / (v sqrt(s))] du;
//   FP-B  N = N(d0-) + r int e^{ru} N(d-(s, x)) du,  D = N(d0+) + q int e^{qu} N(d+(s, x)) du.
// The transcendental calls fill arrays of their own so that no running sum
// lives across a call.
double fixed_point_update(const PutProblem& P, const PointTable& T, int first, int count,
                          const double* log_b, double xi, double g, bool smooth_pasting) {
    const double r = P.r, q = P.q, v = P.v;
    const double tau = xi * xi, vt = v * xi;
    const double *er = T.er + first, *eq = T.eq + first, *inv_vs = T.inv_vs + first;
    double dp[ALO_MAX_POINTS], dm[ALO_MAX_POINTS], f_r[ALO_MAX_POINTS], f_q[ALO_MAX_POINTS];
    for (int k = 0; k < count; ++k) {
        dp[k] = (g - log_b[k]) * inv_vs[k] + T.shift[first + k];  // ln(B(tau)/B(u)) in d+
        dm[k] = dp[k] - T.vs[first + k];
    }
    double int_r = 0.0, int_q = 0.0;
    if (smooth_pasting) {
        for (int k = 0; k < count; ++k) {
            f_r[k] = pdf(dm[k]);
        }
        for (int k = 0; k < count; ++k) {
            int_r += er[k] * f_r[k] * inv_vs[k];
        }
        if (q != 0.0) {
            for (int k = 0; k < count; ++k) {
                f_q[k] = cdf(dp[k]);
            }
            for (int k = 0; k < count; ++k) {
                f_r[k] = pdf(dp[k]);
            }
            for (int k = 0; k < count; ++k) {
                int_q += eq[k] * (f_q[k] + f_r[k] * inv_vs[k]);
            }
        }
    } else {
        for (int k = 0; k < count; ++k) {
            f_r[k] = cdf(dm[k]);
        }
        for (int k = 0; k < count; ++k) {
            int_r += er[k] * f_r[k];
        }
        if (q != 0.0) {
            for (int k = 0; k < count; ++k) {
                f_q[k] = cdf(dp[k]);
            }
            for (int k = 0; k < count; ++k) {
                int_q += eq[k] * f_q[k];
            }
        }
    }
    const double dp0 = (P.log_x_ratio + g + (r - q) * tau) / vt + 0.5 * vt;
    const double dm0 = dp0 - vt;
    double num, den;
    if (smooth_pasting) {
        num = pdf(dm0) / vt + r * int_r;
        den = pdf(dp0) / vt + cdf(dp0) + q * int_q;
    } else {
        num = cdf(dm0) + r * int_r;
        den = cdf(dp0) + q * int_q;
    }
    // An iterate far outside the d+- range of the true boundary can leave no
    // positive ratio (a negative yield makes den a difference): keep g then.
    if (!(num > 0.0 && den > 0.0 && num < INFINITY && den < INFINITY)) {
        return g;
    }
    // B = K e^{-(r-q) tau} num / den, as ln(B/X); B never exceeds X.
    const double next = std::log(num / den) - (r - q) * tau - P.log_x_ratio;
    return next < 0.0 ? next : 0.0;
}

// Anderson acceleration of depth <= ALO_AA_DEPTH: from the last iterates x_j
// and their images f_j (residuals g_j = f_j - x_j), the next iterate is
// f_k - sum_c gamma_c (f_{k-c} - f_{k-c-1}), gamma minimising
// |g_k - sum_c gamma_c (g_{k-c} - g_{k-c-1})| by the normal equations.
struct Anderson {
    int count = 0;
    double x[ALO_AA_DEPTH + 1][ALO_MAX_NODES];
    double f[ALO_AA_DEPTH + 1][ALO_MAX_NODES];

    void next(int n, const double* xk, const double* fk, double* out) {
        const int slot = count % (ALO_AA_DEPTH + 1);
        for (int i = 0; i < n; ++i) {
            x[slot][i] = xk[i];
            f[slot][i] = fk[i];
            out[i] = fk[i];
        }
        ++count;
        const int depth = count - 1 < ALO_AA_DEPTH ? count - 1 : ALO_AA_DEPTH;
        if (depth == 0) {
            return;
        }
        auto at = [&](int back) { return (count - 1 - back) % (ALO_AA_DEPTH + 1); };
        double dg[ALO_AA_DEPTH][ALO_MAX_NODES];
        double gk[ALO_MAX_NODES];
        for (int i = 0; i < n; ++i) {
            gk[i] = f[at(0)][i] - x[at(0)][i];
        }
        for (int c = 0; c < depth; ++c) {
            const int a = at(c), b = at(c + 1);
            for (int i = 0; i < n; ++i) {
                dg[c][i] = (f[a][i] - x[a][i]) - (f[b][i] - x[b][i]);
            }
        }
        double m[ALO_AA_DEPTH][ALO_AA_DEPTH + 1];
        for (int c = 0; c < depth; ++c) {
            for (int e = 0; e < depth; ++e) {
                double s = 0.0;
                for (int i = 0; i < n; ++i) {
                    s += dg[c][i] * dg[e][i];
                }
                m[c][e] = s;
            }
            double s = 0.0;
            for (int i = 0; i < n; ++i) {
                s += dg[c][i] * gk[i];
            }
            m[c][depth] = s;
        }
        // Gaussian elimination; a vanishing pivot (parallel residual
        // differences) keeps the plain iterate.
        for (int c = 0; c < depth; ++c) {
            if (!(std::fabs(m[c][c]) > 0.0)) {
                return;
            }
            for (int e = c + 1; e < depth; ++e) {
                const double factor = m[e][c] / m[c][c];
                for (int j = c; j <= depth; ++j) {
                    m[e][j] -= factor * m[c][j];
                }
            }
        }
        double gamma[ALO_AA_DEPTH];
        for (int c = depth - 1; c >= 0; --c) {
            double s = m[c][depth];
            for (int e = c + 1; e < depth; ++e) {
                s -= m[c][e] * gamma[e];
            }
            gamma[c] = s / m[c][c];
            if (!std::isfinite(gamma[c])) {
                return;
            }
        }
        for (int c = 0; c < depth; ++c) {
            const int a = at(c), b = at(c + 1);
            for (int i = 0; i < n; ++i) {
                out[i] -= gamma[c] * (f[a][i] - f[b][i]);
            }
        }
    }
};

// Solves for the boundary of the put problem; false when a size of the
// scheme is unsupported.
bool solve_boundary(const PutProblem& P, const AloScheme& s, Boundary* out) {
    const int n = s.nodes;
    const RuleView R = gauss_rule(s.points);
    if (n < 1 || n > ALO_MAX_NODES || s.iterations < 0 || R.size == 0) {
        return false;
    }
    Interpolant& H = out->H;
    H.n = n;
    for (int j = 0; j <= n; ++j) {
        H.cos_table[j] = std::cos(j * PI / n);
    }
    double xi[ALO_MAX_NODES + 1], h[ALO_MAX_NODES + 1], g[ALO_MAX_NODES];
    for (int i = 0; i <= n; ++i) {
        xi[i] = 0.5 * (1.0 + H.cos_table[i]);
    }
    xi[n] = 0.0;
    // QD+ from the node nearest expiry outward, each started from the line
    // through its two neighbours' ln(B/X) in xi (through 0 at xi = 0 first).
    for (int i = n - 1; i >= 0; --i) {
        double guess;
        if (i == n - 1) {
            guess = -P.v * xi[i];
        } else {
            const double prev = i + 2 <= n - 1 ? g[i + 2] : 0.0;
            guess = g[i + 1] + (g[i + 1] - prev) * (xi[i] - xi[i + 1]) / (xi[i + 1] - xi[i + 2]);
        }
        const double b =
            qdplus_boundary(P, xi[i] * xi[i], P.x_ratio * std::exp(guess < 0.0 ? guess : 0.0));
        g[i] = std::log(b / P.x_ratio);
        if (!(g[i] < 0.0)) {
            g[i] = 0.0;  // also a NaN root
        }
        h[i] = g[i] * g[i];
    }
    h[n] = 0.0;
    H.fit(h);

    const bool smooth_pasting = P.q >= 0.0 && P.r * P.r <= ALO_FP_B_RATIO * P.v * P.v;
    // The value-matching iteration contracts about ten times more slowly, so
    // the same step size leaves about ten times the error: stop it later.
    const double tolerance = smooth_pasting ? s.tolerance : 0.1 * s.tolerance;
    PointTable table;
    if (s.iterations > 0) {
        table.fill(P, R, xi, n);
    }
    double log_b[PointTable::SIZE];
    Anderson accel;
    double image[ALO_MAX_NODES], next[ALO_MAX_NODES];
    for (int iter = 0; iter < s.iterations; ++iter) {
        H.log_ratios(table.root_u, n * R.size, log_b);
        double change = 0.0;
        for (int i = 0; i < n; ++i) {
            const int first = i * R.size;
            image[i] = fixed_point_update(P, table, first, R.size, log_b + first, xi[i], g[i],
                                          smooth_pasting);
            const double d = std::fabs(image[i] - g[i]);
            change = d > change ? d : change;
        }
        if (!(change > tolerance)) {  // converged, or NaN: stop on the image
            for (int i = 0; i < n; ++i) {
                next[i] = image[i];
            }
            iter = s.iterations;
        } else {
            accel.next(n, g, image, next);
        }
        for (int i = 0; i < n; ++i) {
            g[i] = next[i] < 0.0 ? next[i] : 0.0;
            h[i] = g[i] * g[i];
        }
        H.fit(h);
    }
    out->g_end = g[0];
    return true;
}

// Early-exercise premium of the put at spot ratio x = S/K > B(1)/K, per unit
// strike. The layer piece maps w = sqrt(1 - u) = eps sinh(mu (1 + t) / 2)
// on [0, LAYER_END], with eps = ln(S/B(1)) / v the width over which
// N(-d(1-u, S/B(u))) rises from zero; the bulk piece is theta in [0, 2 pi/3].
double put_premium(const PutProblem& P, const Boundary& B, double x, const RuleView& layer,
                   const RuleView& bulk) {
    const double r = P.r, q = P.q, v = P.v;
    const double log_x = std::log(x / P.x_ratio);  // ln(S/X)
    // A spot within rounding of B(1) has no layer to resolve.
    const double eps = std::fmax((log_x - B.g_end) / v, DOUBLE_EPS);
    const double mu = std::asinh(LAYER_END / eps);
    // Points: sqrt(u), sqrt(1 - u) and weights of both pieces, then the integrand.
    constexpr int most = 2 * ALO_MAX_POINTS;
    double root_u[most], root_s[most], weight[most], log_b[most];
    int count = 0;
    for (int k = 0; k < layer.size; ++k, ++count) {
        // sinh and cosh from one expm1, without cancellation at small arguments.
        const double arg = 0.5 * mu * (1.0 + layer.x[k]);
        const double em1 = std::expm1(arg), e = em1 + 1.0;
        const double w = eps * 0.5 * (em1 + em1 / e);
        root_s[count] = w;
        root_u[count] = std::sqrt((1.0 - w) * (1.0 + w));
        weight[count] = layer.w[k] * eps * 0.5 * mu * 0.5 * (e + 1.0 / e) * 2.0 * w;
    }
    for (int k = 0; k < bulk.size; ++k, ++count) {
        root_u[count] = bulk.bulk_s[k];
        root_s[count] = bulk.bulk_c[k];
        weight[count] = bulk.bulk_w[k];
    }
    for (int start = 0; start < count; start += ALO_MAX_POINTS) {
        const int size = count - start < ALO_MAX_POINTS ? count - start : ALO_MAX_POINTS;
        B.H.log_ratios(root_u + start, size, log_b + start);
    }
    double dp[most], dm[most], term_r[most], term_q[most];
    for (int k = 0; k < count; ++k) {
        const double s = root_s[k] * root_s[k], vs = v * root_s[k];
        dp[k] = (log_x - log_b[k] + (r - q) * s) / vs + 0.5 * vs;
        dm[k] = dp[k] - vs;
    }
    for (int k = 0; k < count; ++k) {
        term_r[k] = std::exp(-r * root_s[k] * root_s[k]) * cdf(-dm[k]);
    }
    for (int k = 0; k < count; ++k) {
        term_q[k] = 0.0;
    }
    if (q != 0.0) {
        for (int k = 0; k < count; ++k) {
            term_q[k] = std::exp(-q * root_s[k] * root_s[k]) * cdf(-dp[k]);
        }
    }
    double sum = 0.0;
    for (int k = 0; k < count; ++k) {
        sum += weight[k] * (r * term_r[k] - q * x * term_q[k]);
    }
    return sum;
}

// max over t in [0, 1] of e^{-rt} (K - S e^{(r-q)t}), and 0: the value of a
// put without volatility. The exercise value's rate of change
// q S e^{-qt} - r K e^{-rt} vanishes at most once.
double deterministic_put(double S, double K, double r, double q) {
    auto value = [&](double t) { return K * std::exp(-r * t) - S * std::exp(-q * t); };
    double best = value(0.0) > value(1.0) ? value(0.0) : value(1.0);
    if (r != q && r * q > 0.0) {
        const double t = std::log(q * S / (r * K)) / (q - r);
        if (t > 0.0 && t < 1.0 && value(t) > best) {
            best = value(t);
        }
    }
    return best > 0.0 ? best : 0.0;
}

enum class Regime { european, two_boundaries, one_boundary };

// The put of rates r, q after snapping rates within 2^-52 of zero.
Regime put_regime(double* r, double* q) {
    if (std::fabs(*r) <= DOUBLE_EPS) {
        *r = 0.0;
    }
    if (std::fabs(*q) <= DOUBLE_EPS) {
        *q = 0.0;
    }
    if (*r <= 0.0 && *q >= *r) {
        return Regime::european;
    }
    if (*r < 0.0) {
        return Regime::two_boundaries;
    }
    return Regime::one_boundary;
}

bool valid_inputs(double S, double K, double D, double F, double sigma) {
    // Written so that NaN fails every test.
    return S > 0.0 && K > 0.0 && D > 0.0 && F > 0.0 && sigma >= 0.0 && S < INFINITY &&
           K < INFINITY && D < INFINITY && F < INFINITY && sigma < INFINITY;
}

}  // namespace

double _american_price_scheme(double S, double K, double D, double F, double sigma, int q,
                              const AloScheme& scheme) {
    if (!valid_inputs(S, K, D, F, sigma)) {
        return NAN;
    }
    const RuleView layer = gauss_rule(scheme.layer_points), bulk = gauss_rule(scheme.bulk_points);
    if (layer.size == 0 || bulk.size == 0) {
        return NAN;
    }
    const bool call = q == 1;
    const double rate = -std::log(D), yield = rate - std::log(F / S);
    // The put of put-call symmetry: spot, strike, rate and yield.
    const double ps = call ? K : S, pk = call ? S : K;
    double r = call ? yield : rate, y = call ? rate : yield;
    switch (put_regime(&r, &y)) {
        case Regime::european:
            return _bsm_price(K, D, F, sigma, call ? 1 : -1);
        case Regime::two_boundaries:
            return NAN;
        case Regime::one_boundary:
            break;
    }
    if (sigma == 0.0) {
        return deterministic_put(ps, pk, r, y);
    }
    const double x_ratio = y > r ? r / y : 1.0;
    const PutProblem P{r, y, sigma, x_ratio, std::log(x_ratio)};
    Boundary B;
    if (!solve_boundary(P, scheme, &B)) {
        return NAN;
    }
    const double x = ps / pk, b_end = P.x_ratio * std::exp(B.g_end);
    if (std::isnan(b_end)) {
        return NAN;
    }
    if (x <= b_end) {
        return pk - ps;  // the exercise region, exactly
    }
    const double european = _bsm_price(K, D, F, sigma, call ? 1 : -1);
    const double price = european + pk * put_premium(P, B, x, layer, bulk);
    // No quadrature error may take the price below the exercise value.
    const double intrinsic = pk > ps ? pk - ps : 0.0;
    return price < intrinsic ? intrinsic : price;  // NaN stays NaN
}

double _american_price(double S, double K, double D, double F, double sigma, int q, int setting) {
    if (setting < AMERICAN_FAST || setting > AMERICAN_HIGH) {
        return NAN;
    }
    return _american_price_scheme(S, K, D, F, sigma, q, ALO_SCHEMES[setting]);
}

double _american_exercise_spot(double K, double D, double carry, double sigma, int q, int setting) {
    if (setting < AMERICAN_FAST || setting > AMERICAN_HIGH ||
        !valid_inputs(1.0, K, D, carry, sigma)) {
        return NAN;
    }
    const bool call = q == 1;
    const double rate = -std::log(D), yield = rate - std::log(carry);
    double r = call ? yield : rate, y = call ? rate : yield;
    switch (put_regime(&r, &y)) {
        case Regime::european:
            return call ? INFINITY : 0.0;
        case Regime::two_boundaries:
            return NAN;
        case Regime::one_boundary:
            break;
    }
    double ratio;  // B(T) / strike of the put
    if (sigma == 0.0) {
        // Exercising now beats exercising at t when K (1 - e^{-rt}) >= S (1 - e^{-qt}):
        // always for q <= 0; for q > 0 at S <= K psi(t), psi(t) = (1 - e^{-rt}) / (1 - e^{-qt})
        // monotone from r / q at t = 0 to its value at t = 1.
        ratio = 1.0;
        if (y > 0.0) {
            const double psi_end = std::expm1(-r) / std::expm1(-y);
            ratio = r / y < ratio ? r / y : ratio;
            ratio = psi_end < ratio ? psi_end : ratio;
        }
    } else {
        const double x_ratio = y > r ? r / y : 1.0;
        const PutProblem P{r, y, sigma, x_ratio, std::log(x_ratio)};
        Boundary B;
        if (!solve_boundary(P, ALO_SCHEMES[setting], &B)) {
            return NAN;
        }
        ratio = P.x_ratio * std::exp(B.g_end);
    }
    // Put: exercise at S <= K ratio. Call: as the put of strike S and spot K,
    // exercise at K <= S ratio.
    return call ? K / ratio : K * ratio;
}

}  // namespace velliq
