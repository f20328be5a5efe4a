// The boundary's derivatives (sensitivity.hpp). Node i's equation
// g_i = Phi_i = ln(N/D) - (r - q) tau - ln(X/K) (boundary.cpp) depends on g_i
// through d0+- and d+-(tau - u_k, .), and on g_j through ln(B/X) at its
// points, lb_k = -sqrt(H(z_k)) with H the interpolant of the node values
// h_j = g_j^2: dlb_k/dg_j = l_j(z_k) g_j / lb_k, l_j the j-th Lagrange basis
// polynomial of the Chebyshev nodes. With H = sum_m a_m T_m, a = C h the fit,
// sum_k w_k l_j(z_k) = (C^T t)_j for t_m = sum_k w_k T_m(z_k), and C^T = C
// (the discrete cosine transform of the fit is symmetric, halved ends and all),
// so each row costs one fit.
#include "alo/sensitivity.hpp"

#include <cmath>

#include "alo/gauss_legendre.hpp"
#include "alo/node_points.hpp"
#include "alo/normal.hpp"

namespace velliq::alo {

namespace {

// The partial derivatives of one node's Phi: in its own g (through d0+- and
// d+-), in lb_k at its points, and in v, r, q with ln(X/K) held fixed, and in
// ln(X/K); moves is false where the iteration leaves the node where it is.
struct NodePartials {
    bool moves;
    double g, v, r, q, log_x_ratio;
    double lb[ALO_MAX_POINTS];
};

// N and D as fixed_point_update (boundary.cpp) forms them, with
// nm_k = dN/d(d-_k), nd_k = dD/d(d+_k) (d+_k and d-_k move together in g, lb,
// r and q; in v, dd+/dv = -d-/v and dd-/dv = -d+/v), and the same at tau.
void node_partials(const PutProblem& P, const NodePoints& T, int count, const double* log_b,
                   double xi, double g, bool fp_a, NodePartials* out) {
    const double r = P.r, q = P.q, v = P.v;
    const double tau = xi * xi, vt = v * xi;
    // d+-_k are formed afresh wherever used rather than kept: the stack holds
    // only nm and nd.
    auto d_plus = [&](int k) { return (g - log_b[k]) * T.inv_vs[k] + T.shift[k]; };
    double nm[ALO_MAX_POINTS], nd[ALO_MAX_POINTS];
    // int_r, int_q: the integrals; *_u the same with u times the weight
    // (their derivative in r or q); scaled_q the part of D that scales as 1/v.
    double int_r = 0.0, int_q = 0.0, int_r_u = 0.0, int_q_u = 0.0, scaled_q = 0.0;
    for (int k = 0; k < count; ++k) {
        const double dp = d_plus(k), dm = dp - T.vs[k];
        // f_m: phi or N of d-; f_p = phi(d+); c_p = N(d+).
        const double f_m = fp_a ? pdf(dm) : cdf(dm), f_p = pdf(dp), c_p = cdf(dp);
        const double u = T.root_u[k] * T.root_u[k];
        double fr, fq;
        if (fp_a) {
            fr = f_m * T.inv_vs[k];
            fq = c_p + f_p * T.inv_vs[k];
            nm[k] = -r * T.er[k] * dm * fr;
            nd[k] = q * T.eq[k] * f_p * (1.0 - dp * T.inv_vs[k]);
            scaled_q += T.eq[k] * f_p * T.inv_vs[k];
        } else {
            fr = f_m;
            fq = c_p;
            nm[k] = r * T.er[k] * pdf(dm);
            nd[k] = q * T.eq[k] * f_p;
        }
        int_r += T.er[k] * fr;
        int_q += T.eq[k] * fq;
        int_r_u += u * T.er[k] * fr;
        int_q_u += u * T.eq[k] * fq;
    }
    const double dp0 = (P.log_x_ratio + g + (r - q) * tau) / vt + 0.5 * vt;
    const double dm0 = dp0 - vt;
    double num, den, nm0, nd0, num_scaled, den_scaled;
    if (fp_a) {
        num = pdf(dm0) / vt + r * int_r;
        den = pdf(dp0) / vt + cdf(dp0) + q * int_q;
        nm0 = -dm0 * pdf(dm0) / vt;
        nd0 = pdf(dp0) * (1.0 - dp0 / vt);
        num_scaled = num;  // every term of N is 1/v times a function of d-
        den_scaled = pdf(dp0) / vt + q * scaled_q;
    } else {
        num = cdf(dm0) + r * int_r;
        den = cdf(dp0) + q * int_q;
        nm0 = pdf(dm0);
        nd0 = pdf(dp0);
        num_scaled = 0.0;
        den_scaled = 0.0;
    }
    const double next = std::log(num / den) - (r - q) * tau - P.log_x_ratio;
    out->moves = num > 0.0 && den > 0.0 && num < INFINITY && den < INFINITY && next < 0.0;
    if (!out->moves) {
        return;
    }
    // d/dv of ln N and ln D, the integrand's and tau's terms.
    double num_v = -num_scaled - nm0 * dp0, den_v = -den_scaled - nd0 * dm0;
    double pull_g = 0.0, pull_rate = 0.0;  // sum_k A_k / (v sqrt(s)), sum_k A_k sqrt(s) / v
    for (int k = 0; k < count; ++k) {
        const double dp = d_plus(k), dm = dp - T.vs[k];
        num_v -= nm[k] * dp;
        den_v -= nd[k] * dm;
        const double a = nm[k] / num - nd[k] / den;  // dPhi/d(d+-_k)
        pull_g += a * T.inv_vs[k];
        pull_rate += a * T.vs[k];
        out->lb[k] = -a * T.inv_vs[k];
    }
    pull_rate /= v * v;
    const double a0 = nm0 / num - nd0 / den;  // dPhi/d(d+-0)
    out->g = pull_g + a0 / vt;
    out->v = (num_v / num - den_v / den) / v;
    out->r = pull_rate + a0 * xi / v + (int_r + r * int_r_u) / num - tau;
    out->q = -pull_rate - a0 * xi / v - (int_q + q * int_q_u) / den + tau;
    out->log_x_ratio = a0 / vt - 1.0;
}

// Solves M x = b for three right-hand sides by Gaussian elimination with
// partial pivoting; M (n x n, row stride ALO_MAX_INTERVALS) and b are
// overwritten. False on a zero or non-finite pivot.
bool solve_in_place(int n, double* M, double (*b)[ALO_MAX_INTERVALS + 1]) {
    constexpr int stride = ALO_MAX_INTERVALS;
    for (int c = 0; c < n; ++c) {
        int pivot = c;
        for (int i = c + 1; i < n; ++i) {
            if (std::fabs(M[i * stride + c]) > std::fabs(M[pivot * stride + c])) {
                pivot = i;
            }
        }
        const double p = M[pivot * stride + c];
        if (!(std::fabs(p) > 0.0 && std::fabs(p) < INFINITY)) {
            return false;
        }
        if (pivot != c) {
            for (int j = c; j < n; ++j) {
                const double t = M[c * stride + j];
                M[c * stride + j] = M[pivot * stride + j];
                M[pivot * stride + j] = t;
            }
            for (int s = 0; s < 3; ++s) {
                const double t = b[s][c];
                b[s][c] = b[s][pivot];
                b[s][pivot] = t;
            }
        }
        for (int i = c + 1; i < n; ++i) {
            const double f = M[i * stride + c] / p;
            if (f == 0.0) {
                continue;
            }
            for (int j = c + 1; j < n; ++j) {
                M[i * stride + j] -= f * M[c * stride + j];
            }
            for (int s = 0; s < 3; ++s) {
                b[s][i] -= f * b[s][c];
            }
        }
    }
    for (int c = n - 1; c >= 0; --c) {
        for (int s = 0; s < 3; ++s) {
            double sum = b[s][c];
            for (int j = c + 1; j < n; ++j) {
                sum -= M[c * stride + j] * b[s][j];
            }
            b[s][c] = sum / M[c * stride + c];
        }
    }
    return true;
}

}  // namespace

bool boundary_sensitivity(const PutProblem& P, const AloScheme& scheme, const Boundary& B,
                          BoundarySensitivity* out) {
    const int n = B.H.n;
    const RuleView R = gauss_rule(scheme.points);
    if (n < 1 || n > ALO_MAX_INTERVALS || R.size == 0) {
        return false;
    }
    const bool fp_a = iterates_fp_a(P);
    // The equations differentiated here are those of nodes on the points of fill.
    const double eps = layer_width(P);
    for (int i = 0; i < n; ++i) {
        if (integrates_layer(eps, 0.5 * (1.0 + B.H.cos_table[i]))) {
            return false;
        }
    }
    // ln(X/K) = ln(r/q) where q > r.
    const double log_x_r = P.q > P.r ? 1.0 / P.r : 0.0, log_x_q = P.q > P.r ? -1.0 / P.q : 0.0;
    // M = I - dPhi/dg, row by row; rhs the rows of dPhi/dv, dPhi/dr, dPhi/dq.
    double M[ALO_MAX_INTERVALS * ALO_MAX_INTERVALS];
    double (*rhs)[ALO_MAX_INTERVALS + 1] = out->by;
    NodePoints points;
    NodePartials partials;
    double log_b[ALO_MAX_POINTS], t[ALO_MAX_INTERVALS + 1];
    for (int i = 0; i < n; ++i) {
        double* row = M + i * ALO_MAX_INTERVALS;
        for (int j = 0; j < n; ++j) {
            row[j] = i == j ? 1.0 : 0.0;
        }
        rhs[0][i] = rhs[1][i] = rhs[2][i] = 0.0;
        if (!(B.g[i] < 0.0)) {
            continue;  // clipped at B = X
        }
        const double xi = 0.5 * (1.0 + B.H.cos_table[i]), tau = xi * xi;
        points.fill(P, R, xi);
        points.fill_weights(P, R, xi);
        if (P.q == 0.0) {
            // The q integral vanishes with q but its derivative in q does not.
            for (int k = 0; k < R.size; ++k) {
                points.eq[k] = tau * R.full_w[k];
            }
        }
        B.H.log_ratios(points.root_u, R.size, log_b);
        node_partials(P, points, R.size, log_b, xi, B.g[i], fp_a, &partials);
        if (!partials.moves) {
            continue;
        }
        for (int m = 0; m <= n; ++m) {
            t[m] = 0.0;
        }
        for (int k = 0; k < R.size; ++k) {
            if (!(log_b[k] < 0.0)) {
                continue;  // H clipped at 0 there
            }
            const double w = partials.lb[k] / log_b[k], z = 2.0 * points.root_u[k] - 1.0;
            double before = 1.0, now = z;  // T_{m-1}(z), T_m(z)
            t[0] += w;
            for (int m = 1; m <= n; ++m) {
                t[m] += w * now;
                const double after = 2.0 * z * now - before;
                before = now;
                now = after;
            }
        }
        B.H.fit_into(t, row);  // the row's weights, then the row
        for (int j = 0; j < n; ++j) {
            row[j] = (i == j ? 1.0 : 0.0) - row[j] * B.g[j];
        }
        row[i] -= partials.g;
        rhs[VOLATILITY][i] = partials.v;
        rhs[RATE][i] = partials.r + partials.log_x_ratio * log_x_r;
        rhs[YIELD][i] = partials.q + partials.log_x_ratio * log_x_q;
    }
    if (!solve_in_place(n, M, rhs)) {
        return false;
    }
    for (int s = 0; s < 3; ++s) {
        rhs[s][n] = 0.0;
        for (int i = 0; i < n; ++i) {
            if (!std::isfinite(rhs[s][i])) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace velliq::alo
