// Sensitivities of the accurate American price (alo.hpp), exact
// for the discretised price. The put's boundary depends on the rates and sigma
// but not on the spot, so delta and gamma (S and F moving together) price
// the shifted spots on the one boundary of the price itself. Vega, dF and dD
// move the boundary: its derivatives come from the implicit function theorem
// on its collocation equations (sensitivity.hpp), and the premium's derivative
// along the boundary's and the parameters' move is a central difference of
// the premium on the moved node values. The Black part is analytic.
// Inside the exercise region delta is +-1 and the rest 0; where early exercise
// is never optimal, the Black Greeks. At sigma == 0, at a sigma so small
// against the rates that the boundary integrates its layer apart, and should
// the boundary's equations be singular, all five are central differences of prices with
// relative steps, each shifted price solving its own boundary; there dD for
// D >= 1 is the one-sided difference below D, by an absolute step, and where
// a step crosses into a regime the price does not cover (two exercise
// boundaries), the difference is the one-sided one on the priced side.
#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/alo.hpp"
#include "alo/gauss_legendre.hpp"
#include "alo/option.hpp"
#include "alo/premium.hpp"
#include "alo/sensitivity.hpp"

namespace velliq {

namespace {

using alo::BoundarySensitivity;

// Relative step of S (with F), of sigma, of F and of 1 - D; of sigma and the
// put's rates in the premium's differences.
constexpr double AMERICAN_GREEKS_STEP = 1e-4;
// Absolute step of D below D = 1.
constexpr double AMERICAN_GREEKS_UNIT_D_STEP = 1e-6;
// Least rates' step of the premium's differences, relative to the put's r.
constexpr double AMERICAN_GREEKS_RATE_FLOOR = 1e-2;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_GREEKS_STEP) == 0x3F1A36E2EB1C432DULL);
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_GREEKS_UNIT_D_STEP) == 0x3EB0C6F7A0B5ED8DULL);
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_GREEKS_RATE_FLOOR) == 0x3F847AE147AE147BULL);

// The derivative from the prices at x + step, x and x - step: central, or
// one-sided where one of the outer prices is NaN.
double derivative(double up, double mid, double down, double step) {
    if (std::isnan(up)) {
        return (mid - down) / step;
    }
    if (std::isnan(down)) {
        return (up - mid) / step;
    }
    return (up - down) / (2 * step);
}

// The option shifted in spot (F moving with S) priced in the regime of the
// option itself: the shifted carry, rounded anew, can take a rate within
// rounding of zero across the snap to zero (option.hpp) and so into a regime
// the unshifted price is not in, while the rates are those of the unshifted
// option to rounding.
alo::Option in_regime_of(const alo::Option& unshifted, alo::Option shifted) {
    if (shifted.valid && unshifted.valid &&
        (shifted.european != unshifted.european ||
         shifted.two_boundaries != unshifted.two_boundaries)) {
        shifted.r = unshifted.r;
        shifted.q = unshifted.q;
        shifted.european = unshifted.european;
        shifted.two_boundaries = unshifted.two_boundaries;
    }
    return shifted;
}

// The Greeks by central differences of prices, each shifted price solving its
// own boundary. Never inlined: its storage stays out of the frame that holds
// the boundary's derivatives.
[[gnu::noinline]] Greeks by_differences(double S, double K, double D, double F, double sigma,
                                        int side, const AloScheme& scheme) {
    alo::Weights weights;
    alo::Boundary base;
    base.H.n = 0;  // none unless the price needs one
    const alo::Option o = alo::describe(S, K, D, F, side);
    const double mid = alo::price(o, sigma, scheme, nullptr, &weights, &base);
    // A shifted price solves afresh into the storage of the unshifted one,
    // which only delta and gamma use.
    auto price = [&](double s, double f, double d, double v) {
        return alo::price(alo::describe(s, K, d, f, side), v, scheme, nullptr, &weights, &base);
    };
    const double h = AMERICAN_GREEKS_STEP;
    const double carry = F / S;
    const double dS = h * S;
    const double up = alo::price_on(
        in_regime_of(o, alo::describe(S + dS, K, D, carry * (S + dS), side)), sigma, scheme, base);
    const double down = alo::price_on(
        in_regime_of(o, alo::describe(S - dS, K, D, carry * (S - dS), side)), sigma, scheme, base);
    if (mid == _intrinsic(S, K, side) && up == _intrinsic(S + dS, K, side) &&
        down == _intrinsic(S - dS, K, side) && mid != 0) {
        return {side == 1 ? 1.0 : -1.0, 0.0, 0.0, 0.0, 0.0};  // inside the exercise region
    }
    const double dsigma = h * sigma;
    const double dF = h * F;
    // Below D = 1 the step is relative to the nearer of 0 and 1.
    const double dD = h * (D < 1 - D ? D : 1 - D);
    Greeks g;
    g.delta = (up - down) / (2 * dS);
    g.gamma = (up - 2 * mid + down) / (dS * dS);
    g.vega = sigma > 0
                 ? (price(S, F, D, sigma + dsigma) - price(S, F, D, sigma - dsigma)) / (2 * dsigma)
                 : 0.0;
    g.dF = derivative(price(S, F + dF, D, sigma), mid, price(S, F - dF, D, sigma), dF);
    g.dD = dD > 0 ? derivative(price(S, F, D + dD, sigma), mid, price(S, F, D - dD, sigma), dD)
                  : (mid - price(S, F, D - AMERICAN_GREEKS_UNIT_D_STEP, sigma)) /
                        AMERICAN_GREEKS_UNIT_D_STEP;
    return g;
}

