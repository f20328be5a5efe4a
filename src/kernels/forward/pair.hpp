// The forwards one strike's call and put quotes imply, under a model's
// implied volatilities.
//
// A call's volatility falls and a put's rises as the forward rises, so their
// gap iv_call - iv_put has one root. The call has a volatility only below
// K + C / D and the put only above K - P / D (their zero-volatility values):
// the root lies in the usable interval (K - P / D, K + C / D).
//
// F_mid is the root for the mid quotes. The bid-ask bands [iv(bid), iv(ask)]
// of call and put overlap on [F_lo, F_hi]: F_lo is the root for the call's bid
// and the put's ask, F_hi for the call's ask and the put's bid. A bid without
// time value (zero, missing, or within IV_TOL of its exercise value) bounds
// nothing: its end is the edge of the usable interval, K - P_ask / D for F_lo,
// K + C_ask / D for F_hi.
//
// Each root of the gap is found by safeguarded Newton steps with slopes from the BAW sensitivities
// (d iv / dF = -(dV / dF) / vega per side, in closed form, about the cost of
// one BAW price). They are the BAW model's own derivatives; for the accurate
// price they only start the search, and later steps use the secant through
// the last two gaps. Every gap narrows a bracket of the root, starting from
// the usable interval, on whose ends the gap's sign is known; a step that
// would leave the bracket bisects it.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

#include "baw/baw.hpp"
#include "kernels.hpp"

namespace velliq {

// Roots are found to this relative accuracy in F, within this many steps.
inline constexpr double FORWARD_RTOL = 1e-10;
inline constexpr int FORWARD_MAX_STEPS = 100;
static_assert(std::bit_cast<std::uint64_t>(FORWARD_RTOL) == 0x3DDB7CDFD9D7BDBBULL);

// One strike's quotes; NaN for a missing one.
struct PairQuotes {
    double call_bid, call_mid, call_ask;
    double put_bid, put_mid, put_ask;
};

// NaN for a forward not found; reason says why, the first in this order:
//   missing_input    S, K, D or a mid NaN, infinite or not positive: all NaN;
//                    an ask NaN or infinite: F_lo and F_hi NaN
//   below_intrinsic  a mid below its exercise value: all NaN
//   no_time_value    a mid within IV_TOL of its exercise value: all NaN
//   no_solution      no forward in the usable interval makes the volatilities agree
//   unsettled        a root did not settle within FORWARD_MAX_STEPS
//   no_overlap       F_lo > F_hi (or an ask without time value): F_lo and F_hi NaN
//   ok
// A failure of F_mid is reported before one of the band.
struct ForwardPair {
    double F_mid;
    double F_lo;
    double F_hi;
    Reason reason;
};

// The usable interval of a call quote C and a put quote P: forwards above 0
// at which both exceed their zero-volatility values.
struct ForwardInterval {
    double lo;
    double hi;
};
ForwardInterval _usable_forwards(double K, double D, double call, double put);

// The forwards of one strike's quotes under `model`, a model's face (as Baw,
// or AmericanDividends with its schedule): its price and implied_vol, and
// exact_baw_slopes, whether Baw::greeks are its own derivatives. The second
// form is for faces of static functions only (Baw, American<setting>).
template <class Model>
ForwardPair forward_pair(const Model& model, double S, double K, double D,
                         const PairQuotes& quotes);
template <class Model>
ForwardPair forward_pair(double S, double K, double D, const PairQuotes& quotes);

namespace pair_search {

// Where the model has no volatility for a quote, the search still needs the
// gap's sign: a quote below the price at this volatility counts as
// volatility 0, one above it as SIGMA_ABOVE_ALL, above every volatility either
// model reports (BAW stops at 8, the accurate price at 16).
inline constexpr double DIVIDING_SIGMA = 1.0;
inline constexpr double SIGMA_ABOVE_ALL = 32.0;

// The implied sigma of a quote at forward F, ordered for the search; NaN where
// the model fails.
template <class Model>
double ordered_sigma(const Model& model, double quote, double S, double K, double D, double F,
                     int side) {
    const double sigma = model.implied_vol(quote, S, K, D, F, side).sigma;
    if (sigma >= 0) {
        return sigma;
    }
    const double dividing = model.price(S, K, D, F, DIVIDING_SIGMA, side);
    if (quote < dividing) {
        return 0.0;
    }
    return quote > dividing ? SIGMA_ABOVE_ALL : DOUBLE_NAN;
}

// The gap between the volatilities of a call and a put quote of one strike.
template <class Model>
struct Gap {
    const Model& model;
    double S, K, D, call, put;

