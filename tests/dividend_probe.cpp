// Test-only C entry points over the cash-dividend kernel
// (src/kernels/dividends/dividends.hpp), loaded with ctypes by
// tests/test_dividend_kernel.py and bench/dividends.py. Schedules arrive as
// two contiguous arrays of n doubles, or strided as NumPy hands them over.
#include <cstddef>

#include "alo/alo.hpp"
#include "dividends/dividends.hpp"
#include "dividends/grid.hpp"
#include "dividends/solver.hpp"
#include "forward/pair.hpp"
#include "shared/brentq.hpp"

using namespace velliq;

namespace {

CashDividends view(const double* fractions, const double* amounts, long n, long step) {
    const auto bytes = static_cast<std::ptrdiff_t>(step * sizeof(double));
    return {reinterpret_cast<const char*>(fractions), reinterpret_cast<const char*>(amounts), bytes,
            bytes, n};
}

}  // namespace

extern "C" {

void probe_set_brentq(void* fn) {
    velliq::brentq = reinterpret_cast<brentq_t>(fn);
}

double probe_dividend_price(double S, double K, double D, double F, double sigma, int side,
                            const double* fractions, const double* amounts, long n, long step,
                            int setting) {
    return _dividend_price(S, K, D, F, sigma, side, view(fractions, amounts, n, step), setting);
}

// n options of one schedule: out[k] = price of option k.
void probe_dividend_prices(long count, const double* S, const double* K, const double* D,
                           const double* F, const double* sigma, const int* side,
                           const double* fractions, const double* amounts, long n, int setting,
                           double* out) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    for (long k = 0; k < count; ++k) {
        out[k] = _dividend_price(S[k], K[k], D[k], F[k], sigma[k], side[k], schedule, setting);
    }
}

void probe_dividend_implied_vol(double price, double S, double K, double D, double F, int side,
                                const double* fractions, const double* amounts, long n, int setting,
                                double* sigma, int* reason) {
    const VolReason r =
        _dividend_implied_vol(price, S, K, D, F, side, view(fractions, amounts, n, 1), setting);
    *sigma = r.sigma;
    *reason = static_cast<int>(r.reason);
}

void probe_dividend_greeks(double S, double K, double D, double F, double sigma, int side,
                           const double* fractions, const double* amounts, long n, int setting,
                           double* out) {
    const Greeks g =
        _dividend_greeks(S, K, D, F, sigma, side, view(fractions, amounts, n, 1), setting);
    out[0] = g.delta;
    out[1] = g.gamma;
    out[2] = g.vega;
    out[3] = g.dF;
    out[4] = g.dD;
}

double probe_dividend_amount_sensitivity(double S, double K, double D, double F, double sigma,
                                         int side, const double* fractions, const double* amounts,
                                         long n, long i, int setting) {
    return _dividend_amount_sensitivity(S, K, D, F, sigma, side, view(fractions, amounts, n, 1), i,
                                        setting);
}

// The residual carry of a schedule (NaN where none reproduces F).
double probe_dividend_carry(double S, double F, const double* fractions, const double* amounts,
                            long n) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    const cash::Option option{S, 1.0, 0.0, 0.0, 0.0, 1, &schedule};
    return cash::residual_carry(S, F, option);
}

// The price on one grid of `nodes` nodes and `steps` steps per unit time, without
// the extrapolation, for the convergence tests.
double probe_dividend_grid_price(double S, double K, double D, double F, double sigma, int side,
                                 const double* fractions, const double* amounts, long n, int nodes,
                                 int steps) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    cash::Option option;
    if (!cash::describe(S, K, D, F, sigma, side, schedule, &option)) {
        return DOUBLE_NAN;
    }
    return cash::solve_grid(option, cash::size_grid(nodes, steps), 1).price;
}

// The accurate model's results, for the bit-for-bit comparisons without dividends.
double probe_american_price(double S, double K, double D, double F, double sigma, int side,
                            int setting) {
    return _american_price(S, K, D, F, sigma, side, setting);
}

