// The Chebyshev interpolant of the exercise boundary in the accurate model:
// H(xi) = ln(B(xi^2)/X)^2 of Andersen, Lake & Offengelden (2016) with
// xi = sqrt(tau), collocated at xi_i = (1 + cos(i pi / n)) / 2, i = 0..n: i = 0 is tau = 1,
// i = n is tau = 0 where H = 0. z = 2 xi - 1 is the Chebyshev variable.
#pragma once

#include "alo/scheme.hpp"

namespace velliq::alo {

struct ChebyshevInterpolant {
    int n;                                    // n: intervals, n + 1 nodes
    double cos_table[ALO_MAX_INTERVALS + 1];  // cos(j pi / n)
    double a[ALO_MAX_INTERVALS + 1];          // coefficients, a[0] and a[n] halved

    // Sets n and the table of cos(j pi / n).
    void set_intervals(int intervals);
    // The coefficients through the values H[i] at the nodes xi_i.
    void fit(const double* H) { fit_into(H, a); }
    // The same coefficients written to out (n + 1 of them), the interpolant unchanged.
    void fit_into(const double* H, double* out) const;
    // ln(B/X) <= 0 at the points xi[p] = sqrt(u), p < count; an interpolated H
    // below zero is B = X.
    void log_ratios(const double* xi, int count, double* out) const;
};

}  // namespace velliq::alo