    struct Point {
        double gap, call_sigma, put_sigma;

        // Both volatilities are the model's own, not stand-ins for none.
        bool own() const {
            return call_sigma > 0 && call_sigma < SIGMA_ABOVE_ALL && put_sigma > 0 &&
                   put_sigma < SIGMA_ABOVE_ALL;
        }
    };

    Point at(double F) const {
        const double c = ordered_sigma(model, call, S, K, D, F, 1);
        const double p = ordered_sigma(model, put, S, K, D, F, -1);
        return {c - p, c, p};
    }

    // d gap / dF by the BAW sensitivities at the point's volatilities; NaN
    // unless both are the model's own.
    double slope(double F, const Point& at) const {
        if (!at.own()) {
            return DOUBLE_NAN;
        }
        const Greeks c = Baw::greeks(S, K, D, F, at.call_sigma, 1);
        const Greeks p = Baw::greeks(S, K, D, F, at.put_sigma, -1);
        return -c.dF / c.vega + p.dF / p.vega;
    }
};

struct Root {
    double F;
    Reason reason;
};

// The slope for the step from `at`, having come from `before`: the BAW slope
// where it is the model's own derivative, else the secant through both
// points. Only points with the model's own volatilities give a slope: a
// secant across a point where a side has none would step anywhere.
template <class Model>
double next_slope(const Gap<Model>& gap, double F_before, const typename Gap<Model>::Point& before,
                  double F, const typename Gap<Model>::Point& at) {
    if (!at.own()) {
        return DOUBLE_NAN;
    }
    if (Model::exact_baw_slopes || !before.own()) {
        return gap.slope(F, at);
    }
    return (at.gap - before.gap) / (F - F_before);
}

// How an end of the bracket was set: an end of the usable interval, where
// the gap's sign is known, or an evaluated point with or without the model's
// own volatilities.
enum class End { usable_edge, own, stand_in };

template <class Point>
End end_at(const Point& at) {
    return at.own() ? End::own : End::stand_in;
}

// The root of the gap within the usable interval, from `start` (the middle
// of the interval when start is outside it). A root is where a Newton step
// from a point with the model's own volatilities falls below the tolerance,
// or where the bracket closes. A bracket that closes between an end of the
// usable interval and a point where a side has no volatility only says that
// the gap never changed sign: the volatilities agree nowhere.
template <class Model>
Root solve(const Gap<Model>& gap, ForwardInterval usable, double start) {
    double lo = usable.lo;
    double hi = usable.hi;
    if (!(lo < hi)) {
        return {DOUBLE_NAN, Reason::no_solution};
    }
    End lo_end = End::usable_edge;
    End hi_end = End::usable_edge;
    double F = start > lo && start < hi ? start : 0.5 * (lo + hi);
    typename Gap<Model>::Point point = gap.at(F);
    double slope = gap.slope(F, point);
    for (int step = 0; step < FORWARD_MAX_STEPS; ++step) {
        if (std::isnan(point.gap)) {
            return {DOUBLE_NAN, Reason::no_solution};
        }
        if (point.gap == 0) {
            return point.own() ? Root{F, Reason::ok} : Root{DOUBLE_NAN, Reason::no_solution};
        }
        if (point.gap > 0) {
            lo = F;
            lo_end = end_at(point);
        } else {
            hi = F;
            hi_end = end_at(point);
        }
        const bool descends = slope < 0;  // the gap falls in F; any other slope is no guide
        double next = F - point.gap / slope;
        if (descends && std::fabs(next - F) <= FORWARD_RTOL * F) {
            return {std::fmin(std::fmax(next, lo), hi), Reason::ok};
        }
        if (!(descends && next > lo && next < hi)) {
            next = 0.5 * (lo + hi);
            if (std::fabs(next - F) <= FORWARD_RTOL * F) {
                const bool one_sided = (lo_end == End::usable_edge && hi_end == End::stand_in) ||
                                       (hi_end == End::usable_edge && lo_end == End::stand_in);
                return one_sided ? Root{DOUBLE_NAN, Reason::no_solution} : Root{next, Reason::ok};
            }
        }
        const typename Gap<Model>::Point at_next = gap.at(next);
        slope = next_slope(gap, F, point, next, at_next);
        F = next;
        point = at_next;
    }
    return {DOUBLE_NAN, Reason::unsettled};
}

struct Band {
    double lo, hi;
    Reason reason;
};

// [F_lo, F_hi], started from F_mid, which lies inside it for quotes with
// bid <= mid <= ask.
template <class Model>
Band overlap(const Model& model, double S, double K, double D, const PairQuotes& quotes,
             double F_mid) {
    if (!std::isfinite(quotes.call_ask) || !std::isfinite(quotes.put_ask)) {
        return {DOUBLE_NAN, DOUBLE_NAN, Reason::missing_input};
    }
    if (!_has_time_value(quotes.call_ask, S, K, 1) || !_has_time_value(quotes.put_ask, S, K, -1)) {
        return {DOUBLE_NAN, DOUBLE_NAN,
                Reason::no_overlap};  // an ask below the mid, which has time value
    }
    Root lo{_usable_forwards(K, D, 0.0, quotes.put_ask).lo, Reason::ok};
    if (_has_time_value(quotes.call_bid, S, K, 1)) {
        lo = solve(Gap<Model>{model, S, K, D, quotes.call_bid, quotes.put_ask},
                   _usable_forwards(K, D, quotes.call_bid, quotes.put_ask), F_mid);
    }
    Root hi{_usable_forwards(K, D, quotes.call_ask, 0.0).hi, Reason::ok};
    if (_has_time_value(quotes.put_bid, S, K, -1)) {
        hi = solve(Gap<Model>{model, S, K, D, quotes.call_ask, quotes.put_bid},
                   _usable_forwards(K, D, quotes.call_ask, quotes.put_bid), F_mid);
    }
    if (lo.reason != Reason::ok || hi.reason != Reason::ok) {
        return {DOUBLE_NAN, DOUBLE_NAN, lo.reason != Reason::ok ? lo.reason : hi.reason};
    }
    if (lo.F > hi.F) {
        // Bands that touch at one forward (bid = ask) meet within the roots' accuracy.
        if (lo.F - hi.F > 2 * FORWARD_RTOL * lo.F) {
            return {DOUBLE_NAN, DOUBLE_NAN, Reason::no_overlap};
        }
        lo.F = hi.F = 0.5 * (lo.F + hi.F);
    }
    return {lo.F, hi.F, Reason::ok};
}

}  // namespace pair_search

template <class Model>
ForwardPair forward_pair(const Model& model, double S, double K, double D,
                         const PairQuotes& quotes) {
    using pair_search::Band;
    using pair_search::Gap;
    using pair_search::Root;
    ForwardPair result{DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, Reason::ok};
    const bool finite = std::isfinite(S) && std::isfinite(K) && std::isfinite(D) &&
                        std::isfinite(quotes.call_mid) && std::isfinite(quotes.put_mid);
    if (!finite || !(S > 0 && K > 0 && D > 0)) {
        result.reason = Reason::missing_input;
    } else if (_below_exercise(quotes.call_mid, S, K, 1) ||
               _below_exercise(quotes.put_mid, S, K, -1)) {
        result.reason = Reason::below_intrinsic;
    } else if (!_has_time_value(quotes.call_mid, S, K, 1) ||
               !_has_time_value(quotes.put_mid, S, K, -1)) {
        result.reason = Reason::no_time_value;
    }
    if (result.reason != Reason::ok) {
        return result;
    }
    const double parity = K + (quotes.call_mid - quotes.put_mid) / D;
    const Root mid =
        pair_search::solve(Gap<Model>{model, S, K, D, quotes.call_mid, quotes.put_mid},
                           _usable_forwards(K, D, quotes.call_mid, quotes.put_mid), parity);
    const Band band = pair_search::overlap(model, S, K, D, quotes, mid.F);
    result.F_mid = mid.F;
    result.F_lo = band.lo;
    result.F_hi = band.hi;
    result.reason = mid.reason != Reason::ok ? mid.reason : band.reason;
    return result;
}

template <class Model>
ForwardPair forward_pair(double S, double K, double D, const PairQuotes& quotes) {
    return forward_pair(Model{}, S, K, D, quotes);
}

}  // namespace velliq
