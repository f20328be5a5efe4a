// What velliq's pricing models share: the IEEE-754 policy, the constants, the
// normal distribution and the Black price, the exercise value and the domain
// of an option, the objective's remembered bracket ends, the sensitivities'
// record, the bounded minimiser and the reason codes of the results. Each
// model exports its own entry points from its folder (baw/baw.hpp,
// alo/alo.hpp); nothing here depends on a model.
//
// Inputs: spot S, strike K, discount factor D (price today of one unit paid at
// expiry), forward F and sigma, the total standard deviation of the log price
// to expiry. The side is +1 for a call and -1 for a put; the designed BAW
// kernels name it q and take every value but 1 as a put.
//
// IEEE-754 policy: kernels never raise, never allocate and never touch Python
// objects. NaN and infinities flow through the arithmetic and comparisons as
// IEEE-754 defines; outcomes are reported only through the returned values.
// Every loop is bounded, so every kernel terminates for any double inputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

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

// Whether any argument is NaN: a missing input.
template <class... T>
inline bool _any_nan(T... x) {
    return (std::isnan(x) || ...);
}

// --- Exercise value ---------------------------------------------------------

// Value of immediate exercise at the spot: max(S - K, 0) for a call (side 1),
// max(K - S, 0) otherwise.
inline double _intrinsic(double S, double K, int side) {
    if (side == 1) {
        return S > K ? S - K : 0.0;
    }
    return S < K ? K - S : 0.0;
}

// A price less its exercise value; NaN where any input is NaN (_intrinsic
// alone reads a NaN spot or strike as out of the money).
inline double _time_value(double price, double S, double K, int side) {
    return _any_nan(S, K) ? DOUBLE_NAN : price - _intrinsic(S, K, side);
}

// A quote against its exercise value, with the margin IV_TOL at which the
// implied-volatility kernels give volatility 0.0: below it by more than the
// margin, or above it by more than the margin.
bool _below_exercise(double price, double S, double K, int side);
bool _has_time_value(double price, double S, double K, int side);

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

// --- Bounded minimiser ------------------------------------------------------

using minimize_func_t = double (*)(double, void*);

double _fminbound(minimize_func_t f, double xa, double xb, void* args, double xatol, int maxiter);

// --- Results ----------------------------------------------------------------

// Derivatives of an American price: delta and gamma in S with D and F/S held
// fixed; vega in sigma; dF in F with S and D fixed; dD in D with S and F fixed.
struct Greeks {
    double delta, gamma, vega, dF, dD;
};

inline constexpr Greeks NO_GREEKS = {DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN};

// Why a kernel gives no volatility or no forward: one code per result, shared
// by the models. The codes index REASON_NAMES, which the package exposes as
// REASONS. No kernel gives codes 1 and 2: they were published for a quote
// table's own statuses (crossed, no_forward), which now map from the reasons
// by name, and stay unused so that every published code keeps its meaning.
enum class Reason : std::int8_t {
    missing_input = 0,    // an input NaN or infinite, or S, K, D or F not positive
    below_intrinsic = 3,  // the price is below its exercise value by more than IV_TOL
    no_time_value = 4,    // the price is within IV_TOL of its exercise value: volatility 0.0
    no_solution = 5,      // no volatility, or no forward, reproduces the quotes
    ok = 6,
    no_overlap = 7,  // forward pair: the call's and put's bid-ask bands meet at no forward
    unsettled = 8,   // forward pair: a root did not settle within the step limit
};

inline constexpr const char* REASON_NAMES[] = {
    "missing_input", "crossed", "no_forward", "below_intrinsic", "no_time_value",
    "no_solution",   "ok",      "no_overlap", "unsettled",
};

// A model's implied total standard deviation of a quote with the reason for
// it, as its solver decided: missing_input (sigma NaN) where the quote is not
// finite or S, K, D, F describe no option; below_intrinsic and no_time_value
// (sigma 0.0) at or below the exercise value; no_solution (sigma NaN) where no
// volatility reproduces the quote; ok otherwise.
struct VolReason {
    double sigma;
    Reason reason;
};

// The reason of a quote at or below its exercise value + IV_TOL, where every
// model's implied volatility is 0.0.
inline VolReason _zero_sigma(double price, double S, double K, int side) {
    return {0.0,
            _below_exercise(price, S, K, side) ? Reason::below_intrinsic : Reason::no_time_value};
}

}  // namespace velliq
