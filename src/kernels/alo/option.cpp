// The accurate model's option (option.hpp): the put of put-call symmetry,
// C(S, K, r, q) = P(K, S, q, r), with T = 1, r = -ln D and q = r - ln(F / S),
// its regime, and the put's price as the Black price plus the early-exercise
// premium over the boundary of Andersen, Lake & Offengelden (2016).
#include "alo/option.hpp"

#include <cmath>

#include "alo/gauss_legendre.hpp"
#include "alo/premium.hpp"
#include "alo/put_problem.hpp"
#include "kernels.hpp"

namespace velliq::alo {

namespace {

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

}  // namespace

SymmetricPut symmetric_put(double D, double carry, int side) {
    const bool is_call = side == 1;
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

bool valid_inputs(double S, double K, double D, double F, double sigma) {
    return _inputs_in_domain(S, K, D, F) && sigma >= 0.0 && sigma < INFINITY;  // NaN fails
}

Option describe(double S, double K, double D, double F, int side) {
    Option o{};
    o.side = side == 1 ? 1 : -1;
    o.valid = valid_inputs(S, K, D, F, 0.0);
    if (!o.valid) {
        return o;
    }
    const SymmetricPut put = symmetric_put(D, F / S, o.side);
    o.S = S;
    o.K = K;
    o.D = D;
    o.F = F;
    o.r = put.r;
    o.q = put.q;
    o.european = put.regime == Regime::european;
    o.two_boundaries = put.regime == Regime::two_boundaries;
    // The put's spot and strike.
    o.put_spot = o.side == 1 ? K : S;
    o.put_strike = o.side == 1 ? S : K;
    return o;
}

double price(const Option& o, double sigma, const AloScheme& scheme, const Boundary* start,
             Weights* weights, Boundary* boundary) {
    const bool needs_boundary =
        o.valid && !o.european && !o.two_boundaries && sigma > 0.0 && sigma < INFINITY;
    if (needs_boundary &&
        !solve_boundary(put_problem(o.r, o.q, sigma), scheme, start, weights, boundary)) {
        return DOUBLE_NAN;
    }
    return price_on(o, sigma, scheme, *boundary);
}

[[gnu::noinline]] double price_cold(const Option& o, double sigma, const AloScheme& scheme,
                                    Boundary* boundary) {
    Weights weights;
    return price(o, sigma, scheme, nullptr, &weights, boundary);
}

double price_on(const Option& o, double sigma, const AloScheme& scheme, const Boundary& boundary) {
    if (!o.valid || !(sigma >= 0.0 && sigma < INFINITY)) {
        return DOUBLE_NAN;
    }
    const RuleView layer = gauss_rule(scheme.layer_points);
    const RuleView bulk = gauss_rule(scheme.bulk_points);
    if (layer.size == 0 || bulk.size == 0) {
        return DOUBLE_NAN;
    }
    if (o.european) {
        return _bsm_price(o.K, o.D, o.F, sigma, o.side);
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
    const double european = _bsm_price(o.K, o.D, o.F, sigma, o.side);
    const double value = european + o.put_strike * put_premium(P, boundary, x, layer, bulk);
    // No quadrature error may take the price below the exercise value.
    const double intrinsic = o.put_strike > o.put_spot ? o.put_strike - o.put_spot : 0.0;
    return value < intrinsic ? intrinsic : value;  // NaN stays NaN
}

}  // namespace velliq::alo
