// Test-only C entry points over the pricing kernels, loaded with ctypes by
// tests/kernel_probe.py. No Python.h: Python hands over SciPy's brentq as a raw
// pointer, and a recording shim in front of it logs every root search (bracket,
// tolerances, iteration limit, the inputs behind the callback's record and the
// root) before forwarding it unchanged to the real SciPy brentq.
#include <cmath>
#include <cstring>

#include "baw/baw.hpp"
#include "forward/search.hpp"
#include "kernels.hpp"
#include "shared/brentq.hpp"

using namespace velliq;

// The unoptimised kernels of tests/reference_kernels.cpp.
namespace velliq::reference {
double _call_critical_func(double Sc, void* params);
double _put_critical_func(double Sc, void* params);
double _baw_price(double S, double K, double D, double F, double sigma, int q);
double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q);
}  // namespace velliq::reference

namespace {

// kind: 0 call boundary, 1 put boundary, 2 implied volatility, -1 other.
// param: sigma of the boundary record, or the quote of the IV record.
struct BrentqCall {
    double xa, xb, xtol, rtol;
    int iter, kind;
    double param, root;
};

constexpr int kLogSize = 4096;
brentq_t real_brentq = nullptr;
BrentqCall brentq_log[kLogSize];
int brentq_count = 0;          // total calls; only the first kLogSize are kept
int eval_count = 0;            // evaluations of the counted minimiser test functions
double eval_points[kLogSize];  // their abscissae, in order

double counted(double t) {
    if (eval_count < kLogSize) {
        eval_points[eval_count] = t;
    }
    ++eval_count;
    return t;
}

double recording_brentq(brentq_callback_t f, double xa, double xb, void* args, double xtol,
                        double rtol, int iter, zeros_full_output* full_output) {
    const double root = real_brentq(f, xa, xb, args, xtol, rtol, iter, full_output);
    BrentqCall rec{xa, xb, xtol, rtol, iter, -1, NAN, root};
    if (f == _call_critical_func || f == _put_critical_func) {
        rec.kind = f == _call_critical_func ? 0 : 1;
        rec.param = static_cast<const CriticalParams*>(args)->sigma;
    } else if (f == _iv_objective) {
        rec.kind = 2;
        rec.param = static_cast<const IVParams*>(args)->target_price;
    }
    if (brentq_count < kLogSize) {
        brentq_log[brentq_count] = rec;
    }
    ++brentq_count;
    return root;
}

double parabola(double t, void*) {
    t = counted(t);
    return (t - 3) * (t - 3);
}
double constant(double t, void*) {
    counted(t);
    return 1.0;
}
double always_nan(double t, void*) {
    counted(t);
    return NAN;
}
constexpr minimize_func_t kTestFuncs[] = {parabola, constant, always_nan};

}  // namespace

extern "C" {

void probe_set_brentq(void* fn) {
    real_brentq = reinterpret_cast<brentq_t>(fn);
    velliq::brentq = recording_brentq;
}

void probe_reset() {
    brentq_count = 0;
    eval_count = 0;
}
int probe_brentq_count() {
    return brentq_count;
}
int probe_eval_count() {
    return eval_count;
}
double probe_eval_point(int i) {
    return i >= 0 && i < eval_count && i < kLogSize ? eval_points[i] : NAN;
}

// Writes xa, xb, xtol, rtol, iter, kind, param, root of call i into out[8].
int probe_brentq_call(int i, double* out) {
    if (i < 0 || i >= brentq_count || i >= kLogSize) {
        return 0;
    }
    const BrentqCall& c = brentq_log[i];
    const double vals[8] = {c.xa,           c.xb,           c.xtol,  c.rtol,
                            double(c.iter), double(c.kind), c.param, c.root};
    for (int k = 0; k < 8; ++k) {
        out[k] = vals[k];
    }
    return 1;
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
// Counts the rows of x where a kernel differs in any bit from its unoptimised
// reference. kernel 1/-1: call/put boundary equation, rows Sc, K, D, carry,
// sigma, q_val; 2: American price, rows S, K, D, F, sigma, q; 3: implied
// volatility, rows price, S, K, D, F, q.
long probe_reference_mismatches(int kernel, const double* x, long rows) {
    long mismatches = 0;
    for (long r = 0; r < rows; ++r) {
        const double* v = x + 6 * r;
        double got, want;
        if (kernel == 1 || kernel == -1) {
            CriticalParams p{v[1], v[2], v[3], v[4], v[5]};
            got = kernel == 1 ? _call_critical_func(v[0], &p) : _put_critical_func(v[0], &p);
            want = kernel == 1 ? reference::_call_critical_func(v[0], &p)
                               : reference::_put_critical_func(v[0], &p);
        } else if (kernel == 2) {
            got = _baw_price(v[0], v[1], v[2], v[3], v[4], int(v[5]));
            want = reference::_baw_price(v[0], v[1], v[2], v[3], v[4], int(v[5]));
        } else {
            got = _baw_implied_vol_c(v[0], v[1], v[2], v[3], v[4], int(v[5]));
            want = reference::_baw_implied_vol_c(v[0], v[1], v[2], v[3], v[4], int(v[5]));
        }
        mismatches += std::memcmp(&got, &want, sizeof got) != 0;
    }
    return mismatches;
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

// which: 0 (t - 3)^2, 1 constant, 2 always NaN; evaluations in probe_eval_count/_point.
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
