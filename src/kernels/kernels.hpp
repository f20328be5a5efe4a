// Pricing kernels of velliq: the Barone-Adesi-Whaley (1987) American option
// approximation in forward terms, its inversion for implied volatility, and
// the bounded minimiser and objective of the forward search.
//
// Inputs: spot S, strike K, discount factor D (price today of one unit paid at
// expiry), forward F and sigma, the total standard deviation of the log price
// to expiry. The side q is 1 for a call; every other value is a put.
//
// IEEE-754 policy: kernels never raise, never allocate and never touch Python
// objects. NaN and infinities flow through the arithmetic and comparisons as
// IEEE-754 defines; outcomes are reported only through the returned double.
// Every loop is bounded, so every kernel terminates for any double inputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "alo/american_price.hpp"
#include "forward/pair.hpp"
#include "shared/brentq.hpp"
#include "shared/outcome.hpp"

namespace velliq {

// --- Constants --------------------------------------------------------------

inline constexpr double NCDF_ASYM1 = -10.0;        // series region: z <= -10
inline constexpr double NCDF_ASYM2 = -67108864.0;  // -2^26: series skipped below
inline constexpr double DOUBLE_MAX = 1.7976931348623157e308;
inline constexpr double DOUBLE_EPS = 2.220446049250313e-16;  // 2^-52
inline constexpr double ONE_OVER_SQRT_TWO_PI = 0.3989422804014327;
inline constexpr double ONE_OVER_SQRT_TWO = 0.7071067811865476;  // sqrt(0.5), not 1/sqrt(2.0)
inline constexpr double BRENTQ_XTOL = 1e-10;
inline constexpr double IV_MAX_SIGMA = 10.0;
inline constexpr double IV_TOL = 1e-10;
inline constexpr double GOLDEN = 0.3819660112501051;        // (3 - sqrt(5)) / 2
inline constexpr double SQRT_EPS = 1.4901161193847656e-08;  // 2^-26
inline constexpr double DOUBLE_NAN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double PI = 3.141592653589793;

static_assert(std::bit_cast<std::uint64_t>(NCDF_ASYM1) == 0xC024000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(NCDF_ASYM2) == 0xC190000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(DOUBLE_MAX) == 0x7FEFFFFFFFFFFFFFULL);
static_assert(std::bit_cast<std::uint64_t>(DOUBLE_EPS) == 0x3CB0000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(ONE_OVER_SQRT_TWO_PI) == 0x3FD9884533D43651ULL);
static_assert(std::bit_cast<std::uint64_t>(ONE_OVER_SQRT_TWO) == 0x3FE6A09E667F3BCDULL);
static_assert(std::bit_cast<std::uint64_t>(BRENTQ_XTOL) == 0x3DDB7CDFD9D7BDBBULL);
static_assert(std::bit_cast<std::uint64_t>(IV_MAX_SIGMA) == 0x4024000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(IV_TOL) == 0x3DDB7CDFD9D7BDBBULL);
static_assert(std::bit_cast<std::uint64_t>(GOLDEN) == 0x3FD8722191A02D60ULL);
static_assert(std::bit_cast<std::uint64_t>(SQRT_EPS) == 0x3E50000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(DOUBLE_NAN) == 0x7FF8000000000000ULL);
static_assert(std::bit_cast<std::uint64_t>(PI) == 0x400921FB54442D18ULL);

// --- Normal distribution and Black forward price ----------------------------

double _norm_pdf(double x);
double _norm_cdf(double z);
double _bsm_price(double K, double D, double F, double sigma, int q);

// Value of immediate exercise at the spot.
// Whether any argument is NaN: a missing input.
template <class... T>
inline bool _any_nan(T... x) {
    return (std::isnan(x) || ...);
}

inline double _intrinsic(double S, double K, int q) {
    if (q == 1) {
        return S > K ? S - K : 0.0;
    }
    return S < K ? K - S : 0.0;
}

// Whether S, K, D and F describe an option: each positive and finite (NaN is
// not). Where they do, the American price is never below the exercise value;
// the ufuncs give NaN where they do not.
inline bool _inputs_in_domain(double S, double K, double D, double F) {
    const auto positive_finite = [](double x) { return x > 0 && x <= DOUBLE_MAX; };
    return positive_finite(S) && positive_finite(K) && positive_finite(D) && positive_finite(F);
}

// d1 of the Black formula for forward F.
inline double _d1(double F, double K, double sigma) {
    return std::log(F / K) / sigma + 0.5 * sigma;
}

// --- Bracket ends -----------------------------------------------------------

// The objective's values at the two ends of a bracket, which a solver has
// evaluated before it calls brentq. brentq begins by evaluating both ends
// again; the objectives answer those calls from here. A point is recognised by
// its bit pattern, so a recalled value is exactly what evaluating would give.
struct BracketEnds {
    int count = 0;
    double x[2] = {0.0, 0.0};
    double f[2] = {0.0, 0.0};

