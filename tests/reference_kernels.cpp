// The pricing kernels as first written, before the boundary equations shared
// their European price's terms and before the solvers passed known bracket-end
// values to brentq: the reference that the kernels must match bit for bit.
// The American price shares its formula with the kernel and differs only in
// the boundary solvers it calls.
#include <cmath>

#include "baw/terms.hpp"
#include "shared/brentq.hpp"

namespace velliq::reference {

// Calls are qualified: argument-dependent lookup would also find the kernels.

double _call_critical_func(double Sc, void* params) {
    const auto& p = *static_cast<const CriticalParams*>(params);
    const double Fc = p.carry * Sc;
    const double d1c = _d1(Fc, p.K, p.sigma);
    const double bsm_c = _bsm_price(p.K, p.D, Fc, p.sigma, 1);
    const double coeff = 1 - p.carry * p.D * _norm_cdf(d1c);
    return bsm_c + Sc * coeff / p.q_val - (Sc - p.K);
}

double _put_critical_func(double Sc, void* params) {
    const auto& p = *static_cast<const CriticalParams*>(params);
    const double Fc = p.carry * Sc;
    const double d1c = _d1(Fc, p.K, p.sigma);
    const double bsm_p = _bsm_price(p.K, p.D, Fc, p.sigma, -1);
    const double coeff = 1 - p.carry * p.D * _norm_cdf(-d1c);
    return (bsm_p - Sc * coeff / p.q_val) - (p.K - Sc);
}

double _solve_call_critical(CriticalParams* params) {
    const double lo = params->K + 1e-10;
    const double g_lo = reference::_call_critical_func(lo, params);
    if (g_lo <= 0) {
        return lo;  // the boundary sits at the strike
    }
    double hi = 2 * params->K;
    bool found = false;
    for (int i = 0; i < 20; ++i) {
        if (reference::_call_critical_func(hi, params) < 0) {
            found = true;
            break;
        }
        hi *= 2;
    }
    if (!found) {
        return hi;  // 2^21 K: the premium beyond it is negligible
    }
    zeros_full_output fo;
    return brentq(reference::_call_critical_func, lo, hi, params, BRENTQ_XTOL, BRENTQ_XTOL, 100,
                  &fo);
}

double _solve_put_critical(CriticalParams* params) {
    const double lo = 1e-10;
    const double hi = params->K - 1e-10;
    const double g_hi = reference::_put_critical_func(hi, params);
    if (g_hi <= 0) {
        return hi;
    }
    const double g_lo = reference::_put_critical_func(lo, params);
    if (g_lo >= 0) {
        return lo;
    }
    zeros_full_output fo;
    return brentq(reference::_put_critical_func, lo, hi, params, BRENTQ_XTOL, BRENTQ_XTOL, 100,
                  &fo);
}

double _baw_price(double S, double K, double D, double F, double sigma, int q) {
    return baw_price_with<reference::_solve_call_critical, reference::_solve_put_critical>(
        S, K, D, F, sigma, q);
}

double _iv_objective(double sigma, void* params) {
    const auto& p = *static_cast<const IVParams*>(params);
    return reference::_baw_price(p.S, p.K, p.D, p.F, sigma, p.q) - p.target_price;
}

double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q) {
    if (price <= _intrinsic(S, K, q) + IV_TOL) {
        return 0.0;
    }

    double sigma_hi = 1.0;
    while (price > reference::_baw_price(S, K, D, F, sigma_hi, q) && sigma_hi < IV_MAX_SIGMA) {
        sigma_hi *= 2;
    }
    if (sigma_hi >= IV_MAX_SIGMA) {
        return -1.0;
    }

    IVParams params{S, K, D, F, price, q};
    const double sigma_lo = 1e-8;
    const double f_lo = reference::_iv_objective(sigma_lo, &params);
    const double f_hi = reference::_iv_objective(sigma_hi, &params);
    if (f_lo * f_hi > 0) {
        return -1.0;  // a zero or NaN at either end still goes to brentq
    }
    zeros_full_output fo;
    return brentq(reference::_iv_objective, sigma_lo, sigma_hi, &params, IV_TOL, IV_TOL, 200, &fo);
}

}  // namespace velliq::reference
