// Per-strike forwards (pair.hpp). Each root of the gap iv_call - iv_put is
// found by safeguarded Newton steps with slopes from the BAW sensitivities
// (d iv / dF = -(dV / dF) / vega per side, in closed form, about the cost of
// one BAW price). They are the BAW model's own derivatives; for the accurate
// price they only start the search, and later steps use the secant through
// the last two gaps. Every gap narrows a bracket of the root, starting from
// the usable interval, on whose ends the gap's sign is known; a step that
// would leave the bracket bisects it.
#include "forward/pair.hpp"

#include <cmath>

#include "kernels.hpp"

namespace velliq {

namespace {

// Where the model has no volatility for a quote, the search still needs the
// gap's sign: a quote below the price at this volatility counts as
// volatility 0, one above it as VOL_ABOVE_ALL, above every volatility either
// model reports (BAW stops at 8, the accurate price at 16).
constexpr double DIVIDING_SIGMA = 1.0;
constexpr double VOL_ABOVE_ALL = 32.0;

struct Model {
    double (*implied_vol)(double price, double S, double K, double D, double F, int q, int setting);
    double (*price)(double S, double K, double D, double F, double sigma, int q, int setting);
    int setting;
    bool baw_slope_is_exact;
};

double baw_vol(double price, double S, double K, double D, double F, int q, int) {
    return _baw_implied_vol_value(price, S, K, D, F, q);
}
double baw_price(double S, double K, double D, double F, double sigma, int q, int) {
    return _baw_price_value(S, K, D, F, sigma, q);
}

// The volatility of a quote at forward F, ordered for the search; NaN where
// the model fails.
double ordered_vol(const Model& m, double quote, double S, double K, double D, double F, int q) {
    const double vol = m.implied_vol(quote, S, K, D, F, q, m.setting);
    if (vol >= 0) {
        return vol;
    }
    const double dividing = m.price(S, K, D, F, DIVIDING_SIGMA, q, m.setting);
    if (quote < dividing) {
        return 0.0;
    }
    return quote > dividing ? VOL_ABOVE_ALL : DOUBLE_NAN;
}

// The gap between the volatilities of a call and a put quote of one strike.
struct Gap {
    const Model& model;
    double S, K, D, call, put;

    struct Point {
        double gap, call_vol, put_vol;

        // Both volatilities are the model's own, not stand-ins for none.
        bool own() const {
            return call_vol > 0 && call_vol < VOL_ABOVE_ALL && put_vol > 0 &&
                   put_vol < VOL_ABOVE_ALL;
        }
    };

    Point at(double F) const {
        const double c = ordered_vol(model, call, S, K, D, F, 1);
        const double p = ordered_vol(model, put, S, K, D, F, -1);
        return {c - p, c, p};
    }

