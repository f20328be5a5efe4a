// Implied total standard deviation of the accurate American price
// (alo.hpp).
//
// A start that costs a fraction of one accurate price: the root of the
// Barone-Adesi-Whaley price, reached from the Black root near it. Then secant
// steps on the accurate price, each boundary iterated from the previous
// sigma's (sigma moves little between steps, so the fixed-point iteration
// needs few rounds), until the price is within the setting's
// resolution of the quote; far from the root the prices are rough (few rounds,
// fewer points). Every price narrows a bracket of the root, and a step that
// would leave it bisects instead; a bracket not yet closed above doubles
// sigma. A root is checked on a fresh price (the price ufunc's, from the QD+
// start), which may differ from the warm-started one by more than the
// resolution where the setting's iterations stop short. Where that check fails,
// the secant stalls (on a price flat in sigma at first and then steep, its
// steps creep up the flat side) or a warm-started price fails, brentq finishes
// on fresh prices within the bracket. Results and their reasons as for the BAW
// volatility (Baw::implied_vol).
#include <bit>
#include <cmath>
#include <cstdint>

#include "alo/alo.hpp"
#include "alo/node_points.hpp"
#include "alo/option.hpp"
#include "baw/baw.hpp"
#include "shared/brentq.hpp"

namespace velliq {

namespace {

constexpr int AMERICAN_IV_MAX_STEPS = 60;
// Newton steps on the Black price, then steps on the BAW price, for the start.
constexpr int AMERICAN_IV_BLACK_STEPS = 4;
constexpr int AMERICAN_IV_START_STEPS = 8;
// The start stops once the BAW price is within this many resolutions of the
// quote: the accurate price differs from it by more.
constexpr double AMERICAN_IV_START_RESOLUTIONS = 100.0;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_START_RESOLUTIONS) == 0x4059000000000000ULL);
// A secant step that divided the residual by this and left it within this
// many resolutions is trusted to land within the resolution with one more.
constexpr double AMERICAN_IV_SECANT_GAIN = 100.0;
// and whose slope agrees with the last step's to this fraction
constexpr double AMERICAN_IV_SLOPE_AGREEMENT = 0.1;
// A step in sigma this small (relative) ends the search.
constexpr double AMERICAN_IV_SIGMA_TOL = 1e-9;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_SIGMA_TOL) == 0x3E112E0BE826D695ULL);
// Rounds of the fixed-point iteration for the price at the start and at the
// first AMERICAN_IV_ROUGH_STEPS steps, which land far from the root.
constexpr int AMERICAN_IV_ROUGH_ROUNDS = 2;
constexpr int AMERICAN_IV_ROUGH_STEPS = 1;
// and their fixed-point integrals' points, where no node integrates the layer
// of a small volatility: the boundary's node values, which the next solve
// starts from, hardly depend on them.
constexpr int AMERICAN_IV_ROUGH_POINTS = 8;
// No quote needs a larger total standard deviation.
constexpr double AMERICAN_IV_MAX_SIGMA = 16.0;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_MAX_SIGMA) == 0x4030000000000000ULL);
// A root's fresh price lies within this many resolutions of the quote.
constexpr double AMERICAN_IV_FRESH_RESOLUTIONS = 100.0;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_FRESH_RESOLUTIONS) == 0x4059000000000000ULL);
// brentq's iterations where the secant stalls: its bracket halves at least
// every few steps, and from AMERICAN_IV_MAX_SIGMA to AMERICAN_IV_SIGMA_TOL
// takes about 35 halvings.
constexpr int AMERICAN_IV_BRENTQ_ITERATIONS = 200;
// brentq's absolute sigma tolerance: no price resolves a smaller step.
constexpr double AMERICAN_IV_BRENTQ_XTOL = 1e-15;
static_assert(std::bit_cast<std::uint64_t>(AMERICAN_IV_BRENTQ_XTOL) == 0x3CD203AF9EE75616ULL);

