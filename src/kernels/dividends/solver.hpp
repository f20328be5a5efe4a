// The cash-dividend price at a setting: two nested grids (grid.hpp), the
// second with twice the nodes and steps, and Richardson's extrapolation
// (4 fine - coarse) / 3 of their second-order errors; the deterministic value
// at sigma 0.
#pragma once

#include <bit>
#include <cstdint>

#include "dividends/grid.hpp"
#include "dividends/schedule.hpp"

namespace velliq::cash {

// Nodes of the coarse grid in all (the fine one has 2 nodes - 1), its time steps per
// unit time and its stretch below the kink (grid.hpp), per setting of alo/scheme.hpp.
struct Setting {
    int nodes, steps;
    double below_width;
};
inline constexpr Setting SETTINGS[3] = {
    {40, 16, STRIKE_WIDTH}, {64, 24, STRIKE_WIDTH}, {127, 80, LOW_SPOT_WIDTH}};
static_assert(2 * SETTINGS[2].nodes - 1 <= MAX_NODES);

// The largest |b| priced: beyond it (the spot's drift multiplies it by e^5 to
// expiry) the forward is no longer a market's, and the scheme's explicit half
// steps would need far more steps.
inline constexpr double MAX_CARRY = 5.0;
static_assert(std::bit_cast<std::uint64_t>(MAX_CARRY) == 0x4014000000000000ULL);

// The option of these inputs with its carry solved, or false where the price
// is NaN: an input NaN, infinite or outside the domain (alo.hpp), sigma
// negative or infinite, no carry within MAX_CARRY reproducing F, or two exercise regions (the
// accurate model's rule on the residual carry: a put with r < 0 and b > 0, a
// call with b < 0 and r < b).
bool describe(double S, double K, double D, double F, double sigma, int side,
              const CashDividends& dividends, Option* option);

// The value at the option's spot with delta and gamma (0 at sigma 0, where
// only the price is wanted).
GridValue value(const Option& option, int setting);

}  // namespace velliq::cash