    void remember(double at, double value) {
        if (count < 2) {
            x[count] = at;
            f[count] = value;
            ++count;
        }
    }
    bool recall(double at, double* value) const {
        for (int i = 0; i < count; ++i) {
            if (std::bit_cast<std::uint64_t>(at) == std::bit_cast<std::uint64_t>(x[i])) {
                *value = f[i];
                return true;
            }
        }
        return false;
    }
};

// --- Early-exercise boundary ------------------------------------------------

struct CriticalParams {
    double K;
    double D;
    double carry;  // F / S of the option priced: a trial spot Sc has forward carry * Sc
    double sigma;
    double q_val;  // q2 for a call, q1 for a put
    BracketEnds ends = {};
};

double _call_critical_func(double Sc, void* params);
double _put_critical_func(double Sc, void* params);
double _solve_call_critical(CriticalParams* params);
double _solve_put_critical(CriticalParams* params);

// --- American price and implied volatility ----------------------------------

// The BAW American price (baw/terms.hpp): the exercise value where sigma <= 0,
// the European price where D >= 1, and never below the exercise value where
// _inputs_in_domain holds. Other degenerate inputs give what the formulas give.
double _baw_price(double S, double K, double D, double F, double sigma, int q);

struct IVParams {
    double S;
    double K;
    double D;
    double F;
    double target_price;
    int q;
    BracketEnds ends = {};
};

double _iv_objective(double sigma, void* params);
double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q);

// --- Bounded minimiser and forward-search objective -------------------------

using minimize_func_t = double (*)(double, void*);

double _fminbound(minimize_func_t f, double xa, double xb, void* args, double xatol, int maxiter);

struct ForwardParams {
    double S;
    double D;
    const double* sel_calls;
    const double* sel_puts;
    const double* sel_strikes;
    std::ptrdiff_t n;
};

double _fwd_iv_abs_diff(double F_trial, void* params);

// Strike windows of the forward finder, as fractions of the spot: the
// caller's own first, then these, widening; every strike when none selects one.
inline constexpr double DEFAULT_STRIKE_PCT = 0.01;
inline constexpr double STRIKE_WINDOWS[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1.0};

// The forward at which the selected strikes' call and put volatilities agree
// best: put-call parity gives a first estimate, Brent's minimiser searches
// +/-3 % around it. A search that stops at an end of that bracket, or where no
// strike yields a usable pair, scans a wider range for usable forwards and
// minimises around the best one. NaN when no trial forward yields a usable pair.
double _find_forward(const ForwardParams* params);

// The put-call parity forward K + (C - P) / D, averaged over the strikes; S
// when there are none.
double _parity_forward(const ForwardParams* params);

// --- Sensitivities -------------------------------------------------------------

// Derivatives of the American price: delta and gamma in S with D and F/S held
// fixed; vega in sigma; dF in F with S and D fixed; dD in D with S and F fixed.
// NaN when any input is NaN.
struct Greeks {
    double delta, gamma, vega, dF, dD;
};

Greeks _baw_greeks(double S, double K, double D, double F, double sigma, int side);

// --- The accurate American price: implied volatility and sensitivities -------

// The implied total standard deviation of an American price at one accuracy
// setting of _american_price (alo/american_price.hpp): 0.0 at or below the
// exercise value, NaN where no volatility reproduces the quote or an input is NaN.
double _american_implied_vol(double price, double S, double K, double D, double F, int side,
                             int setting);

// The sensitivities of _american_price, defined as for _baw_greeks: those of
// the price as computed (alo/greeks.cpp).
Greeks _american_greeks(double S, double K, double D, double F, double sigma, int side,
                        int setting);

// --- Results as the Python surface reports them -----------------------------

// NaN when any input is NaN (a missing value is not a price); otherwise the
// American price.
double _baw_price_value(double S, double K, double D, double F, double sigma, int q);

// NaN when any input is NaN or no volatility reproduces the quote; 0.0 for a
// quote at or below its exercise value; otherwise the implied total standard
// deviation.
double _baw_implied_vol_value(double price, double S, double K, double D, double F, int q);

// The results above, and _baw_greeks, as the ufuncs report them: NaN also
// where S, K, D or F is not positive and finite, or the quote is not finite.
double _baw_price_checked(double S, double K, double D, double F, double sigma, int q);
double _baw_implied_vol_checked(double price, double S, double K, double D, double F, int q);
Greeks _baw_greeks_checked(double S, double K, double D, double F, double sigma, int q);

}  // namespace velliq
