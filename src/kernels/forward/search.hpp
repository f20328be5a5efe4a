// The forward finder of velliq.norvane's find_forward_baw: the forward at which
// the BAW implied volatilities of calls and puts over selected strikes agree.
#pragma once

#include <cstddef>

namespace velliq {

struct ForwardParams {
    double S;
    double D;
    const double* sel_calls;
    const double* sel_puts;
    const double* sel_strikes;
    std::ptrdiff_t n;
};

// Forward-search objective: at a trial forward, the mean of |iv_call - iv_put|
// over the selected strikes whose call and put both have a positive implied
// volatility (objective.cpp).
double _fwd_iv_abs_diff(double F_trial, void* params);

// The forward at which the selected strikes' call and put volatilities agree
// best: put-call parity gives a first estimate, Brent's minimiser searches
// +/-3 % around it. A search that stops at an end of that bracket, or where no
// strike yields a usable pair, scans a wider range for usable forwards and
// minimises around the best one. NaN when no trial forward yields a usable pair.
double _find_forward(const ForwardParams* params);

// The put-call parity forward K + (C - P) / D, averaged over the strikes; S
// when there are none.
double _parity_forward(const ForwardParams* params);

}  // namespace velliq
