// Entry points of the accurate American price (alo.hpp) over the option of
// option.hpp: the price at a setting or a scheme, and the spot at which
// exercise becomes optimal.
#include <cmath>

#include "alo/alo.hpp"
#include "alo/option.hpp"
#include "alo/put_problem.hpp"

namespace velliq {

using alo::Boundary;
using alo::PutProblem;
using alo::Regime;
using alo::SymmetricPut;

double _american_price_scheme(double S, double K, double D, double F, double sigma, int side,
                              const AloScheme& scheme) {
    Boundary B;
    return alo::price_cold(alo::describe(S, K, D, F, side), sigma, scheme, &B);
}

double _american_price(double S, double K, double D, double F, double sigma, int side,
                       int setting) {
    if (!known_setting(setting)) {
        return DOUBLE_NAN;
    }
    return _american_price_scheme(S, K, D, F, sigma, side, ALO_SCHEMES[setting]);
}

double _american_exercise_spot(double K, double D, double carry, double sigma, int side,
                               int setting) {
    if (!known_setting(setting) || !alo::valid_inputs(1.0, K, D, carry, sigma)) {
        return DOUBLE_NAN;
    }
    const bool is_call = side == 1;
    const SymmetricPut put = alo::symmetric_put(D, carry, side);
    switch (put.regime) {
        case Regime::european:
            return is_call ? INFINITY : 0.0;
        case Regime::two_boundaries:
            return DOUBLE_NAN;
        case Regime::one_boundary:
            break;
    }
    const double r = put.r, q = put.q;
    double ratio;  // B(T) / strike of the put
    if (sigma == 0.0) {
        // Exercising now beats exercising at t when K (1 - e^{-rt}) >= S (1 - e^{-qt}):
        // always for q <= 0; for q > 0 at S <= K psi(t), psi(t) = (1 - e^{-rt}) / (1 - e^{-qt})
        // monotone from r / q at t = 0 to its value at t = 1.
        ratio = 1.0;
        if (q > 0.0) {
            const double psi_end = std::expm1(-r) / std::expm1(-q);
            ratio = r / q < ratio ? r / q : ratio;
            ratio = psi_end < ratio ? psi_end : ratio;
        }
    } else {
        const PutProblem P = alo::put_problem(r, q, sigma);
        alo::Weights weights;
        Boundary B;
        if (!alo::solve_boundary(P, ALO_SCHEMES[setting], nullptr, &weights, &B)) {
            return DOUBLE_NAN;
        }
        ratio = P.x_ratio * std::exp(B.g_end());
    }
    // Put: exercise at S <= K ratio. Call: as the put of strike S and spot K,
    // exercise at K <= S ratio.
    return is_call ? K / ratio : K * ratio;
}

}  // namespace velliq
