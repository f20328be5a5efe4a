// Implied total standard deviation and sensitivities of the accurate American
// price (american_alo.cpp).
//
// The implied volatility starts from the Barone-Adesi-Whaley volatility of
// the quote, which is close by construction, and refines it by Newton steps
// on the accurate price: the first step's slope is the BAW vega, later steps
// use the secant through the last two accurate prices. Every price narrows a
// bracket of the root, and a step that would leave it bisects instead; a
// bracket not yet closed above doubles sigma. A quote therefore costs a few
// accurate prices. Results as for the BAW volatility: 0.0 at or below the
// exercise value, NaN where no volatility reproduces the quote or an input
// is NaN.
//
// The sensitivities are central differences of the accurate price (it is
// smooth in each argument away from the exercise boundary), with steps
// chosen for its accuracy: delta and gamma move S and F together.
#include <cmath>
#include <limits>

#include "alo/alo.hpp"
#include "kernels.hpp"

namespace velliq {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kMaxSteps = 60;
// A step below 1e-9 relative ends the search: secant steps converge
// superlinearly, so the sigma it lands on is good to about 1e-14.
constexpr double kSigmaTol = 1e-9;
constexpr double kSigmaMax = 16.0;  // no quote needs a larger total standard deviation

}  // namespace

double _american_implied_vol(double price, double S, double K, double D, double F, int q,
                             int setting) {
    if (std::isnan(price) || std::isnan(S) || std::isnan(K) || std::isnan(D) || std::isnan(F)) {
        return kNaN;
    }
    if (price <= _intrinsic(S, K, q) + IV_TOL) {
        return 0.0;
    }
    const double baw = _baw_implied_vol_c(price, S, K, D, F, q);
    if (!(baw > 0) && !(_american_price(S, K, D, F, 0.0, q, setting) < price)) {
        return kNaN;  // at or below the value without volatility: no volatility fits
    }
    double lo = 0.0, hi = kSigmaMax;
    bool bracketed = false;  // a price above the quote has been seen at hi
    double sigma = baw > 0 ? baw : 0.2;
    double f = _american_price(S, K, D, F, sigma, q, setting) - price;
    double slope = baw > 0 ? _baw_greeks(S, K, D, F, sigma, q).vega : kNaN;
    for (int step = 0; step < kMaxSteps; ++step) {
        if (std::isnan(f)) {
            return kNaN;
        }
        if (f == 0) {
            return sigma;
        }
        if (f < 0) {
            lo = sigma;
        } else {
            hi = sigma;
            bracketed = true;
        }
        double next = sigma - f / slope;
        if (!(next > lo && next < hi)) {
            if (!bracketed && sigma >= kSigmaMax) {
                return kNaN;  // above the price at the largest volatility
            }
            next = bracketed ? 0.5 * (lo + hi) : std::fmin(2 * sigma, kSigmaMax);
        }
        const double f_next = _american_price(S, K, D, F, next, q, setting) - price;
        if (std::fabs(next - sigma) <= kSigmaTol * sigma) {
            return next;
        }
        slope = (f_next - f) / (next - sigma);
        sigma = next;
        f = f_next;
    }
    return kNaN;
}

Greeks _american_greeks(double S, double K, double D, double F, double sigma, int q, int setting) {
    auto price = [&](double s, double f, double d, double v) {
        return _american_price(s, K, d, f, v, q, setting);
    };
    const double h = 1e-4;  // relative step of S (with F), of sigma, F and 1 - D
    const double carry = F / S;
    const double dS = h * S;
    const double mid = price(S, F, D, sigma);
    const double up = price(S + dS, carry * (S + dS), D, sigma);
    const double down = price(S - dS, carry * (S - dS), D, sigma);
    if (mid == _intrinsic(S, K, q) && up == _intrinsic(S + dS, K, q) &&
        down == _intrinsic(S - dS, K, q) && mid != 0) {
        return {q == 1 ? 1.0 : -1.0, 0.0, 0.0, 0.0, 0.0};  // inside the exercise region
    }
    const double dsigma = h * sigma;
    const double dF = h * F;
    const double dD = h * (1 - D);
    Greeks g;
    g.delta = (up - down) / (2 * dS);
    g.gamma = (up - 2 * mid + down) / (dS * dS);
    g.vega = sigma > 0
                 ? (price(S, F, D, sigma + dsigma) - price(S, F, D, sigma - dsigma)) / (2 * dsigma)
                 : 0.0;
    g.dF = (price(S, F + dF, D, sigma) - price(S, F - dF, D, sigma)) / (2 * dF);
    g.dD = dD > 0 ? (price(S, F, D + dD, sigma) - price(S, F, D - dD, sigma)) / (2 * dD)
                  : (mid - price(S, F, D - 1e-6, sigma)) / 1e-6;
    return g;
}

}  // namespace velliq
