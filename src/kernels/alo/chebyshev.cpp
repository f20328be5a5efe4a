// The Chebyshev interpolant of the exercise boundary (chebyshev.hpp): the
// coefficients by the discrete cosine sum over the n + 1 nodes, values by
// Clenshaw's recurrence.
#include "alo/chebyshev.hpp"

#include <cmath>

#include "kernels.hpp"

namespace velliq::alo {

void ChebyshevInterpolant::set_intervals(int intervals) {
    n = intervals;
    for (int j = 0; j <= n; ++j) {
        cos_table[j] = std::cos(j * PI / n);
    }
}

void ChebyshevInterpolant::fit_into(const double* H, double* out) const {
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
        out[k] = (2.0 / n) * sum;
    }
    out[0] *= 0.5;
    out[n] *= 0.5;
}

// Clenshaw's recurrence runs on CHAINS points at a time: independent chains
// hide each step's latency.
void ChebyshevInterpolant::log_ratios(const double* xi, int count, double* out) const {
    constexpr int CHAINS = 8;
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

}  // namespace velliq::alo