// The Black (1976) Greeks in forward terms, sigma > 0.
Greeks black_greeks(double S, double K, double D, double F, double sigma, int side) {
    const double d1 = _d1(F, K, sigma);
    const double density = _norm_pdf(d1);
    Greeks g;
    g.dF = side == 1 ? D * _norm_cdf(d1) : -D * _norm_cdf(-d1);
    g.delta = g.dF * (F / S);
    g.gamma = D * F * density / (S * S * sigma);
    g.vega = D * F * density;
    g.dD = _bsm_price(K, D, F, sigma, side == 1 ? 1 : -1) / D;
    return g;
}

// The derivative of the premium per unit strike at x along (dv, dr, dq) of the
// put's sigma and rates, the node values moving by dg per unit: the central
// difference of steps +-step.
double premium_slope(const alo::PutProblem& P, const alo::Boundary& B, const double* dg, double dv,
                     double dr, double dq, double step, double x, const AloScheme& scheme) {
    const alo::RuleView layer = alo::gauss_rule(scheme.layer_points);
    const alo::RuleView bulk = alo::gauss_rule(scheme.bulk_points);
    const int n = B.H.n;
    alo::Boundary moved;
    moved.H = B.H;
    double h[ALO_MAX_INTERVALS + 1], value[2];
    for (int end = 0; end < 2; ++end) {
        const double t = end == 0 ? step : -step;
        for (int i = 0; i < n; ++i) {
            moved.g[i] = B.g[i] + t * dg[i];
            h[i] = moved.g[i] * moved.g[i];
        }
        moved.g[n] = 0.0;
        h[n] = 0.0;
        moved.H.fit(h);
        const alo::PutProblem shifted =
            alo::put_problem_beside(P, P.r + t * dr, P.q + t * dq, P.v + t * dv);
        value[end] = alo::put_premium(shifted, moved, x, layer, bulk);
    }
    return (value[0] - value[1]) / (2 * step);
}

// The prices at S + j dS, j = -2..2 (F moving with S), on the boundary of the
// price mid at S. Never inlined: the shifted options stay off the stack while
// the boundary's derivatives are solved.
[[gnu::noinline]] void spot_prices(const alo::Option& o, double sigma, const AloScheme& scheme,
                                   const alo::Boundary& base, double mid, double dS, double* at) {
    const double S = o.S, K = o.K, D = o.D, F = o.F;
    const int side = o.side;
    for (int j = -2; j <= 2; ++j) {
        const double s = S + j * dS;
        at[j + 2] = j == 0
                        ? mid
                        : alo::price_on(in_regime_of(o, alo::describe(s, K, D, (F / S) * s, side)),
                                        sigma, scheme, base);
    }
}

