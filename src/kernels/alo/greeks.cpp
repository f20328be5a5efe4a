// Sensitivities of the accurate American price (american_price.hpp), defined
// as for _baw_greeks, by central differences with relative steps. The put's
// boundary depends on the rates and sigma but not on the spot, so delta and
// gamma (S and F moving together) price the shifted spots on the one boundary
// of the price itself. The steps of sigma, F and D move the boundary, and each
// shifted price solves its own. Inside the exercise region delta is +-1 and the rest 0.
// For D >= 1 dD is the one-sided difference below D, by an absolute step.
// Where a step crosses into a regime the price does not cover (two exercise
// boundaries), the difference is the one-sided one on the priced side.
#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/quote.hpp"
#include "kernels.hpp"

namespace velliq {

namespace {

// Relative step of S (with F), of sigma, of F and of 1 - D.
constexpr double AMERICAN_GREEKS_STEP = 1e-4;
// Absolute step of D below D = 1.
constexpr double AMERICAN_GREEKS_UNIT_D_STEP = 1e-6;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_GREEKS_STEP) == 0x3F1A36E2EB1C432DULL);
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_GREEKS_UNIT_D_STEP) == 0x3EB0C6F7A0B5ED8DULL);

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

}  // namespace

Greeks _american_greeks(double S, double K, double D, double F, double sigma, int side,
                        int setting) {
    if (std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F) || std::isnan(sigma) ||
        setting < AMERICAN_FAST || setting > AMERICAN_HIGH) {
        return {DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN};
    }
    const AloScheme& scheme = ALO_SCHEMES[setting];
    alo::Weights weights;
    alo::Boundary base;
    base.H.n = 0;  // none unless the price needs one
    const double mid =
        alo::price(alo::describe(S, K, D, F, side), sigma, scheme, nullptr, &weights, &base);
    // A shifted price solves afresh into the storage of the unshifted one,
    // which only delta and gamma use; its weights stay while the rates do.
    auto price = [&](double s, double f, double d, double v) {
        weights.filled = weights.filled && f == F && d == D;
        return alo::price(alo::describe(s, K, d, f, side), v, scheme, nullptr, &weights, &base);
    };
    const double h = AMERICAN_GREEKS_STEP;
    const double carry = F / S;
    const double dS = h * S;
    const double up =
        alo::price_on(alo::describe(S + dS, K, D, carry * (S + dS), side), sigma, scheme, base);
    const double down =
        alo::price_on(alo::describe(S - dS, K, D, carry * (S - dS), side), sigma, scheme, base);
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

}  // namespace velliq
