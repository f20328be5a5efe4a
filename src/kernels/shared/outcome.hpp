// Why a kernel gives no volatility or no forward: one code per result, shared
// by both models. The codes index REASON_NAMES, which the package exposes as
// REASONS. Codes 1 and 2 name what only a quote table can tell (a crossed
// quote, an expiry without a forward), so that a table's statuses and the
// kernels' reasons share one numbering and one order of precedence.
#pragma once

#include <cstdint>

namespace velliq {

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

// A quote against its exercise value max(S - K, 0) (call) or max(K - S, 0)
// (put), with the margin IV_TOL at which the implied-volatility kernels return
// 0.0: below it by more than the margin, or above it by more than the margin.
bool _below_exercise(double price, double S, double K, int q);
bool _has_time_value(double price, double S, double K, int q);

struct VolReason {
    double vol;
    Reason reason;
};

// A model's implied volatility `vol` of `price` with the reason it is not a
// positive volatility. The reason follows from vol itself: NaN is no_solution;
// 0.0 is below_intrinsic or no_time_value by the price's place against its
// exercise value; anything else is ok. Missing inputs come first: NaN and
// missing_input, whatever the model returned for them.
VolReason _vol_reason(double vol, double price, double S, double K, double D, double F, int q);

}  // namespace velliq
