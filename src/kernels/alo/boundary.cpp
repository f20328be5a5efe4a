// The exercise boundary B of the put by Andersen, Lake & Offengelden (2016):
//   B(tau) = K e^{-(r-q) tau} N(tau, B) / D(tau, B),
// with N and D those of the paper's equation FP-A (from smooth pasting), or of
// FP-B (from value matching) where FP-A diverges. ln(B/X)^2, X = B(0+) =
// K min(1, r/q), is collocated at the Chebyshev nodes of sqrt(tau); the first
// iterate is Li's QD+ boundary; Anderson acceleration speeds the iteration;
// the integrals are Gauss-Legendre in theta, u = tau sin^2(theta/2). A
// volatility small against the rates leaves the integrands a layer near
// u = tau far narrower than those points resolve, and B within a tiny
// distance of X that fixes the price: nodes wider than that layer integrate
// on points of the layer, take the integrals of N(d) as closed-form ones less
// that of N(-d), and start from the perpetual put's boundary.
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
// current interpolant), the node's points T and their exponential weights er
// and eq; returns
// the new ln(B/X). With s = tau - u, x = B(tau)/B(u) and d0+- = d+-(tau, B(tau)/K):
//   FP-A  N = phi(d0-)/(v sqrt(tau)) + r int e^{ru} phi(d-(s, x)) / (v sqrt(s)) du,
//         D = phi(d0+)/(v sqrt(tau)) + N(d0+)
//             + q int e^{qu} [N(d+(s, x)) + phi(d+(s, x)) / (v sqrt(s))] du;
//   FP-B  N = N(d0-) + r int e^{ru} N(d-(s, x)) du,  D = N(d0+) + q int e^{qu} N(d+(s, x)) du.
// The transcendental calls fill arrays of their own so that no running sum
// lives across a call.
double fixed_point_update(const PutProblem& P, const NodePoints& T, const double* er,
                          const double* eq, int count, const double* log_b, double xi, double g,
                          bool fp_a, bool layered) {
    const double r = P.r, q = P.q, v = P.v;
    const double tau = xi * xi, vt = v * xi;
    const double* inv_vs = T.inv_vs;
    double dp[ALO_MAX_POINTS], dm[ALO_MAX_POINTS], f_r[ALO_MAX_POINTS], f_q[ALO_MAX_POINTS];
    for (int k = 0; k < count; ++k) {
        dp[k] = (g - log_b[k]) * inv_vs[k] + T.shift[k];  // ln(B(tau)/B(u)) in d+
        dm[k] = dp[k] - T.vs[k];
    }
    // On a layer's points the integrals of N(d) are those of e^{ru} and e^{qu},
    // in closed form, less the quadrature of N(-d), which lives in the layer:
    // the boundary's distance from X is what that difference resolves.
    const double sign = layered ? -1.0 : 1.0;
    const double whole_r = layered ? std::expm1(r * tau) / r : 0.0;
    const double whole_q = layered && q != 0.0 ? std::expm1(q * tau) / q : 0.0;
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
                f_q[k] = sign * cdf(sign * dp[k]);
            }
            for (int k = 0; k < count; ++k) {
                f_r[k] = pdf(dp[k]);
            }
            for (int k = 0; k < count; ++k) {
                int_q += eq[k] * (f_q[k] + f_r[k] * inv_vs[k]);
            }
            int_q = whole_q + int_q;
        }
    } else {
        for (int k = 0; k < count; ++k) {
            f_r[k] = cdf(sign * dm[k]);
        }
        for (int k = 0; k < count; ++k) {
            int_r += er[k] * f_r[k];
        }
        int_r = whole_r + sign * int_r;
        if (q != 0.0) {
            for (int k = 0; k < count; ++k) {
                f_q[k] = cdf(sign * dp[k]);
            }
            for (int k = 0; k < count; ++k) {
                int_q += eq[k] * f_q[k];
            }
            int_q = whole_q + sign * int_q;
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

// ln(B/X) of the perpetual put, B = K lambda / (lambda - 1) with lambda the
// negative root of v^2 lambda (lambda - 1) / 2 + (r - q) lambda - r = 0.
double perpetual_log_ratio(const PutProblem& P) {
    const double v2 = P.v * P.v, beta = P.r - P.q - 0.5 * v2;
    const double root = std::sqrt(beta * beta + 2.0 * v2 * P.r);
    // Whichever form does not cancel.
    const double lambda = beta > 0.0 ? (-beta - root) / v2 : -2.0 * P.r / (root - beta);
    const double g = -std::log1p(-1.0 / lambda) - P.log_x_ratio;
    return g < 0.0 ? g : 0.0;  // also NaN
}

}  // namespace

bool solve_boundary(const PutProblem& P, const AloScheme& scheme, const Boundary* start,
                    Weights* weights, Boundary* out) {
    const int n = scheme.intervals;
    const RuleView R = gauss_rule(scheme.points);
    if (n < 1 || n > ALO_MAX_INTERVALS || scheme.iterations < 0 || R.size == 0) {
        return false;
    }
    // Nodes far wider than the layer of the integrands integrate it apart; the
    // widest is xi_0 = 1.
    const double eps = layer_width(P);
    const bool layers = integrates_layer(eps, 1.0);
    if (start != nullptr && (start->H.n != n || start->layers != layers)) {
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
    bool layered[ALO_MAX_INTERVALS];
    for (int i = 0; i < n; ++i) {
        layered[i] = integrates_layer(eps, xi[i]);
    }
    // Beyond the layer the boundary of a small volatility has all but reached
    // the perpetual put's, a start that QD+ (whose Newton steps cannot
    // resolve B within its tolerance of X) does not give.
    const double perpetual = perpetual_log_ratio(P);
    // QD+ from the node nearest expiry outward, each started from the line
    // through its two neighbours' ln(B/X) in xi (through 0 at xi = 0 first).
    for (int i = n - 1; i >= 0 && start == nullptr; --i) {
        if (layered[i]) {
            g[i] = perpetual;
            continue;
        }
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
    if (cached && scheme.iterations > 0 &&
        !(cache.intervals == n && cache.points == R.size && cache.r == P.r && cache.q == P.q)) {
        cache.r = P.r;
        cache.q = P.q;
        cache.intervals = n;
        cache.points = R.size;
        for (int i = 0; i < n; ++i) {
            points.fill_weights(P, R, xi[i]);
            for (int k = 0; k < R.size; ++k) {
                cache.er[i * R.size + k] = points.er[k];
                cache.eq[i * R.size + k] = points.eq[k];
            }
        }
    }
    // In small schemes one pass of Clenshaw's chains interpolates the points
    // of every node: sqrt(u) at point k of node i is at i l + k.
    const int l = R.size;
    const bool batched = n * l <= ALO_BATCHED_POINTS;
    double root_u[ALO_BATCHED_POINTS], log_b[ALO_BATCHED_POINTS];
    for (int i = 0; i < n && batched; ++i) {
        if (layered[i]) {
            points.fill_layer(P, R, xi[i], eps);
        }
        for (int k = 0; k < l; ++k) {
            root_u[i * l + k] = layered[i] ? points.root_u[k] : xi[i] * R.full_s[k];
        }
    }
    Anderson accel;
    double image[ALO_MAX_INTERVALS], next[ALO_MAX_INTERVALS];
    for (int iter = 0; iter < scheme.iterations; ++iter) {
        double change = 0.0;
        if (batched) {
            H.log_ratios(root_u, n * l, log_b);
        }
        for (int i = 0; i < n; ++i) {
            if (layered[i]) {
                points.fill_layer(P, R, xi[i], eps);
            } else {
                points.fill(P, R, xi[i]);
            }
            const double* node_log_b = batched ? log_b + i * l : log_b;
            if (!batched) {
                H.log_ratios(points.root_u, l, log_b);
            }
            const bool from_cache = cached && !layered[i];
            if (!from_cache && !layered[i]) {
                points.fill_weights(P, R, xi[i]);
            }
            image[i] = fixed_point_update(P, points, from_cache ? cache.er + i * l : points.er,
                                          from_cache ? cache.eq + i * l : points.eq, l, node_log_b,
                                          xi[i], g[i], fp_a, layered[i]);
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
    out->layers = layers;
    return true;
}

void extrapolate(const Boundary* a, double va, const Boundary& b, double vb, double v,
                 Boundary* out) {
    const int n = b.H.n;
    out->H.n = n;
    out->layers = b.layers;
    for (int i = 0; i < n; ++i) {
        const double g =
            a != nullptr ? b.g[i] + (b.g[i] - a->g[i]) * ((v - vb) / (vb - va)) : b.g[i] * (v / vb);
        out->g[i] = g < 0.0 ? g : 0.0;  // also NaN
    }
}

}  // namespace velliq::alo
