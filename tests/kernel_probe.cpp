// Test-only C entry points over the pricing kernels, loaded with ctypes by
// tests/kernel_probe.py. No Python.h: Python hands over SciPy's brentq as a raw
// pointer, which the kernels then call as the extension modules do.
#include <cmath>

#include "baw/baw.hpp"
#include "forward/search.hpp"
#include "kernels.hpp"
#include "shared/brentq.hpp"

using namespace velliq;

namespace {

double parabola(double t, void*) {
    return (t - 3) * (t - 3);
}
double constant(double, void*) {
    return 1.0;
}
double always_nan(double, void*) {
    return NAN;
}
constexpr minimize_func_t kTestFuncs[] = {parabola, constant, always_nan};

}  // namespace

extern "C" {

void probe_set_brentq(void* fn) {
    velliq::brentq = reinterpret_cast<brentq_t>(fn);
}

double probe_norm_pdf(double x) {
    return _norm_pdf(x);
}
double probe_norm_cdf(double z) {
    return _norm_cdf(z);
}
double probe_bsm_price(double K, double D, double F, double sigma, int q) {
    return _bsm_price(K, D, F, sigma, q);
}

// side 1: call equation and solver, otherwise put.
double probe_critical_func(int side, double Sc, double K, double D, double carry, double sigma,
                           double q_val) {
    CriticalParams p{K, D, carry, sigma, q_val};
    return side == 1 ? _call_critical_func(Sc, &p) : _put_critical_func(Sc, &p);
}
double probe_solve_critical(int side, double K, double D, double carry, double sigma,
                            double q_val) {
    CriticalParams p{K, D, carry, sigma, q_val};
    return side == 1 ? _solve_call_critical(&p) : _solve_put_critical(&p);
}

double probe_baw_price(double S, double K, double D, double F, double sigma, int q) {
    return _baw_price(S, K, D, F, sigma, q);
}
double probe_iv_objective(double sigma, double S, double K, double D, double F, double target,
                          int q) {
    IVParams p{S, K, D, F, target, q};
    return _iv_objective(sigma, &p);
}
double probe_baw_iv(double price, double S, double K, double D, double F, int q) {
    return _baw_implied_vol_c(price, S, K, D, F, q);
}

// which: 0 (t - 3)^2, 1 constant, 2 always NaN.
double probe_fminbound(int which, double xa, double xb, double xatol, int maxiter) {
    return _fminbound(kTestFuncs[which], xa, xb, nullptr, xatol, maxiter);
}

double probe_fwd_iv_abs_diff(double F_trial, double S, double D, const double* calls,
                             const double* puts, const double* strikes, long n) {
    ForwardParams p{S, D, calls, puts, strikes, static_cast<std::ptrdiff_t>(n)};
    return _fwd_iv_abs_diff(F_trial, &p);
}

// The forward finder, and its search as first designed: the parity estimate
// and one run of the minimiser over [0.97, 1.03] F_init, without the wider scan.
double probe_find_forward(double S, double D, const double* calls, const double* puts,
                          const double* strikes, long n) {
    const ForwardParams p{S, D, calls, puts, strikes, static_cast<std::ptrdiff_t>(n)};
    return _find_forward(&p);
}
double probe_bracket_search(double S, double D, const double* calls, const double* puts,
                            const double* strikes, long n) {
    ForwardParams p{S, D, calls, puts, strikes, static_cast<std::ptrdiff_t>(n)};
    const double F_init = _parity_forward(&p);
    return _fminbound(_fwd_iv_abs_diff, F_init * 0.97, F_init * 1.03, &p, 1e-6, 100);
}

}  // extern "C"
