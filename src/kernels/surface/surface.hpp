// An arbitrage-free volatility surface: per expiry (slice) a non-negative density
// of k = S_T / F, piecewise linear on knots common to all slices, zero at both ends,
// of mass 1 and mean 1. The normalised call c(k) = C / (D F) is then convex and on
// each cell [x_j, x_j+1] the cubic
//   c(x_j + t) = c_j + c'_j t + p_j t^2 / 2 + (p_j+1 - p_j) t^3 / (6 h_j),
// and the put c(k) - (1 - k) is the same cubic from its own value and slope at x_j
// (kept so that far out-of-the-money prices are not differences of numbers near 1).
//
// Between expiries c(k, T) is linear in T at fixed k. Before the first the first
// slice's law is shrunk towards the forward (X_T = 1 + lam (X_1 - 1), lam =
// sqrt(T / T_1)); after the last it is spread by Z = 1 +- a with equal odds, a =
// sqrt(1 - exp(-v (T - T_N))), v the last slice's ATM variance rate. Both keep the
// law a martingale growing in convex order: no butterfly or calendar arbitrage.
// Forward and discount: ln F and ln D linear in T (ln D through 0 at T = 0).
#pragma once

#include "kernels.hpp"

namespace velliq::surface {

// One surface, read-only: `knots` knots, `slices` expiries (ascending years) with
// their forwards and discount factors (and those's logarithms), and
// per slice (rows of `knots` doubles, row-major) the density at the knots, the
// call's value and slope and the put's value and slope there (surface_tails),
// and the implied total standard deviation at the knots (a start for inversion).
struct View {
    const double* grid;
    int knots;
    const double* years;
    const double* forward;
    const double* discount;
    const double* log_forward;
    const double* log_discount;
    int slices;
    const double* density;
    const double* call;
    const double* call_slope;
    const double* put;
    const double* put_slope;
    const double* sigma;
    double atm_rate;  // the last slice's ATM total variance over its years
};

// The normalised price of a side (+1 call, -1 put) at (k, T): value, slope in k,
// density in k and the derivative of the value in T at fixed k.
struct Priced {
    double value;
    double slope;
    double density;
    double dT;
};

// A slice's call and put values and slopes at the knots from its density.
void surface_tails(const double* grid, int knots, const double* density, double* call,
                   double* call_slope, double* put, double* put_slope);

// The cell of k: j with grid[j] <= k < grid[j + 1], -1 at or below the first
// knot, knots - 1 at or above the last.
int cell_of(const View& v, double k);

// Slice n of the view at moneyness k (in cell j, where given).
Priced slice_price(const View& v, int n, double k, int side);
Priced slice_price(const View& v, int n, double k, int j, int side);

// The surface at (k, T), T > 0.
Priced surface_price(const View& v, double k, double T, int side);

// Forward and discount factor at T.
void surface_terms(const View& v, double T, double* F, double* D);

// The total standard deviation whose Black out-of-the-money price (forward 1,
// undiscounted; the call for k >= 1, the put below) is `price`, from `start`:
// Halley steps on the price's logarithm inside a shrinking bracket. 0 for no
// time value (price <= 0, rounding's negatives included), NaN at or beyond the
// bound (1 for a call, k for a put) or for NaN.
double black_otm_sigma(double k, double price, double start);

// A start for black_otm_sigma at (k, T): the knots' total variances
// interpolated as the prices are.
double sigma_start(const View& v, double k, double T);

// What a query returns.
enum class Query { implied_vol, total_variance, call_price, put_price, density, local_vol };

// The query at strike K and years T; NaN where K or T is not positive and finite.
double surface_query(const View& v, Query what, double K, double T);

}  // namespace velliq::surface
