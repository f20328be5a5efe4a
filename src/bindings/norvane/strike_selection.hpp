// The strikes the forward search of find_forward_baw reconciles, chosen in C++
// over the typed views of the converted quotes.
#pragma once

#include <cstdint>

#include "common/typed_view.hpp"

namespace velliq {

// Strike windows of the forward finder, as fractions of the spot: the
// caller's own first (strike_pct, by default DEFAULT_STRIKE_PCT), then these,
// widening; every strike when none selects one.
inline constexpr double DEFAULT_STRIKE_PCT = 0.01;
inline constexpr double STRIKE_WINDOWS[] = {0.02, 0.05, 0.1, 0.2, 0.5, 1.0};

// The quotes whose strikes lie within S (1 -/+ pct), bounds inclusive, for the
// first pct of strike_pct, then of the widening STRIKE_WINDOWS, that selects a
// strike; every quote when none does. A NaN strike (or bound) is never within.
// Copies the selected quotes, in their order, to the starts of calls_out,
// puts_out and strikes_out (each with room for strikes.length doubles) and
// returns how many there are. calls and puts hold at least strikes.length
// elements.
std::int64_t select_strikes(const TypedView& calls, const TypedView& puts, const TypedView& strikes,
                            double S, double strike_pct, double* calls_out, double* puts_out,
                            double* strikes_out);

}  // namespace velliq
