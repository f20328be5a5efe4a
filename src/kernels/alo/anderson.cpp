// Anderson acceleration (anderson.hpp): the least-squares mixing coefficients
// by the normal equations, solved by Gaussian elimination without pivoting; a
// vanishing pivot or a non-finite coefficient keeps the plain iterate.
#include "alo/anderson.hpp"

#include <cmath>

namespace velliq::alo {

void Anderson::next(int n, const double* xk, const double* fk, double* out) {
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
    double dg[ALO_AA_DEPTH][ALO_MAX_INTERVALS];
    double gk[ALO_MAX_INTERVALS];
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

}  // namespace velliq::alo
