// Early-exercise premium of the American put over T = 1 (Kim 1990; Andersen,
// Lake & Offengelden 2016), per unit strike at x = S/K:
//   int_0^1 [r e^{-r(1-u)} N(-d-(1-u, S/B(u))) - q x e^{-q(1-u)} N(-d+(1-u, S/B(u)))] du,
// d+-(s, y) = (ln y + (r - q) s +- v^2 s / 2) / (v sqrt(s)). The layer piece
// maps w = sqrt(1 - u) = eps sinh(mu (1 + t) / 2) on [0, LAYER_END], with
// eps = ln(S/B(1)) / v the width over which N(-d(1-u, S/B(u))) rises from
// zero; the bulk piece is theta in [0, 2 pi/3], u = sin^2(theta/2).
#include "alo/premium.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/normal.hpp"
#include "kernels.hpp"

namespace velliq::alo {

namespace {

// The layer piece covers sqrt(1 - u) in [0, 1/2]; the bulk covers the rest,
// theta in [0, 2 pi / 3].
constexpr double LAYER_END = 0.5;
static_assert(std::bit_cast<std::uint64_t>(LAYER_END) == 0x3FE0000000000000ULL);

}  // namespace

double put_premium(const PutProblem& P, const Boundary& B, double x, const RuleView& layer,
                   const RuleView& bulk) {
    const double r = P.r, q = P.q, v = P.v;
    const double log_x = std::log(x / P.x_ratio);  // ln(S/X)
    // A spot within rounding of B(1) has no layer to resolve.
    const double eps = std::fmax((log_x - B.g_end()) / v, DOUBLE_EPS);
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
    // Once d+- are known, sqrt(u) and ln(B/X) make room for the integrand's terms.
    double dp[most], dm[most];
    double *term_r = root_u, *term_q = log_b;
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

}  // namespace velliq::alo