// The derivative of the Black price in sigma (the total standard deviation).
double black_vega(double K, double D, double F, double sigma) {
    return D * F * _norm_pdf(_d1(F, K, sigma));
}

// The root of the BAW price: from Corrado and Miller's (1996) estimate of the
// Black volatility (where it gives none in (0.01, AMERICAN_IV_MAX_SIGMA):
// sqrt(2 |ln(F/K)|, where the Black price turns from convex to concave in
// sigma), Newton steps on the Black price, then on the BAW price a Newton step
// with the Black vega and secant steps (the BAW vega of an option deep in the
// money is far below the Black vega), until the price is within tolerance of
// the quote; a step leaving (0, AMERICAN_IV_MAX_SIGMA) ends each search.
// Returns sigma and, in slope, the BAW price's slope through the last two
// steps (the Black vega when there was at most one).
double baw_start(double price, double S, double K, double D, double F, int side, double tolerance,
                 double* slope) {
    // The estimate for the European call of the same forward value (a put's
    // through put-call parity).
    const double c = price / D + (side == 1 ? 0.0 : F - K), half = 0.5 * (F - K);
    const double radicand = (c - half) * (c - half) - (F - K) * (F - K) / PI;
    double sigma = std::sqrt(2.0 * PI) / (F + K) * (c - half + std::sqrt(radicand));
    if (!(sigma > 0.01 && sigma < AMERICAN_IV_MAX_SIGMA)) {
        sigma = std::sqrt(2.0 * std::fabs(std::log(F / K)));
        sigma = sigma > 0.05 ? sigma : 0.05;
    }
    // Newton on the Black price, which costs a small fraction of a BAW price:
    // the BAW root lies near the Black root wherever early exercise is worth
    // little.
    for (int step = 0; step < AMERICAN_IV_BLACK_STEPS; ++step) {
        const double vega = black_vega(K, D, F, sigma);
        const double next = sigma - (_bsm_price(K, D, F, sigma, side == 1 ? 1 : -1) - price) / vega;
        if (!(next > 0.0 && next < AMERICAN_IV_MAX_SIGMA)) {
            break;
        }
        sigma = next;
    }
    double f = _baw_price(S, K, D, F, sigma, side) - price;
    *slope = black_vega(K, D, F, sigma);
    for (int step = 0; step < AMERICAN_IV_START_STEPS && std::fabs(f) > tolerance; ++step) {
        const double next = sigma - f / *slope;
        if (!(next > 0.0 && next < AMERICAN_IV_MAX_SIGMA) || next == sigma) {
            break;
        }
        const double f_next = _baw_price(S, K, D, F, next, side) - price;
        const double secant = (f_next - f) / (next - sigma);
        if (secant > 0.0) {
            *slope = secant;
        }
        sigma = next;
        f = f_next;
    }
    return sigma;
}

// The setting's price of the option from the QD+ start (as the price ufunc
// gives it) less the quote, 0.0 within the tolerance: brentq stops at a zero.
struct FreshResidual {
    const alo::Option* option;
    const AloScheme* scheme;
    alo::Weights* weights;  // of the option's rates: they do not depend on sigma
    alo::Boundary* boundary;
    double quote, tolerance;
};

double fresh_residual(double sigma, void* args) {
    const FreshResidual& a = *static_cast<const FreshResidual*>(args);
    const double f =
        alo::price(*a.option, sigma, *a.scheme, nullptr, a.weights, a.boundary) - a.quote;
    return std::fabs(f) <= a.tolerance ? 0.0 : f;
}

