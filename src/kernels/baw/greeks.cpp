// First and second derivatives of the Barone-Adesi-Whaley (1987) price, in
// closed form, with the symbols of terms.hpp; the side is 1 for a call.
//
// With the carry F/S held fixed the critical price S_star does not move with
// S, so delta and gamma differentiate bsm(S) + A (S / S_star)^q_val directly.
// For sigma, F and D the boundary moves, but its motion drops out: at the
// solution the coefficient A equals S_star - K - bsm(S_star) (value matching,
// the put's mirror K - S_star - bsm(S_star)), and written that way the price's
// derivative in S_star is 1 - dbsm/dS(S_star) - q_val A / S_star, which is zero
// by smooth pasting. So every derivative is taken at a fixed S_star:
//   dV/dx = dbsm(S)/dx - dbsm(S_star)/dx (S/S_star)^q_val
//           + A (S/S_star)^q_val ln(S/S_star) dq_val/dx.
// In the exercise region V = S - K (or K - S): delta +/-1, the rest 0; so too
// where the price is floored at the exercise value. NaN where Baw::price is.
#include <cmath>

#include "baw/terms.hpp"

namespace velliq {

namespace {

// The European price's derivatives in forward terms, S absent: in F (with D
// fixed), in sigma and in D (with F fixed), and d2/dF2.
struct BlackSensitivities {
    double dF, dsigma, dD, dF2;
};

BlackSensitivities black_sensitivities(double bsm, double K, double D, double F, double sigma,
                                       int side) {
    const double d1 = _d1(F, K, sigma);
    const double n_d1 = _norm_pdf(d1);
    const double dF = side == 1 ? D * _norm_cdf(d1) : -D * _norm_cdf(-d1);
    return {dF, D * F * n_d1, bsm / D, D * n_d1 / (F * sigma)};
}

// Derivative of the exponent q_val = (-(N - 1) +/- sqrt((N - 1)^2 + 4 M / k2)) / 2
// given those of N and of M / k2.
double exponent_derivative(const BawTerms& t, int side, double dN, double dM_over_k2) {
    const double d_sqrt = ((t.N_val - 1) * dN + 2 * dM_over_k2) / t.sqrt_disc;
    return (-dN + (side == 1 ? d_sqrt : -d_sqrt)) / 2;
}

}  // namespace

Greeks Baw::greeks(double S, double K, double D, double F, double sigma, int side) {
    if (!_inputs_in_domain(S, K, D, F) || std::isnan(sigma)) {
        return NO_GREEKS;
    }
    const BawTerms t =
        baw_terms_with<_solve_call_critical, _solve_put_critical>(S, K, D, F, sigma, side);
    const double exercise_delta = side == 1 ? 1.0 : -1.0;
    switch (t.region) {
        case BawTerms::Intrinsic:
            return {t.value > 0 ? exercise_delta : 0.0, 0.0, 0.0, 0.0, 0.0};
        case BawTerms::Exercise:
            return {exercise_delta, 0.0, 0.0, 0.0, 0.0};
        case BawTerms::European: {
            const BlackSensitivities e = black_sensitivities(t.bsm, K, D, F, sigma, side);
            const double carry = F / S;
            return {carry * e.dF, carry * carry * e.dF2, e.dsigma, e.dF, e.dD};
        }
        case BawTerms::Premium:
            break;
    }
    const double carry = F / S;
    const double F_star = carry * t.S_star;
    const double ratio = S / t.S_star;
    const double weight = std::pow(ratio, t.q_val);  // (S / S_star)^q_val
    const double premium = t.A * weight;
    const BlackSensitivities e = black_sensitivities(t.bsm, K, D, F, sigma, side);
    const BlackSensitivities e_star =
        black_sensitivities(_bsm_price(K, D, F_star, sigma, side), K, D, F_star, sigma, side);

    const double sig2 = sigma * sigma;
    const double M_over_k2 = t.M_val / t.k2;
    const double dq_val_dsigma =
        exponent_derivative(t, side, -2 * t.N_val / sigma, -2 * M_over_k2 / sigma);
    const double dq_val_dF = exponent_derivative(t, side, 2 / (sig2 * F), 0.0);
    const double dlnD_ratio = ((1 - D) / D + std::log(D)) / (t.k2 * t.k2);  // d/dD ln(D)/(1-D)
    const double dq_val_dD = exponent_derivative(t, side, 0.0, -2 / sig2 * dlnD_ratio);
    const double log_ratio = std::log(ratio);

    Greeks g;
    g.delta = carry * e.dF + premium * t.q_val / S;
    g.gamma = carry * carry * e.dF2 + premium * t.q_val * (t.q_val - 1) / (S * S);
    g.vega = e.dsigma - e_star.dsigma * weight + premium * log_ratio * dq_val_dsigma;
    // F_star = F S_star / S moves with F at a fixed S_star.
    g.dF = e.dF - e_star.dF * (t.S_star / S) * weight + premium * log_ratio * dq_val_dF;
    g.dD = e.dD - e_star.dD * weight + premium * log_ratio * dq_val_dD;
    return g;
}

}  // namespace velliq