void probe_american_implied_vol(double price, double S, double K, double D, double F, int side,
                                int setting, double* sigma, int* reason) {
    const VolReason r = _american_implied_vol(price, S, K, D, F, side, setting);
    *sigma = r.sigma;
    *reason = static_cast<int>(r.reason);
}

void probe_american_greeks(double S, double K, double D, double F, double sigma, int side,
                           int setting, double* out) {
    const Greeks g = _american_greeks(S, K, D, F, sigma, side, setting);
    out[0] = g.delta;
    out[1] = g.gamma;
    out[2] = g.vega;
    out[3] = g.dF;
    out[4] = g.dD;
}
// The extrapolated price of grids of `nodes` nodes and `steps` steps per unit time and
// twice that, for tuning the settings.
double probe_dividend_price_sized(double S, double K, double D, double F, double sigma, int side,
                                  const double* fractions, const double* amounts, long n, int nodes,
                                  int steps) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    cash::Option option;
    if (!cash::describe(S, K, D, F, sigma, side, schedule, &option)) {
        return DOUBLE_NAN;
    }
    const cash::GridSize size = cash::size_grid(nodes, steps);
    const double coarse = cash::solve_grid(option, size, 1).price;
    return (4.0 * cash::solve_grid(option, size, 2).price - coarse) / 3.0;
}

// The forward pair of one strike's quotes (call bid, mid, ask, put bid, mid, ask) at the
// default setting, under the dividend model's face or the accurate model's: out = F_mid, F_lo,
// F_hi, then the reason.
void probe_dividend_forward_pair(double S, double K, double D, const double* q,
                                 const double* fractions, const double* amounts, long n,
                                 double* out) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    const AmericanDividends<AMERICAN_DEFAULT> model{schedule};
    const ForwardPair r = forward_pair(model, S, K, D, {q[0], q[1], q[2], q[3], q[4], q[5]});
    out[0] = r.F_mid;
    out[1] = r.F_lo;
    out[2] = r.F_hi;
    out[3] = static_cast<double>(r.reason);
}

void probe_american_forward_pair(double S, double K, double D, const double* q, double* out) {
    const ForwardPair r =
        forward_pair<American<AMERICAN_DEFAULT>>(S, K, D, {q[0], q[1], q[2], q[3], q[4], q[5]});
    out[0] = r.F_mid;
    out[1] = r.F_lo;
    out[2] = r.F_hi;
    out[3] = static_cast<double>(r.reason);
}
// Batches over one schedule for bench/dividends.py: count options, out[k] (five per option
// for the Greeks).
void probe_dividend_implied_vols(long count, const double* price, const double* S, const double* K,
                                 const double* D, const double* F, const int* side,
                                 const double* fractions, const double* amounts, long n,
                                 int setting, double* out) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    for (long k = 0; k < count; ++k) {
        out[k] = _dividend_implied_vol(price[k], S[k], K[k], D[k], F[k], side[k], schedule, setting)
                     .sigma;
    }
}

void probe_dividend_greeks_batch(long count, const double* S, const double* K, const double* D,
                                 const double* F, const double* sigma, const int* side,
                                 const double* fractions, const double* amounts, long n,
                                 int setting, double* out) {
    const CashDividends schedule = view(fractions, amounts, n, 1);
    for (long k = 0; k < count; ++k) {
        const Greeks g =
            _dividend_greeks(S[k], K[k], D[k], F[k], sigma[k], side[k], schedule, setting);
        const double row[5] = {g.delta, g.gamma, g.vega, g.dF, g.dD};
        for (int c = 0; c < 5; ++c) {
            out[5 * k + c] = row[c];
        }
    }
}

void probe_american_prices(long count, const double* S, const double* K, const double* D,
                           const double* F, const double* sigma, const int* side, int setting,
                           double* out) {
    for (long k = 0; k < count; ++k) {
        out[k] = _american_price(S[k], K[k], D[k], F[k], sigma[k], side[k], setting);
    }
}

// The stack the grid solver's arrays take per element (grid.hpp).
long probe_dividend_grid_bytes() {
    return static_cast<long>(cash::GRID_BYTES);
}
}