// The root within (lo, hi) by brentq on fresh prices, where the price at lo is
// below the quote (sigma 0's is, and the search's lower end was, though a
// warm-started price may differ in sign from a fresh one: then from 0); an
// upper end priced below the quote widens to AMERICAN_IV_MAX_SIGMA, and a
// quote above that price has no solution.
VolReason bracketed_root(FreshResidual* residual, double lo, double hi) {
    constexpr VolReason no_solution = {DOUBLE_NAN, Reason::no_solution};
    double f_hi = fresh_residual(hi, residual);
    if (f_hi < 0.0 && hi < AMERICAN_IV_MAX_SIGMA) {
        lo = hi;
        hi = AMERICAN_IV_MAX_SIGMA;
        f_hi = fresh_residual(hi, residual);
    }
    if (!(f_hi >= 0.0)) {
        return no_solution;
    }
    if (f_hi == 0.0) {
        return {hi, Reason::ok};
    }
    const double f_lo = lo > 0.0 ? fresh_residual(lo, residual) : -1.0;
    if (f_lo == 0.0) {
        return {lo, Reason::ok};
    }
    if (!(f_lo < 0.0)) {
        lo = 0.0;
    }
    zeros_full_output out;
    const double root = brentq(fresh_residual, lo, hi, residual, AMERICAN_IV_BRENTQ_XTOL,
                               AMERICAN_IV_SIGMA_TOL, AMERICAN_IV_BRENTQ_ITERATIONS, &out);
    return out.error_num == 0 ? VolReason{root, Reason::ok} : no_solution;
}

// sigma when its fresh price lies within AMERICAN_IV_FRESH_RESOLUTIONS of the
// quote, else brentq's root within (lo, hi), narrowed by that price.
VolReason checked_root(FreshResidual* residual, double sigma, double lo, double hi) {
    const double f = alo::price(*residual->option, sigma, *residual->scheme, nullptr,
                                residual->weights, residual->boundary) -
                     residual->quote;
    if (std::fabs(f) <= AMERICAN_IV_FRESH_RESOLUTIONS * residual->tolerance) {
        return {sigma, Reason::ok};
    }
    if (f < 0.0) {
        lo = sigma > lo ? sigma : lo;
    } else if (f > 0.0) {
        hi = sigma < hi ? sigma : hi;
    }
    return bracketed_root(residual, lo, hi);
}

}  // namespace

