// Critical spot price S_star of the Barone-Adesi-Whaley approximation: the
// spot at which immediate exercise is worth the approximated option.
//   call: S_star - K = c(S_star) + (1 - carry D N(d1(S_star))) S_star / q2
//   put:  K - S_star = p(S_star) - (1 - carry D N(-d1(S_star))) S_star / q1
// with carry D standing for e^((b-r)T). The call is bracketed by doubling up
// from 2K, the put on (1e-10, K - 1e-10); SciPy's brentq finds the root.
// A NaN equation value never satisfies a comparison: the call search then
// ends at 2^21 K and the put search hands the NaN bracket to brentq.
#include <cmath>

#include "baw/baw.hpp"
#include "shared/brentq.hpp"

namespace velliq {

// The objectives inline the European price at Fc so that log(Fc / K) and
// N(d1c), which the price and the coefficient share, are evaluated once. The
// arithmetic is the same, operation for operation, so the values are too.

namespace {

template <bool is_call>
double critical_func(double Sc, void* params) {
    const auto& p = *static_cast<const CriticalParams*>(params);
    double known;
    if (p.ends.recall(Sc, &known)) {
        return known;
    }
    const double Fc = p.carry * Sc;
    const double d1c = _d1(Fc, p.K, p.sigma);
    if constexpr (is_call) {
        const double N_d1c = _norm_cdf(d1c);
        // Without volatility the European price is its discounted intrinsic value.
        const double bsm_c = p.sigma <= 0 ? _bsm_price(p.K, p.D, Fc, p.sigma, 1)
                                          : p.D * (Fc * N_d1c - p.K * _norm_cdf(d1c - p.sigma));
        const double coeff = 1 - p.carry * p.D * N_d1c;
        return bsm_c + Sc * coeff / p.q_val - (Sc - p.K);
    } else {
        const double N_minus_d1c = _norm_cdf(-d1c);
        const double bsm_p = p.sigma <= 0
                                 ? _bsm_price(p.K, p.D, Fc, p.sigma, -1)
                                 : p.D * (p.K * _norm_cdf(-(d1c - p.sigma)) - Fc * N_minus_d1c);
        const double coeff = 1 - p.carry * p.D * N_minus_d1c;
        return (bsm_p - Sc * coeff / p.q_val) - (p.K - Sc);
    }
}

}  // namespace

double _call_critical_func(double Sc, void* params) {
    return critical_func<true>(Sc, params);
}

double _put_critical_func(double Sc, void* params) {
    return critical_func<false>(Sc, params);
}

double _solve_call_critical(CriticalParams* params) {
    params->ends = {};
    const double lo = params->K + 1e-10;
    const double g_lo = _call_critical_func(lo, params);
    if (g_lo <= 0) {
        return lo;  // the boundary sits at the strike
    }
    double hi = 2 * params->K;
    double g_hi = 0.0;
    bool found = false;
    for (int i = 0; i < 20; ++i) {
        g_hi = _call_critical_func(hi, params);
        if (g_hi < 0) {
            found = true;
            break;
        }
        hi *= 2;
    }
    if (!found) {
        return hi;  // 2^21 K: the premium beyond it is negligible
    }
    params->ends.remember(lo, g_lo);
    params->ends.remember(hi, g_hi);
    zeros_full_output fo;
    return brentq(_call_critical_func, lo, hi, params, BRENTQ_XTOL, BRENTQ_XTOL, 100, &fo);
}

double _solve_put_critical(CriticalParams* params) {
    params->ends = {};
    const double lo = 1e-10;
    const double hi = params->K - 1e-10;
    const double g_hi = _put_critical_func(hi, params);
    if (g_hi <= 0) {
        return hi;
    }
    const double g_lo = _put_critical_func(lo, params);
    if (g_lo >= 0) {
        return lo;
    }
    params->ends.remember(lo, g_lo);
    params->ends.remember(hi, g_hi);
    zeros_full_output fo;
    return brentq(_put_critical_func, lo, hi, params, BRENTQ_XTOL, BRENTQ_XTOL, 100, &fo);
}

}  // namespace velliq
