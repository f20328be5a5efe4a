// The finite-difference solution of the cash-dividend model (schedule.hpp's
// Option) on one grid: the Black-Scholes equation in the spot S, backwards
// from expiry, with the spot dropping by the amount at each ex-date.
//
// Space: nodes S_j = k + c sinh(xi_j), xi uniform below k and above it, from S = 0 (a node: the
// equation degenerates there to dV/dtau = -r V, no boundary value needed) to
// far above the strike, with the payoff's kink k a node and c proportional to
// k sigma (a constant per setting below the kink), so that the nodes crowd where the value bends;
// three-point differences of a stretched grid, one-sided (upwind) where the drift would make the
// central ones non-monotone, and d2V/dS2 = 0 at the top node (exact for the linear values far out).
// Time: Crank-Nicolson, with two implicit Euler steps (Rannacher) at expiry and again after each
// ex-date, steps graded quadratically from each of these starts (the value is least smooth there).
// Early exercise: Brennan-Schwartz, the tridiagonal system eliminated towards
// the exercise region's far end and solved back from it with the exercise
// value as a floor (exact for one exercise region: above the boundary for a
// call; a put's region can split near an ex-date, so a put's step is checked
// and redone by policy iteration where it fails). Ex-dates: V(S, t-) = max(V(max(S - d, 0), t+),
// exercise value at S), by cubic interpolation; a spot below the amount drops
// to 0 (the rule of dividends.hpp).
//
// Nodes at most MAX_NODES: eight arrays of them, under 16 KB of stack.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "dividends/schedule.hpp"

namespace velliq::cash {

inline constexpr int MAX_NODES = 256;
// The solver's arrays on the stack: seven of doubles and, in the policy
// iteration, one of flags: 14,592 bytes.
inline constexpr std::size_t GRID_BYTES = 7 * MAX_NODES * sizeof(double) + MAX_NODES;
static_assert(GRID_BYTES <= 15 * 1024);  // the rest of 16 KB for the frames

// The sinh map's stretch c per unit k max(sigma, 0.005): STRIKE_WIDTH above the kink, and
// below it STRIKE_WIDTH or, at the high setting, LOW_SPOT_WIDTH, whose nodes thin out less
// towards S = 0: they resolve the spots the dividends drop there (a put's value bends where
// a spot below the amount drops to 0), at the cost of fewer nodes at the strike, which only
// the high setting's node count affords (bench/dividends.py: its largest error 1.3e-4 ->
// 1.6e-5 per unit strike; the other settings' largest grows with it).
inline constexpr double STRIKE_WIDTH = 0.3;
inline constexpr double LOW_SPOT_WIDTH = 1.0;
static_assert(std::bit_cast<std::uint64_t>(STRIKE_WIDTH) == 0x3FD3333333333333ULL);
static_assert(std::bit_cast<std::uint64_t>(LOW_SPOT_WIDTH) == 0x3FF0000000000000ULL);

// A grid: nodes below the kink and above it, time steps per unit time (each
// interval between ex-dates takes at least MIN_SEGMENT_STEPS), and the stretch below the kink.
struct GridSize {
    int below, above, steps;
    double below_width;
};
inline constexpr int MIN_SEGMENT_STEPS = 4;

// The value at the option's spot, and its first two derivatives in S there
// (D, b and the schedule fixed).
struct GridValue {
    double price, delta, gamma;
};

// The grid's sizes for `nodes` nodes in all at a setting's `steps` and stretch below the kink.
GridSize size_grid(int nodes, int steps, double below_width = STRIKE_WIDTH);
GridValue solve_grid(const Option& option, const GridSize& size, int refine);

}  // namespace velliq::cash