    // d gap / dF by the BAW sensitivities at the point's volatilities; NaN
    // unless both are the model's own.
    double slope(double F, const Point& at) const {
        if (!at.own()) {
            return DOUBLE_NAN;
        }
        const Greeks c = _baw_greeks(S, K, D, F, at.call_vol, 1);
        const Greeks p = _baw_greeks(S, K, D, F, at.put_vol, -1);
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
double next_slope(const Gap& gap, double F_before, const Gap::Point& before, double F,
                  const Gap::Point& at) {
    if (!at.own()) {
        return DOUBLE_NAN;
    }
    if (gap.model.baw_slope_is_exact || !before.own()) {
        return gap.slope(F, at);
    }
    return (at.gap - before.gap) / (F - F_before);
}

// How an end of the bracket was set: an end of the usable interval, where
// the gap's sign is known, or an evaluated point with or without the model's
// own volatilities.
enum class End { usable_edge, own, stand_in };

End end_at(const Gap::Point& at) {
    return at.own() ? End::own : End::stand_in;
}

// The root of the gap within the usable interval, from `start` (the middle
// of the interval when start is outside it). A root is where a Newton step
// from a point with the model's own volatilities falls below the tolerance,
// or where the bracket closes. A bracket that closes between an end of the
// usable interval and a point where a side has no volatility only says that
// the gap never changed sign: the volatilities agree nowhere.
Root solve(const Gap& gap, ForwardInterval usable, double start) {
    double lo = usable.lo;
    double hi = usable.hi;
    if (!(lo < hi)) {
        return {DOUBLE_NAN, Reason::no_solution};
    }
    End lo_end = End::usable_edge;
    End hi_end = End::usable_edge;
    double F = start > lo && start < hi ? start : 0.5 * (lo + hi);
    Gap::Point point = gap.at(F);
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
        const Gap::Point at_next = gap.at(next);
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
Band overlap(const Model& m, double S, double K, double D, const PairQuotes& q, double F_mid) {
    if (!std::isfinite(q.call_ask) || !std::isfinite(q.put_ask)) {
        return {DOUBLE_NAN, DOUBLE_NAN, Reason::missing_input};
    }
    if (!_has_time_value(q.call_ask, S, K, 1) || !_has_time_value(q.put_ask, S, K, -1)) {
        return {DOUBLE_NAN, DOUBLE_NAN,
                Reason::no_overlap};  // an ask below the mid, which has time value
    }
    Root lo{_usable_forwards(K, D, 0.0, q.put_ask).lo, Reason::ok};
    if (_has_time_value(q.call_bid, S, K, 1)) {
        lo = solve(Gap{m, S, K, D, q.call_bid, q.put_ask},
                   _usable_forwards(K, D, q.call_bid, q.put_ask), F_mid);
    }
    Root hi{_usable_forwards(K, D, q.call_ask, 0.0).hi, Reason::ok};
    if (_has_time_value(q.put_bid, S, K, -1)) {
        hi = solve(Gap{m, S, K, D, q.call_ask, q.put_bid},
                   _usable_forwards(K, D, q.call_ask, q.put_bid), F_mid);
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

ForwardPair forward_pair(const Model& m, double S, double K, double D, const PairQuotes& q) {
    ForwardPair result{DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, Reason::ok};
    const bool finite = std::isfinite(S) && std::isfinite(K) && std::isfinite(D) &&
                        std::isfinite(q.call_mid) && std::isfinite(q.put_mid);
    if (!finite || !(S > 0 && K > 0 && D > 0)) {
        result.reason = Reason::missing_input;
    } else if (_below_exercise(q.call_mid, S, K, 1) || _below_exercise(q.put_mid, S, K, -1)) {
        result.reason = Reason::below_intrinsic;
    } else if (!_has_time_value(q.call_mid, S, K, 1) || !_has_time_value(q.put_mid, S, K, -1)) {
        result.reason = Reason::no_time_value;
    }
    if (result.reason != Reason::ok) {
        return result;
    }
    const double parity = K + (q.call_mid - q.put_mid) / D;
    const Root mid = solve(Gap{m, S, K, D, q.call_mid, q.put_mid},
                           _usable_forwards(K, D, q.call_mid, q.put_mid), parity);
    const Band band = overlap(m, S, K, D, q, mid.F);
    result.F_mid = mid.F;
    result.F_lo = band.lo;
    result.F_hi = band.hi;
    result.reason = mid.reason != Reason::ok ? mid.reason : band.reason;
    return result;
}

}  // namespace

ForwardInterval _usable_forwards(double K, double D, double call, double put) {
    return {std::fmax(K - put / D, 0.0), K + call / D};
}

ForwardPair _baw_forward_pair(double S, double K, double D, const PairQuotes& quotes) {
    return forward_pair(Model{baw_vol, baw_price, 0, true}, S, K, D, quotes);
}

ForwardPair _american_forward_pair(double S, double K, double D, const PairQuotes& quotes,
                                   int setting) {
    return forward_pair(Model{_american_implied_vol, _american_price, setting, false}, S, K, D,
                        quotes);
}

}  // namespace velliq
