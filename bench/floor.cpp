// The floor of the batch benchmark: the pricing kernels called from a plain C++
// loop, timed inside C++ with steady_clock so that no Python or ctypes cost is
// counted. Built with the kernels into one shared library (floorlib.py) and
// loaded with ctypes; SciPy's brentq is handed over as a raw pointer.
//
// The *_loop functions are the measured loops themselves; callgrind.sh toggles
// instruction counting on exactly these, entered through floor_run_loops:
// callgrind loses track of calls made straight from ctypes (libffi switches
// stacks), but follows the ordinary calls made from inside the library.
#include <chrono>
#include <cstdint>

#include "baw/baw.hpp"
#include "shared/brentq.hpp"

#define FLOOR_API extern "C" __attribute__((visibility("default")))
#define FLOOR_LOOP FLOOR_API __attribute__((noinline))

using velliq::_baw_implied_vol_c;
using velliq::_baw_price;
using velliq::Baw;
using Clock = std::chrono::steady_clock;

namespace {

std::int64_t elapsed_ns(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Keeps the compiler from treating repeated calls on the same inputs as one.
inline void opaque(double& x) {
    asm volatile("" : "+m"(x));
}

}  // namespace

FLOOR_API void floor_set_brentq(void* fn) {
    velliq::brentq = reinterpret_cast<velliq::brentq_t>(fn);
}

// out[i] = the implied volatility of quote i as the ufunc reports it (NaN for
// no solution or a missing input): its loop, minus Python. On quotes of an
// option (S, K, D, F positive and finite, the quote finite) the batch entry
// point of velliq.norvane reports the same.
FLOOR_LOOP void floor_implied_vol_loop(std::int64_t n, const double* price, const double* S,
                                       const double* K, const double* D, const double* F,
                                       const int* side, double* out) {
    for (std::int64_t i = 0; i < n; ++i) {
        out[i] = Baw::implied_vol(price[i], S[i], K[i], D[i], F[i], side[i]).sigma;
    }
}

// out[i] = the price of option i as the ufunc reports it.
FLOOR_LOOP void floor_price_loop(std::int64_t n, const double* S, const double* K, const double* D,
                                 const double* F, const double* sigma, const int* side,
                                 double* out) {
    for (std::int64_t i = 0; i < n; ++i) {
        out[i] = Baw::price(S[i], K[i], D[i], F[i], sigma[i], side[i]);
    }
}

// Wall time in ns of one call of `pass`.
template <class Pass>
std::int64_t time_pass(Pass pass) {
    const auto start = Clock::now();
    pass();
    return elapsed_ns(start);
}

// Wall time in ns of one pass of floor_implied_vol_loop.
FLOOR_API std::int64_t floor_time_implied_vol(std::int64_t n, const double* price, const double* S,
                                              const double* K, const double* D, const double* F,
                                              const int* side, double* out) {
    return time_pass([&] { floor_implied_vol_loop(n, price, S, K, D, F, side, out); });
}

// Wall time in ns of one pass of floor_price_loop.
FLOOR_API std::int64_t floor_time_price(std::int64_t n, const double* S, const double* K,
                                        const double* D, const double* F, const double* sigma,
                                        const int* side, double* out) {
    return time_pass([&] { floor_price_loop(n, S, K, D, F, sigma, side, out); });
}

// Wall time in ns of `calls` evaluations of `kernel` on the same inputs;
// `input` is made opaque each time so that the calls cannot be merged.
template <class Kernel>
std::int64_t time_repeated(std::int64_t calls, double& input, Kernel kernel) {
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < calls; ++i) {
        opaque(input);
        double sink = kernel();
        opaque(sink);
    }
    return elapsed_ns(start);
}

// Wall time in ns of `calls` calls of _baw_price on one set of inputs.
FLOOR_API std::int64_t floor_repeat_price(double S, double K, double D, double F, double sigma,
                                          int q, std::int64_t calls) {
    return time_repeated(calls, S, [&] { return _baw_price(S, K, D, F, sigma, q); });
}

// Wall time in ns of `calls` calls of _baw_implied_vol_c on one quote.
FLOOR_API std::int64_t floor_repeat_implied_vol(double price, double S, double K, double D,
                                                double F, int q, std::int64_t calls) {
    return time_repeated(calls, price, [&] { return _baw_implied_vol_c(price, S, K, D, F, q); });
}

// Both loops once, for callgrind: prices at sigma into price_out, then the
// implied volatilities of the quotes into iv_out.
FLOOR_API void floor_run_loops(std::int64_t n, const double* price, const double* S,
                               const double* K, const double* D, const double* F,
                               const double* sigma, const int* side, double* price_out,
                               double* iv_out) {
    floor_price_loop(n, S, K, D, F, sigma, side, price_out);
    floor_implied_vol_loop(n, price, S, K, D, F, side, iv_out);
}
