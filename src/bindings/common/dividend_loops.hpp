// Generalized-ufunc loops over a face that carries a schedule of cash
// dividends (dividends/dividends.hpp): every ufunc's last two inputs are the
// schedule's fractions and amounts, core dimension n. NumPy passes the outer
// strides of all arguments first, then the core strides of the arguments that
// have a core dimension, in argument order; the schedule is read in place
// through CashDividends, never copied. The outer loop is split over the
// calling thread's workers as the plain loops are (ufunc_loops.hpp).
#pragma once

#include <cfenv>

#include "dividends/dividends.hpp"
#include "dividends/schedule.hpp"
#include "reason_loops.hpp"
#include "ufunc_loops.hpp"

namespace velliq::ufunc {

// The schedule whose fractions and amounts start at p[at] and p[at + 1].
inline CashDividends schedule_at(char* const* p, int at, const npy_intp_t* core_steps,
                                 npy_intp_t count) {
    return {p[at], p[at + 1], core_steps[0], core_steps[1], count};
}

// S, K, D, F, sigma, is_call and the schedule in; the price out.
template <class Face>
struct DividendPrice {
    static constexpr int nin = 8;
    static constexpr int nout = 1;
    static constexpr const char* signature = "(),(),(),(),(),(),(n),(n)->()";
    static void element(char* const* p, const CashDividends& dividends) {
        store(p[8], Face{dividends}.price(load<double>(p[0]), load<double>(p[1]),
                                          load<double>(p[2]), load<double>(p[3]),
                                          load<double>(p[4]), IsCallInput::side(p[5])));
    }
};

template <class Face>
VolReason dividend_implied_vol(char* const* p, const CashDividends& dividends) {
    return Face{dividends}.implied_vol(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]),
                                       load<double>(p[3]), load<double>(p[4]),
                                       IsCallInput::side(p[5]));
}

// price, S, K, D, F, is_call and the schedule in; the implied sigma out.
template <class Face>
struct DividendSigma {
    static constexpr int nin = 8;
    static constexpr int nout = 1;
    static constexpr const char* signature = "(),(),(),(),(),(),(n),(n)->()";
    static void element(char* const* p, const CashDividends& dividends) {
        store(p[8], dividend_implied_vol<Face>(p, dividends).sigma);
    }
};

// The same in; the implied sigma and its reason out.
template <class Face>
struct DividendVolReason {
    static constexpr int nin = 8;
    static constexpr int nout = 2;
    static constexpr const char* signature = "(),(),(),(),(),(),(n),(n)->(),()";
    static void element(char* const* p, const CashDividends& dividends) {
        const VolReason r = dividend_implied_vol<Face>(p, dividends);
        store(p[8], r.sigma);
        store_reason(p[9], r.reason);
    }
};

// S, K, D, F, sigma, is_call and the schedule in; the five sensitivities out.
template <class Face>
struct DividendGreeks {
    static constexpr int nin = 8;
    static constexpr int nout = 5;
    static constexpr const char* signature = "(),(),(),(),(),(),(n),(n)->(),(),(),(),()";
    static void element(char* const* p, const CashDividends& dividends) {
        const Greeks g =
            Face{dividends}.greeks(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]),
                                   load<double>(p[3]), load<double>(p[4]), IsCallInput::side(p[5]));
        store(p[8], g.delta);
        store(p[9], g.gamma);
        store(p[10], g.vega);
        store(p[11], g.dF);
        store(p[12], g.dD);
    }
};

// S, K, D, a strike's six quotes and the schedule in; F_mid, F_lo, F_hi and
// the reason out.
template <class Face>
struct DividendForwards {
    static constexpr int nin = 11;
    static constexpr int nout = 4;
    static constexpr const char* signature = "(),(),(),(),(),(),(),(),(),(n),(n)->(),(),(),()";
    static void element(char* const* p, const CashDividends& dividends) {
        const PairQuotes quotes{load<double>(p[3]), load<double>(p[4]), load<double>(p[5]),
                                load<double>(p[6]), load<double>(p[7]), load<double>(p[8])};
        // A malformed schedule is missing input, as for the face's other results, not a
        // forward the search failed to find.
        const ForwardPair r =
            cash::well_formed(dividends)
                ? forward_pair(Face{dividends}, load<double>(p[0]), load<double>(p[1]),
                               load<double>(p[2]), quotes)
                : ForwardPair{DOUBLE_NAN, DOUBLE_NAN, DOUBLE_NAN, Reason::missing_input};
        store(p[11], r.F_mid);
        store(p[12], r.F_lo);
        store(p[13], r.F_hi);
        store_reason(p[14], r.reason);
    }
};

// S, F and the schedule in; the carry the forward leaves beside the dividends out.
struct DividendCarry {
    static constexpr int nin = 4;
    static constexpr int nout = 1;
    static constexpr const char* signature = "(),(),(n),(n)->()";
    static void element(char* const* p, const CashDividends& dividends) {
        store(p[4], _dividend_carry(load<double>(p[0]), load<double>(p[1]), dividends));
    }
};

// The derivative of the price in each amount of the schedule (S, D and F
// fixed), which the face's Greeks leave out: it costs about two coarse-grid
// prices per dividend, where the five Greeks together cost under two prices.
template <int setting>
double amount_sensitivity(const AmericanDividends<setting>& face, double S, double K, double D,
                          double F, double sigma, int side, std::ptrdiff_t i) {
    return _dividend_amount_sensitivity(S, K, D, F, sigma, side, face.dividends, i, setting);
}

// S, K, D, F, sigma, is_call and the schedule in; one derivative per
// dividend out (core dimension n, `output_step` bytes apart).
template <class Face>
struct DividendAmountSensitivity {
    static constexpr int nin = 8;
    static constexpr int nout = 1;
    static constexpr const char* signature = "(),(),(),(),(),(),(n),(n)->(n)";
    static constexpr bool per_dividend_output = true;
    static void element(char* const* p, const CashDividends& dividends, npy_intp_t output_step) {
        const Face face{dividends};
        for (std::ptrdiff_t i = 0; i < dividends.count; ++i) {
            store(p[8] + i * output_step,
                  amount_sensitivity(face, load<double>(p[0]), load<double>(p[1]),
                                     load<double>(p[2]), load<double>(p[3]), load<double>(p[4]),
                                     IsCallInput::side(p[5]), i));
        }
    }
};

// The NumPy inner loop of a dividend adapter: dimensions[0] options, each with
// dimensions[1] dividends; the schedule is the adapter's last two inputs, and
// an output over the dividends, if any, the only one.
template <class Adapter>
void dividend_loop(char** args, const npy_intp_t* dimensions, const npy_intp_t* steps, void*) {
    constexpr int nargs = Adapter::nin + Adapter::nout;
    constexpr int schedule = Adapter::nin - 2;
    const npy_intp_t count = dimensions[1];
    const npy_intp_t* core_steps = steps + nargs;
    parallel_for(dimensions[0], [=](std::ptrdiff_t begin, std::ptrdiff_t end) {
        char* p[nargs];
        for (int k = 0; k < nargs; ++k) {
            p[k] = args[k] + begin * steps[k];
        }
        for (std::ptrdiff_t i = begin; i < end; ++i) {
            const CashDividends dividends = schedule_at(p, schedule, core_steps, count);
            if constexpr (requires { Adapter::per_dividend_output; }) {
                Adapter::element(p, dividends, core_steps[2]);  // the output's core stride
            } else {
                Adapter::element(p, dividends);
            }
            for (int k = 0; k < nargs; ++k) {
                p[k] += steps[k];
            }
        }
    });
    std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace velliq::ufunc