// The premium's derivatives per unit strike in the put's sigma, in the yield
// (the rate F moves) and in both rates (those D moves), along the derivatives
// of the boundary base of P; false where those are not available
// (boundary_sensitivity). Never inlined: its storage is off the stack while
// the price solves its boundary.
[[gnu::noinline]] bool premium_slopes(const alo::Option& o, const alo::PutProblem& P,
                                      const alo::Boundary& base, const AloScheme& scheme,
                                      double* slope_v, double* slope_yield, double* slope_rates) {
    BoundarySensitivity moves;
    if (!alo::boundary_sensitivity(P, scheme, base, &moves)) {
        return false;
    }
    const double x = o.put_spot / o.put_strike;
    // The rates' step, relative to the distance to r = q, where X = K min(1, r/q)
    // turns, and to r = 0 while q > r (X/K = r/q); but not below
    // AMERICAN_GREEKS_RATE_FLOOR r, under which the premium's differences
    // would resolve rounding rather than its slope. A step across r = q
    // continues the formula of X on the put's own side (premium_slope).
    double rate_scale = o.r != o.q ? std::fabs(o.r - o.q) : o.r;
    if (o.q > o.r && o.r < rate_scale) {
        rate_scale = o.r;
    }
    if (rate_scale < AMERICAN_GREEKS_RATE_FLOOR * o.r) {
        rate_scale = AMERICAN_GREEKS_RATE_FLOOR * o.r;
    }
    const double rate_step = AMERICAN_GREEKS_STEP * rate_scale;
    // F moves the yield, the put's q (a call's r); D moves both rates alike.
    const bool is_call = o.side == 1;
    const alo::BoundaryParameter yield = is_call ? alo::RATE : alo::YIELD;
    *slope_v = premium_slope(P, base, moves.by[alo::VOLATILITY], 1.0, 0.0, 0.0,
                             AMERICAN_GREEKS_STEP * P.v, x, scheme);
    *slope_yield = premium_slope(P, base, moves.by[yield], 0.0, is_call ? 1.0 : 0.0,
                                 is_call ? 0.0 : 1.0, rate_step, x, scheme);
    // Both rates' move, in the storage of the rate's.
    double* both = moves.by[alo::RATE];
    for (int i = 0; i <= base.H.n; ++i) {
        both[i] += moves.by[alo::YIELD][i];
    }
    *slope_rates = premium_slope(P, base, both, 0.0, 1.0, 1.0, rate_step, x, scheme);
    return true;
}

// The Greeks on the price's own boundary and its derivatives, sigma > 0; false
// where the boundary's derivatives are not available (boundary_sensitivity).
// Never inlined: its storage and that of by_differences are never on the stack
// together. The price's solve, the boundary's derivatives and the shifted
// prices each run in a frame of their own, so that the deepest of them stands
// on little more than the price's boundary: the Greeks fit where the price
// does.
[[gnu::noinline]] bool on_the_boundary(double S, double K, double D, double F, double sigma,
                                       int side, const AloScheme& scheme, Greeks* out) {
    const alo::Option o = alo::describe(S, K, D, F, side);
    alo::Boundary base;
    base.H.n = 0;  // none unless the price needs one
    const double mid = alo::price_cold(o, sigma, scheme, &base);
    if (std::isnan(mid)) {
        *out = NO_GREEKS;
        return true;
    }
    if (o.european) {
        *out = black_greeks(S, K, D, F, sigma, side);
        return true;
    }
    // Prices at S + j dS, j = -2..2 (F moving with S), on the one boundary.
    const double dS = AMERICAN_GREEKS_STEP * S;
    double at[5];
    spot_prices(o, sigma, scheme, base, mid, dS, at);
    if (mid == _intrinsic(S, K, side) && at[3] == _intrinsic(S + dS, K, side) &&
        at[1] == _intrinsic(S - dS, K, side) && mid != 0) {
        *out = {side == 1 ? 1.0 : -1.0, 0.0, 0.0, 0.0, 0.0};  // inside the exercise region
        return true;
    }
    const alo::PutProblem P = alo::put_problem(o.r, o.q, sigma);
    double slope_v, slope_yield, slope_rates;
    if (!premium_slopes(o, P, base, scheme, &slope_v, &slope_yield, &slope_rates)) {
        return false;
    }
    const Greeks black = black_greeks(S, K, D, F, sigma, side);
    Greeks& g = *out;
    // Fourth-order central differences.
    g.delta = (8 * (at[3] - at[1]) - (at[4] - at[0])) / (12 * dS);
    g.gamma = (16 * (at[3] + at[1]) - 30 * mid - (at[4] + at[0])) / (12 * dS * dS);
    // The yield -ln D - ln(F/S) moves by -dF/F, both rates by -dD/D.
    g.vega = black.vega + o.put_strike * slope_v;
    g.dF = black.dF - o.put_strike * slope_yield / F;
    g.dD = black.dD - o.put_strike * slope_rates / D;
    return true;
}

}  // namespace

Greeks _american_greeks(double S, double K, double D, double F, double sigma, int side,
                        int setting) {
    if (_any_nan(S, K, D, F, sigma) || !known_setting(setting)) {
        return NO_GREEKS;
    }
    const AloScheme& scheme = ALO_SCHEMES[setting];
    Greeks g;
    if (sigma != 0.0 && on_the_boundary(S, K, D, F, sigma, side, scheme, &g)) {
        return g;
    }
    return by_differences(S, K, D, F, sigma, side, scheme);
}

}  // namespace velliq
