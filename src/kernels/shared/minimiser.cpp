// Bounded scalar minimisation by Brent's method (Brent 1973, "Algorithms for
// Minimization without Derivatives", ch. 5): golden-section steps combined
// with parabolic interpolation through the three best points. Returns the
// abscissa of the lowest value found; running out of iterations is not
// distinguished from convergence. A NaN value never counts as an improvement,
// and a NaN abscissa makes the run last maxiter iterations.
#include <cmath>

#include "kernels.hpp"

namespace velliq {

double _fminbound(minimize_func_t f, double xa, double xb, void* args, double xatol, int maxiter) {
    double a = xa;
    double b = xb;
    double x = a + GOLDEN * (b - a);
    double fx = f(x, args);
    double w = x, v = x;
    double fw = fx, fv = fx;
    double d = 0.0, e = 0.0;

    for (int i = 0; i < maxiter; ++i) {
        const double midpoint = 0.5 * (a + b);
        const double tol1 = SQRT_EPS * std::fabs(x) + xatol / 3;
        const double tol2 = 2 * tol1;
        if (std::fabs(x - midpoint) <= tol2 - 0.5 * (b - a)) {
            break;
        }

        bool golden = true;
        if (std::fabs(e) > tol1) {
            const double r = (x - w) * (fx - fv);
            // The parabola's step is numerator / denominator.
            double denominator = (x - v) * (fx - fw);
            double numerator = (x - v) * denominator - (x - w) * r;
            denominator = 2 * (denominator - r);
            if (denominator > 0) {
                numerator = -numerator;
            } else {
                denominator = -denominator;
            }
            if (std::fabs(numerator) < std::fabs(0.5 * denominator * e) &&
                numerator > denominator * (a - x) && numerator < denominator * (b - x)) {
                e = d;
                d = numerator / denominator;
                const double u = x + d;
                if ((u - a) < tol2 || (b - u) < tol2) {
                    d = midpoint > x ? tol1 : -tol1;  // keep off the ends
                }
                golden = false;
            }
        }
        if (golden) {
            e = x >= midpoint ? a - x : b - x;
            d = GOLDEN * e;
        }

        double u;
        if (std::fabs(d) >= tol1) {
            u = x + d;
        } else {
            u = d > 0 ? x + tol1 : x - tol1;  // a zero step moves downwards
        }
        const double fu = f(u, args);

        if (fu <= fx) {  // a tie counts as an improvement
            if (u >= x) {
                a = x;
            } else {
                b = x;
            }
            v = w;
            fv = fw;
            w = x;
            fw = fx;
            x = u;
            fx = fu;
        } else {
            if (u < x) {
                a = u;
            } else {
                b = u;
            }
            if (fu <= fw || w == x) {
                v = w;
                fv = fw;
                w = u;
                fw = fu;
            } else if (fu <= fv || v == x || v == w) {
                v = u;
                fv = fu;
            }
        }
    }
    return x;
}

}  // namespace velliq
