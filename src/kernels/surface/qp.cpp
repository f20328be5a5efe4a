// Goldfarb & Idnani's dual active-set method (qp.hpp), with the factor updates of
// their section 4: adding a constraint rotates d = J'n_p into R's new column,
// dropping one restores R's triangle; both rotate J's columns alike.
#include "surface/qp.hpp"

#include <cmath>

#include "kernels.hpp"

namespace velliq::surface {
namespace {

constexpr double kInfinity = DOUBLE_MAX;

double dot(int n, const double* a, const double* b) {
    double s = 0.0;
    for (int i = 0; i < n; ++i) {
        s += a[i] * b[i];
    }
    return s;
}

// G = L L' in place (L in the lower triangle); false if G is not positive definite.
bool cholesky(int n, double* G) {
    for (int j = 0; j < n; ++j) {
        double diagonal = G[j * n + j];
        for (int k = 0; k < j; ++k) {
            diagonal -= G[j * n + k] * G[j * n + k];
        }
        if (!(diagonal > 0.0)) {
            return false;
        }
        const double root = std::sqrt(diagonal);
        G[j * n + j] = root;
        for (int i = j + 1; i < n; ++i) {
            double s = G[i * n + j];
            for (int k = 0; k < j; ++k) {
                s -= G[i * n + k] * G[j * n + k];
            }
            G[i * n + j] = s / root;
        }
    }
    return true;
}

// J = L^-T: column by column, L' J = I solved by back substitution.
void inverse_transpose(int n, const double* L, double* J) {
    for (int col = 0; col < n; ++col) {
        for (int i = n - 1; i >= 0; --i) {
            double s = i == col ? 1.0 : 0.0;
            for (int k = i + 1; k < n; ++k) {
                s -= L[k * n + i] * J[k * n + col];
            }
            J[i * n + col] = s / L[i * n + i];
        }
    }
}

// d = J' np (np nonzero on [first, last)); z = J[:, iq:] d[iq:]; r = R^-1 d[:iq].
void step_direction(int n, int iq, const QpWork& w, const double* np, int first, int last) {
    for (int j = 0; j < n; ++j) {
        w.d[j] = 0.0;
    }
    for (int k = first; k < last; ++k) {
        const double* row = w.J + static_cast<std::ptrdiff_t>(k) * n;
        const double v = np[k];
        for (int j = 0; j < n; ++j) {
            w.d[j] += row[j] * v;
        }
    }
    for (int k = 0; k < n; ++k) {
        double s = 0.0;
        for (int j = iq; j < n; ++j) {
            s += w.J[k * n + j] * w.d[j];
        }
        w.z[k] = s;
    }
    for (int i = iq - 1; i >= 0; --i) {
        double s = w.d[i];
        for (int j = i + 1; j < iq; ++j) {
            s -= w.R[i * n + j] * w.r[j];
        }
        w.r[i] = s / w.R[i * n + i];
    }
}

// The rotation taking (a, b) to (h, 0) with h >= 0, applied to columns a, b of J.
void rotate_columns(int n, double* J, int a, int b, double cc, double ss) {
    const double xny = ss / (1.0 + cc);
    for (int k = 0; k < n; ++k) {
        const double t1 = J[k * n + a];
        const double t2 = J[k * n + b];
        J[k * n + a] = t1 * cc + t2 * ss;
        J[k * n + b] = xny * (t1 + J[k * n + a]) - t2;
    }
}

// Adds the constraint whose d = J' np is in w.d as active number iq; false if it
// depends linearly on the active ones.
bool add_constraint(int n, int iq, const QpWork& w) {
    for (int j = n - 1; j > iq; --j) {
        double cc = w.d[j - 1];
        double ss = w.d[j];
        const double h = std::hypot(cc, ss);
        if (h == 0.0) {
            continue;
        }
        w.d[j] = 0.0;
        cc /= h;
        ss /= h;
        if (cc < 0.0) {
            cc = -cc;
            ss = -ss;
            w.d[j - 1] = -h;
        } else {
            w.d[j - 1] = h;
        }
        rotate_columns(n, w.J, j - 1, j, cc, ss);
    }
    for (int i = 0; i <= iq; ++i) {
        w.R[i * n + iq] = w.d[i];
    }
    return std::fabs(w.d[iq]) > DOUBLE_EPS * std::fabs(w.R[0]) * 1e3;
}

// Drops active constraint l of iq and restores R's triangle.
void drop_constraint(int n, int iq, int l, const QpWork& w) {
    for (int i = l; i < iq - 1; ++i) {
        w.active[i] = w.active[i + 1];
        w.u[i] = w.u[i + 1];
        for (int j = 0; j < n; ++j) {
            w.R[j * n + i] = w.R[j * n + i + 1];
        }
    }
    for (int j = 0; j < n; ++j) {
        w.R[j * n + iq - 1] = 0.0;
    }
    const int left = iq - 1;
    for (int j = l; j < left; ++j) {
        double cc = w.R[j * n + j];
        double ss = w.R[(j + 1) * n + j];
        const double h = std::hypot(cc, ss);
        if (h == 0.0) {
            continue;
        }
        cc /= h;
        ss /= h;
        w.R[(j + 1) * n + j] = 0.0;
        if (cc < 0.0) {
            w.R[j * n + j] = -h;
            cc = -cc;
            ss = -ss;
        } else {
            w.R[j * n + j] = h;
        }
        const double xny = ss / (1.0 + cc);
        for (int k = j + 1; k < left; ++k) {
            const double t1 = w.R[j * n + k];
            const double t2 = w.R[(j + 1) * n + k];
            w.R[j * n + k] = t1 * cc + t2 * ss;
            w.R[(j + 1) * n + k] = xny * (t1 + w.R[j * n + k]) - t2;
        }
        rotate_columns(n, w.J, j, j + 1, cc, ss);
    }
}

}  // namespace

QpResult solve_qp(int n, double* G, const double* g, int me, const double* E, const double* e,
                  int rows, const double* C, const double* c, const double* tolerance,
                  int first_priority, double* x, const QpWork& w) {
    if (!cholesky(n, G)) {
        return {QpStatus::not_convex, -1, 0};
    }
    inverse_transpose(n, G, w.J);
    for (int i = 0; i < n * n; ++i) {
        w.R[i] = 0.0;
    }
    // The unconstrained minimum x = -J J' g.
    for (int j = 0; j < n; ++j) {
        w.d[j] = 0.0;
        for (int k = 0; k < n; ++k) {
            w.d[j] += w.J[k * n + j] * g[k];
        }
    }
    for (int k = 0; k < n; ++k) {
        x[k] = -dot(n, w.J + static_cast<std::ptrdiff_t>(k) * n, w.d);
    }
    int iq = 0;
    for (int i = 0; i < me; ++i) {
        const double* np = E + static_cast<std::ptrdiff_t>(i) * n;
        step_direction(n, iq, w, np, 0, n);
        const double zn = dot(n, w.z, np);
        const double t = zn != 0.0 ? (e[i] - dot(n, np, x)) / zn : 0.0;
        for (int k = 0; k < n; ++k) {
            x[k] += t * w.z[k];
        }
        for (int k = 0; k < iq; ++k) {
            w.u[k] -= t * w.r[k];
        }
        w.u[iq] = t;
        w.active[iq] = -1 - i;
        if (!add_constraint(n, iq, w)) {
            return {QpStatus::infeasible, -1, iq};
        }
        ++iq;
    }
    for (int i = 0; i < rows; ++i) {
        const double* row = C + static_cast<std::ptrdiff_t>(i) * n;
        int first = 0;
        int last = n;
        while (first < n && row[first] == 0.0) {
            ++first;
        }
        while (last > first && row[last - 1] == 0.0) {
            --last;
        }
        w.span[2 * i] = first;
        w.span[2 * i + 1] = last;
        w.excluded[i] = !(tolerance[i] < DOUBLE_MAX);  // an off row is never added
    }
    const int max_iterations = 50 * (n + rows);
    for (int iteration = 0; iteration < max_iterations; ++iteration) {
        int p = -1;
        int p_priority = -1;
        double worst = 0.0;
        double worst_priority = 0.0;
        for (int i = 0; i < rows; ++i) {
            if (w.excluded[i]) {
                continue;
            }
            const int first = w.span[2 * i];
            const double s = dot(w.span[2 * i + 1] - first,
                                 C + static_cast<std::ptrdiff_t>(i) * n + first, x + first) -
                             c[i];
            w.slack[i] = s;
            if (s < -tolerance[i]) {
                const double scaled = s / tolerance[i];
                if (i >= first_priority && scaled < worst_priority) {
                    worst_priority = scaled;
                    p_priority = i;
                } else if (i < first_priority && scaled < worst) {
                    worst = scaled;
                    p = i;
                }
            }
        }
        p = p_priority >= 0 ? p_priority : p;
        if (p < 0) {
            return {QpStatus::solved, -1, iq};
        }
        const double* np = C + static_cast<std::ptrdiff_t>(p) * n;
        double u_new = 0.0;
        double sp = w.slack[p];
        for (;;) {
            step_direction(n, iq, w, np, w.span[2 * p], w.span[2 * p + 1]);
            double t1 = kInfinity;
            int l = -1;
            for (int k = me; k < iq; ++k) {
                if (w.r[k] > 0.0 && w.u[k] / w.r[k] < t1) {
                    t1 = w.u[k] / w.r[k];
                    l = k;
                }
            }
            const double zn = dot(n, w.z, np);
            const double t2 = std::fabs(zn) > DOUBLE_EPS * DOUBLE_EPS ? -sp / zn : kInfinity;
            const double t = t1 < t2 ? t1 : t2;
            if (t >= kInfinity) {
                return {QpStatus::infeasible, p, iq};
            }
            for (int k = 0; k < iq; ++k) {
                w.u[k] -= t * w.r[k];
            }
            u_new += t;
            if (t2 < kInfinity) {
                for (int k = 0; k < n; ++k) {
                    x[k] += t * w.z[k];
                }
            }
            if (t == t2) {
                w.u[iq] = u_new;
                w.active[iq] = p;
                if (!add_constraint(n, iq, w)) {
                    return {QpStatus::infeasible, p, iq};
                }
                ++iq;
                w.excluded[p] = true;
                break;
            }
            w.excluded[w.active[l]] = false;
            drop_constraint(n, iq, l, w);
            --iq;
            sp = dot(n, np, x) - c[p];
            if (sp >= -tolerance[p] * 1e-3) {  // satisfied on the way: not added
                break;
            }
            if (++iteration >= max_iterations) {
                return {QpStatus::iterations, p, iq};
            }
        }
    }
    return {QpStatus::iterations, -1, iq};
}

}  // namespace velliq::surface
