// Standard normal density and distribution, and the Black (1976) price of a
// European option in forward terms: D * (F N(d1) - K N(d2)) for a call.
//
// The distribution uses erfc, except at and below z = -10, where the
// asymptotic expansion of the Mills ratio keeps full relative precision.
#include <cmath>

#include "kernels.hpp"

namespace velliq {

double _norm_pdf(double x) {
    return ONE_OVER_SQRT_TWO_PI * std::exp((-0.5 * x) * x);
}

// N(z) = phi(z) * R(z) / -z with R(z) = 1 - 1/z^2 + 3/z^4 - 15/z^6 + ...,
// summed two terms at a time until a pair no longer moves the sum.
static double mills_ratio_series(double z) {
    const double zsqr = z * z;
    int i = 1;
    double g = 1.0;
    double lasta = DOUBLE_MAX;
    double sum_val = 1.0;
    for (;;) {
        const double xx = i / zsqr;
        const double yy = ((i + 2) / zsqr) * xx;
        const double a = (xx - yy) * g;
        sum_val -= a;
        g *= yy;
        i += 4;
        // Written so that a NaN term stops the loop too.
        if (!(std::fabs(a) < lasta) || std::fabs(a) < std::fabs(DOUBLE_EPS * sum_val)) {
            return sum_val;
        }
        lasta = std::fabs(a);
    }
}

double _norm_cdf(double z) {
    if (!(z <= NCDF_ASYM1)) {  // NaN takes this branch and yields NaN
        return 0.5 * std::erfc(-(z * ONE_OVER_SQRT_TWO));
    }
    // Below -2^26 the first correction 1/z^2 is already under 2^-52.
    const double sum_val = z >= NCDF_ASYM2 ? mills_ratio_series(z) : 1.0;
    return -_norm_pdf(z) * sum_val / z;
}

double _bsm_price(double K, double D, double F, double sigma, int q) {
    if (sigma <= 0) {
        const double val = q == 1 ? D * (F - K) : D * (K - F);
        return val > 0 ? val : 0.0;
    }
    const double d1 = _d1(F, K, sigma);
    const double d2 = d1 - sigma;
    if (q == 1) {
        return D * (F * _norm_cdf(d1) - K * _norm_cdf(d2));
    }
    return D * (K * _norm_cdf(-d2) - F * _norm_cdf(-d1));
}

}  // namespace velliq
