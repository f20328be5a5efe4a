// The exercise boundary B of the put by Andersen, Lake & Offengelden (2016):
//   B(tau) = K e^{-(r-q) tau} N(tau, B) / D(tau, B),
// with N and D those of the paper's equation FP-A (from smooth pasting), or of
// FP-B (from value matching) where FP-A diverges. ln(B/X)^2, X = B(0+) =
// K min(1, r/q), is collocated at the Chebyshev nodes of sqrt(tau); the first
// iterate is Li's QD+ boundary; Anderson acceleration speeds the iteration;
// the integrals are Gauss-Legendre in theta, u = tau sin^2(theta/2).
#include "alo/boundary.hpp"

#include <cmath>

#include "alo/anderson.hpp"
#include "alo/gauss_legendre.hpp"
#include "alo/node_points.hpp"
#include "alo/normal.hpp"
#include "alo/qd_plus.hpp"

namespace velliq::alo {

namespace {

// Right-hand side of the fixed-point equation at node tau = xi^2 with
// g = ln(B(tau)/X), given ln(B(u)/X) at its count points (log_b, from the
// current interpolant) and the node's points T; returns
// the new ln(B/X). With s = tau - u, x = B(tau)/B(u) and d0+- = d+-(tau, B(tau)/K):
//   FP-A  N = phi(d0-)/(v sqrt(tau)) + r int e^{ru} phi(d-(s, x)) / (v sqrt(s)) du,
//         D = phi(d0+)/(v sqrt(tau)) + N(d0+)
//             + q int e^{qu} [N(d+(s, x)) + phi(d+(s, x)) / (v sqrt(s))] du;
//   FP-B  N = N(d0-) + r int e^{ru} N(d-(s, x)) du,  D = N(d0+) + q int e^{qu} N(d+(s, x)) du.
// The transcendental calls fill arrays of their own so that no running sum
// lives across a call.
double fixed_point_update(const PutProblem& P, const NodePoints& T, int count, const double* log_b,
                          double xi, double g, bool fp_a) {
    const double r = P.r, q = P.q, v = P.v;
    const double tau = xi * xi, vt = v * xi;
    const double *er = T.er, *eq = T.eq, *inv_vs = T.inv_vs;
    double dp[ALO_MAX_POINTS], dm[ALO_MAX_POINTS], f_r[ALO_MAX_POINTS], f_q[ALO_MAX_POINTS];
    for (int k = 0; k < count; ++k) {
        dp[k] = (g - log_b[k]) * inv_vs[k] + T.shift[k];  // ln(B(tau)/B(u)) in d+
        dm[k] = dp[k] - T.vs[k];
    }
    double int_r = 0.0, int_q = 0.0;
    if (fp_a) {
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
    if (fp_a) {
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

}  // namespace

bool solve_boundary(const PutProblem& P, const AloScheme& scheme, const Boundary* start,
                    Weights* weights, Boundary* out) {
    const int n = scheme.intervals;
    const RuleView R = gauss_rule(scheme.points);
    if (n < 1 || n > ALO_MAX_INTERVALS || scheme.iterations < 0 || R.size == 0) {
        return false;
    }
    if (start != nullptr && start->H.n != n) {
        start = nullptr;
    }
    ChebyshevInterpolant& H = out->H;
    double* g = out->g;  // g[i] = ln(B(xi_i^2)/X); h[i] = g[i]^2 = H(xi_i)
    // xi[i] the nodes.
    double xi[ALO_MAX_INTERVALS + 1], h[ALO_MAX_INTERVALS + 1];
    if (start != nullptr) {
        for (int i = 0; i < n; ++i) {
            g[i] = start->g[i];
        }
    }
    H.set_intervals(n);
    for (int i = 0; i <= n; ++i) {
        xi[i] = 0.5 * (1.0 + H.cos_table[i]);
    }
    xi[n] = 0.0;
    // QD+ from the node nearest expiry outward, each started from the line
    // through its two neighbours' ln(B/X) in xi (through 0 at xi = 0 first).
    for (int i = n - 1; i >= 0 && start == nullptr; --i) {
        double guess;
        if (i == n - 1) {
            guess = -P.v * xi[i];
        } else {
            const double prev = i + 2 <= n - 1 ? g[i + 2] : 0.0;
            guess = g[i + 1] + (g[i + 1] - prev) * (xi[i] - xi[i + 1]) / (xi[i + 1] - xi[i + 2]);
        }
        guess = guess < 0.0 ? guess : 0.0;
        const double b = qd_plus_boundary(P, xi[i] * xi[i], P.x_ratio * std::exp(guess));
        g[i] = std::log(b / P.x_ratio);
        if (!(g[i] < 0.0)) {
            g[i] = 0.0;  // also a NaN root
        } else if (!(g[i] > -INFINITY)) {
            g[i] = guess;  // a root below the smallest double: the line is the better start
        }
    }
    for (int i = 0; i < n; ++i) {
        h[i] = g[i] * g[i];
    }
    g[n] = 0.0;
    h[n] = 0.0;
    H.fit(h);

    const bool fp_a = iterates_fp_a(P);
    // FP-B contracts about ten times more slowly, so the same step size leaves
    // about ten times the error: stop it later.
    const double tolerance = fp_a ? scheme.tolerance : 0.1 * scheme.tolerance;
    const bool cached = n * R.size <= ALO_CACHED_POINTS;
    Weights& cache = *weights;
    NodePoints points;
    if (cached && scheme.iterations > 0 && !cache.filled) {
        cache.filled = true;
        for (int i = 0; i < n; ++i) {
            points.fill_weights(P, R, xi[i]);
            for (int k = 0; k < R.size; ++k) {
                cache.er[i * R.size + k] = points.er[k];
                cache.eq[i * R.size + k] = points.eq[k];
            }
        }
    }
    double log_b[ALO_MAX_POINTS];
    Anderson accel;
    double image[ALO_MAX_INTERVALS], next[ALO_MAX_INTERVALS];
    for (int iter = 0; iter < scheme.iterations; ++iter) {
        double change = 0.0;
        for (int i = 0; i < n; ++i) {
            points.fill(P, R, xi[i]);
            if (cached) {
                for (int k = 0; k < R.size; ++k) {
                    points.er[k] = cache.er[i * R.size + k];
                    points.eq[k] = cache.eq[i * R.size + k];
                }
            } else {
                points.fill_weights(P, R, xi[i]);
            }
            H.log_ratios(points.root_u, R.size, log_b);
            image[i] = fixed_point_update(P, points, R.size, log_b, xi[i], g[i], fp_a);
            const double d = std::fabs(image[i] - g[i]);
            change = d > change ? d : change;
        }
        if (!(change > tolerance)) {  // converged, or NaN: stop on the image
            for (int i = 0; i < n; ++i) {
                next[i] = image[i];
            }
            iter = scheme.iterations;
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

void extrapolate(const Boundary* a, double va, const Boundary& b, double vb, double v,
                 Boundary* out) {
    const int n = b.H.n;
    out->H.n = n;
    for (int i = 0; i < n; ++i) {
        const double g =
            a != nullptr ? b.g[i] + (b.g[i] - a->g[i]) * ((v - vb) / (vb - va)) : b.g[i] * (v / vb);
        out->g[i] = g < 0.0 ? g : 0.0;  // also NaN
    }
}

}  // namespace velliq::alo
