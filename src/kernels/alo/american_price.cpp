// Entry points of the accurate American price (american_price.hpp): the option
// as the put of put-call symmetry, C(S, K, r, q) = P(K, S, q, r), its regime,
// and the put's price as the Black price plus the early-exercise premium over
// the boundary of Andersen, Lake & Offengelden (2016); with T = 1,
// r = -ln D and q = r - ln(F / S).
#include "alo/american_price.hpp"

#include <cmath>

#include "alo/boundary.hpp"
#include "alo/gauss_legendre.hpp"
#include "alo/premium.hpp"
#include "alo/put_problem.hpp"
#include "alo/quote.hpp"
#include "kernels.hpp"

namespace velliq {

namespace {

using alo::Boundary;
using alo::PutProblem;
using alo::RuleView;

enum class Regime { european, two_boundaries, one_boundary };

// The put of put-call symmetry: its rates, rates within 2^-52 of zero snapped
// to zero, and the regime they put it in (american_price.hpp).
struct SymmetricPut {
    double r, q;
    Regime regime;
};

SymmetricPut symmetric_put(double D, double carry, bool is_call) {
    const double rate = -std::log(D), yield = rate - std::log(carry);
    double r = is_call ? yield : rate, q = is_call ? rate : yield;
    if (std::fabs(r) <= DOUBLE_EPS) {
        r = 0.0;
    }
    if (std::fabs(q) <= DOUBLE_EPS) {
        q = 0.0;
    }
    if (r <= 0.0 && q >= r) {
        return {r, q, Regime::european};
    }
    if (r < 0.0) {
        return {r, q, Regime::two_boundaries};
    }
    return {r, q, Regime::one_boundary};
}

// max over t in [0, 1] of e^{-rt} (K - S e^{(r-q)t}), and 0: the value of a
// put without volatility. The exercise value's rate of change
// q S e^{-qt} - r K e^{-rt} vanishes at most once.
double deterministic_put(double S, double K, double r, double q) {
    auto value = [&](double t) { return K * std::exp(-r * t) - S * std::exp(-q * t); };
    double best = value(0.0) > value(1.0) ? value(0.0) : value(1.0);
    if (r != q && r * q > 0.0) {
        const double t = std::log(q * S / (r * K)) / (q - r);
        if (t > 0.0 && t < 1.0 && value(t) > best) {
            best = value(t);
        }
    }
    return best > 0.0 ? best : 0.0;
}

bool valid_inputs(double S, double K, double D, double F, double sigma) {
    return _inputs_in_domain(S, K, D, F) && sigma >= 0.0 && sigma < INFINITY;  // NaN fails
}

}  // namespace

namespace alo {

Quote describe(double S, double K, double D, double F, int side) {
    Quote o{};
    o.is_call = side == 1;
    o.valid = valid_inputs(S, K, D, F, 0.0);
    if (!o.valid) {
        return o;
    }
    const SymmetricPut put = symmetric_put(D, F / S, o.is_call);
    o.S = S;
    o.K = K;
    o.D = D;
    o.F = F;
    o.r = put.r;
    o.q = put.q;
    o.european = put.regime == Regime::european;
    o.two_boundaries = put.regime == Regime::two_boundaries;
    // The put's spot and strike.
    o.put_spot = o.is_call ? K : S;
    o.put_strike = o.is_call ? S : K;
    return o;
}

double price(const Quote& o, double sigma, const AloScheme& scheme, const Boundary* start,
             Weights* weights, Boundary* boundary) {
    const bool needs_boundary =
        o.valid && !o.european && !o.two_boundaries && sigma > 0.0 && sigma < INFINITY;
    if (needs_boundary &&
        !solve_boundary(put_problem(o.r, o.q, sigma), scheme, start, weights, boundary)) {
        return DOUBLE_NAN;
    }
    return price_on(o, sigma, scheme, *boundary);
}

[[gnu::noinline]] double price_cold(const Quote& o, double sigma, const AloScheme& scheme,
                                    Boundary* boundary) {
    Weights weights;
    return price(o, sigma, scheme, nullptr, &weights, boundary);
}

double price_on(const Quote& o, double sigma, const AloScheme& scheme, const Boundary& boundary) {
    if (!o.valid || !(sigma >= 0.0 && sigma < INFINITY)) {
        return DOUBLE_NAN;
    }
    const RuleView layer = gauss_rule(scheme.layer_points);
    const RuleView bulk = gauss_rule(scheme.bulk_points);
    if (layer.size == 0 || bulk.size == 0) {
        return DOUBLE_NAN;
    }
    const int sign = o.is_call ? 1 : -1;
    if (o.european) {
        return _bsm_price(o.K, o.D, o.F, sigma, sign);
    }
    if (o.two_boundaries) {
        return DOUBLE_NAN;
    }
    if (sigma == 0.0) {
        return deterministic_put(o.put_spot, o.put_strike, o.r, o.q);
    }
    const PutProblem P = put_problem(o.r, o.q, sigma);
    const double x = o.put_spot / o.put_strike, b_end = P.x_ratio * std::exp(boundary.g_end());
    if (std::isnan(b_end)) {
        return DOUBLE_NAN;
    }
    if (x <= b_end) {
        return o.put_strike - o.put_spot;  // the exercise region, exactly
    }
    const double european = _bsm_price(o.K, o.D, o.F, sigma, sign);
    const double value = european + o.put_strike * put_premium(P, boundary, x, layer, bulk);
    // No quadrature error may take the price below the exercise value.
    const double intrinsic = o.put_strike > o.put_spot ? o.put_strike - o.put_spot : 0.0;
    return value < intrinsic ? intrinsic : value;  // NaN stays NaN
}

}  // namespace alo

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
    if (!known_setting(setting) || !valid_inputs(1.0, K, D, carry, sigma)) {
        return DOUBLE_NAN;
    }
    const bool is_call = side == 1;
    const SymmetricPut put = symmetric_put(D, carry, is_call);
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