VolReason _american_implied_vol(double price, double S, double K, double D, double F, int side,
                                int setting) {
    constexpr VolReason no_solution = {DOUBLE_NAN, Reason::no_solution};
    if (!std::isfinite(price) || !_inputs_in_domain(S, K, D, F) || !known_setting(setting)) {
        return {DOUBLE_NAN, Reason::missing_input};
    }
    const double exercise = _intrinsic(S, K, side);
    if (price <= exercise + IV_TOL) {
        return _zero_sigma(price, S, K, side);
    }
    const AloScheme& scheme = ALO_SCHEMES[setting];
    const alo::Option option = alo::describe(S, K, D, F, side);
    alo::Weights weights;
    // The boundaries of the last two prices, at sigma and last_sigma; the next
    // start is extrapolated into the older one's place.
    alo::Boundary boundaries[2];
    boundaries[0].H.n = boundaries[1].H.n = 0;  // none yet
    alo::Boundary *current = &boundaries[0], *last = &boundaries[1];
    bool have_last = false;
    if (!(alo::price(option, 0.0, scheme, nullptr, &weights, current) < price)) {
        return no_solution;  // at or below the value without volatility (or NaN): no volatility
                             // fits
    }
    const double tolerance = scheme.resolution * K;
    FreshResidual fresh = {&option, &scheme, &weights, current, price, tolerance};
    // Far from the root a price needs only a few rounds of the fixed point: its
    // error is well below the step it makes.
    AloScheme rough = scheme;
    rough.iterations =
        scheme.iterations < AMERICAN_IV_ROUGH_ROUNDS ? scheme.iterations : AMERICAN_IV_ROUGH_ROUNDS;
    AloScheme coarse = rough;
    coarse.points =
        scheme.points < AMERICAN_IV_ROUGH_POINTS ? scheme.points : AMERICAN_IV_ROUGH_POINTS;
    // The rough scheme at sigma v: coarse unless a node integrates a layer
    // (node_points.hpp; xi_0 = 1 is the widest node).
    auto rough_at = [&](double v) -> const AloScheme& {
        const double eps = alo::layer_width(alo::put_problem(option.r, option.q, v));
        return alo::integrates_layer(eps, 1.0) ? rough : coarse;
    };
    double lo = 0.0, hi = AMERICAN_IV_MAX_SIGMA;
    bool bracketed = false;  // a price above the quote has been seen at hi
    // On fresh prices into the current boundary, which the search no longer needs.
    auto checked = [&](double root) {
        fresh.boundary = current;
        return checked_root(&fresh, root, lo, hi);
    };
    auto by_brentq = [&]() {
        fresh.boundary = current;
        return bracketed_root(&fresh, lo, hi);
    };
    double slope, last_slope = 0.0;
    double sigma = baw_start(price, S, K, D, F, side, AMERICAN_IV_START_RESOLUTIONS * tolerance,
                             &slope),
           last_sigma = 0.0;
    double last_f = 0.0;
    bool converged = false;       // f is the price of the setting's full iteration
    bool both_converged = false;  // and so was the last price, through which slope runs
    double f = alo::price(option, sigma, rough_at(sigma), nullptr, &weights, current) - price;
    for (int step = 0; step < AMERICAN_IV_MAX_STEPS; ++step) {
        if (std::isnan(f)) {
            return by_brentq();
        }
        if (converged && std::fabs(f) <= tolerance) {
            return checked(sigma);
        }
        // A price of the few rounds never moves the bracket: its error may
        // carry the wrong sign.
        if (converged) {
            if (f < 0) {
                lo = sigma;
            } else {
                hi = sigma;
                bracketed = true;
            }
        }
        if (bracketed && hi - lo <= AMERICAN_IV_SIGMA_TOL * hi) {
            return checked(0.5 * (lo + hi));  // the price's noise exceeds its resolution here
        }
        // A price at the exercise value is flat in sigma: no secant through it.
        const bool at_exercise = f + price <= exercise;
        double next = sigma - f / slope;
        if (!(next > lo && next < hi) || (at_exercise && bracketed)) {
            if (!bracketed && sigma >= AMERICAN_IV_MAX_SIGMA) {
                return by_brentq();  // no solution if above its price there
            }
            next = bracketed ? 0.5 * (lo + hi) : std::fmin(2 * sigma, AMERICAN_IV_MAX_SIGMA);
        } else if ((both_converged && std::fabs(f) <= AMERICAN_IV_SECANT_GAIN * tolerance &&
                    std::fabs(f) * AMERICAN_IV_SECANT_GAIN <= std::fabs(last_f) &&
                    std::fabs(slope - last_slope) <= AMERICAN_IV_SLOPE_AGREEMENT * slope) ||
                   std::fabs(next - sigma) <= AMERICAN_IV_SIGMA_TOL * sigma) {
            // A secant step from this close, after a step that divided the
            // residual by the gain, leaves a residual below the resolution; and a step below the
            // price's own noise (the boundary's iteration stops short of the fixed point) cannot be
            // resolved: no warm-started price needed, only the fresh one that checks it.
            return checked(next);
        }
        // Only the first step, from the start, is priced roughly.
        const AloScheme& next_scheme = step < AMERICAN_IV_ROUGH_STEPS ? rough_at(next) : scheme;
        alo::extrapolate(have_last ? last : nullptr, last_sigma, *current, sigma, next, last);
        const double f_next = alo::price(option, next, next_scheme, last, &weights, last) - price;
        both_converged = converged && &next_scheme == &scheme;
        converged = &next_scheme == &scheme;
        alo::Boundary* swap = current;
        current = last;
        last = swap;
        have_last = true;
        last_slope = slope;
        slope = (f_next - f) / (next - sigma);
        last_sigma = sigma;
        last_f = f;
        sigma = next;
        f = f_next;
    }
    return by_brentq();
}

}  // namespace velliq
