// What velliq._ufuncs registers: each model at each setting by one line of
// kModelUfuncs (its face, name, setting suffix and docstrings, which stand
// here beside it), and the ufuncs no model owns. A model's ufuncs are named
// <model>_<result><suffix>, the names velliq._models reads.
#pragma once

#include "alo/alo.hpp"
#include "baw/baw.hpp"
#include "dividends/dividends.hpp"
#include "kernels.hpp"
#include "ufuncs/ufunc_table.hpp"

namespace velliq {

inline constexpr ModelDocs BAW_DOCS = {
    "American option price by the Barone-Adesi-Whaley (1987) approximation.\n\n"
    "price(S, K, D, F, sigma, is_call): spot, strike, discount factor, forward,\n"
    "total standard deviation (volatility * sqrt(years)) and True for a call.\n"
    "Never below the exercise value, which it is where sigma <= 0. NaN where any\n"
    "input is NaN or S, K, D or F is not positive and finite.",

    "Implied total standard deviation of an American (BAW) price.\n\n"
    "implied_vol(price, S, K, D, F, is_call): 0.0 for a quote at or below its\n"
    "exercise value, NaN where no volatility reproduces the quote, an input is\n"
    "NaN, the quote is infinite or S, K, D or F is not positive and finite.\n"
    "Divide by sqrt(years) for an annual volatility.",

    "Sensitivities of the American (BAW) price, in closed form.\n\n"
    "greeks(S, K, D, F, sigma, is_call) -> (delta, gamma, vega, dF, dD):\n"
    "delta and gamma in S with D and F/S fixed; vega per unit of sigma, the\n"
    "total standard deviation; dF in F with S and D fixed; dD in D with S and\n"
    "F fixed. Where the price is the exercise value, delta is +1 or -1 (0 out\n"
    "of the money) and the rest 0. NaN where price gives NaN.",

    "Implied total standard deviation of an American (BAW) price, with the\n"
    "reason it is not a positive volatility.\n\n"
    "implied_vol_reason(price, S, K, D, F, is_call) -> (vol, reason): vol as\n"
    "implied_vol, NaN where reason is missing_input; reason an int8 indexing\n"
    "velliq.baw.REASONS: missing_input (an input NaN or infinite, or S, K, D or\n"
    "F not positive), below_intrinsic and no_time_value (vol 0.0: the price\n"
    "below, or within 1e-10 of, its exercise value), no_solution (vol NaN), ok.",

    "The forwards one strike's call and put quotes imply under BAW.\n\n"
    "forward_pair(S, K, D, call_bid, call_mid, call_ask, put_bid, put_mid,\n"
    "put_ask) -> (F_mid, F_lo, F_hi, reason): F_mid makes the mids' implied\n"
    "volatilities agree; on [F_lo, F_hi] the call's and the put's bid-ask\n"
    "volatility bands overlap. Each is the root of iv_call - iv_put within\n"
    "(K - P/D, K + C/D), to 1e-10 relative. A bid without time value (zero or\n"
    "NaN) puts its end at that interval's edge. reason, an int8 indexing\n"
    "velliq.baw.REASONS, says why a forward is NaN (missing_input,\n"
    "below_intrinsic, no_time_value, no_solution, unsettled, no_overlap), the\n"
    "mid's failure first; ok otherwise.",
};

// The accurate model's docstrings at the setting named `setting`.
#define VELLIQ_AMERICAN_PRICE_DOC(setting)                                          \
    "American option price from the exercise boundary's integral equation\n"        \
    "(Andersen, Lake & Offengelden 2016), " setting                                 \
    " setting.\n\n"                                                                 \
    "price(S, K, D, F, sigma, is_call), as velliq.baw.price. NaN where any input\n" \
    "is NaN or not positive, and where the put (the call's mirror) would have\n"    \
    "two exercise boundaries (negative rates below the dividend yield)."
#define VELLIQ_AMERICAN_VOL_DOC(setting)                                             \
    "Implied total standard deviation of an American price, " setting                \
    " setting.\n\n"                                                                  \
    "implied_vol(price, S, K, D, F, is_call): started from the BAW volatility and\n" \
    "refined by secant steps on the accurate price (brentq where they stall).\n"     \
    "0.0 at or below the exercise value, NaN where no volatility reproduces\n"       \
    "the quote."
#define VELLIQ_AMERICAN_GREEKS_DOC(setting)         \
    "Sensitivities of the American price, " setting \
    " setting, exact for\n"                         \
    "the computed price: (delta, gamma, vega, dF, dD) as velliq.baw.greeks."
#define VELLIQ_AMERICAN_VOL_REASON_DOC(setting)                             \
    "Implied total standard deviation of an American price, " setting       \
    " setting, with\n"                                                      \
    "the reason it is not a positive volatility.\n\n"                       \
    "implied_vol_reason(price, S, K, D, F, is_call) -> (vol, reason), as\n" \
    "velliq.baw.implied_vol_reason."
#define VELLIQ_AMERICAN_FORWARD_PAIR_DOC(setting)                              \
    "The forwards one strike's call and put quotes imply under the accurate\n" \
    "American price, " setting                                                 \
    " setting.\n\n"                                                            \
    "forward_pair(S, K, D, call_bid, call_mid, call_ask, put_bid, put_mid,\n"  \
    "put_ask) -> (F_mid, F_lo, F_hi, reason), as velliq.baw.forward_pair."
#define VELLIQ_AMERICAN_DOCS(setting)                                                     \
    ModelDocs {                                                                           \
        VELLIQ_AMERICAN_PRICE_DOC(setting), VELLIQ_AMERICAN_VOL_DOC(setting),             \
            VELLIQ_AMERICAN_GREEKS_DOC(setting), VELLIQ_AMERICAN_VOL_REASON_DOC(setting), \
            VELLIQ_AMERICAN_FORWARD_PAIR_DOC(setting)                                     \
    }

inline constexpr ModelDocs AMERICAN_FAST_DOCS = VELLIQ_AMERICAN_DOCS("fast");
inline constexpr ModelDocs AMERICAN_DEFAULT_DOCS = VELLIQ_AMERICAN_DOCS("default");
inline constexpr ModelDocs AMERICAN_HIGH_DOCS = VELLIQ_AMERICAN_DOCS("high");

#undef VELLIQ_AMERICAN_DOCS
#undef VELLIQ_AMERICAN_PRICE_DOC
#undef VELLIQ_AMERICAN_VOL_DOC
#undef VELLIQ_AMERICAN_GREEKS_DOC
#undef VELLIQ_AMERICAN_VOL_REASON_DOC
#undef VELLIQ_AMERICAN_FORWARD_PAIR_DOC

// The cash-dividend model's docstrings at the setting named `setting`. The
// schedule's conventions are told once, in velliq.dividends.
#define VELLIQ_SCHEDULE_DOC                                                       \
    "fractions, amounts: the schedule (core dimension n), each ex-date as a\n"    \
    "fraction of the time to expiry and each cash amount per share; fractions\n"  \
    "non-decreasing, amounts finite and >= 0, else NaN (reason missing_input).\n" \
    "Entries at fraction <= 0 or > 1 are ignored: pad ragged schedules with\n"    \
    "fraction +inf, amount 0 (velliq.dividends.PAD). F is the forward with the\n" \
    "dividends. Without a dividend in (0, 1], bit for bit velliq.american."
#define VELLIQ_DIVIDEND_PRICE_DOC(setting)                                    \
    "American option price with cash dividends at known ex-dates (the spot\n" \
    "drops by each amount), " setting                                         \
    " setting.\n\n"                                                           \
    "price(S, K, D, F, sigma, is_call, fractions, amounts) -> price, as\n"    \
    "velliq.american.price.\n" VELLIQ_SCHEDULE_DOC
#define VELLIQ_DIVIDEND_VOL_DOC(setting)                                         \
    "Implied total standard deviation of an American price with cash\n"          \
    "dividends, " setting                                                        \
    " setting.\n\n"                                                              \
    "implied_vol(price, S, K, D, F, is_call, fractions, amounts) -> sigma, as\n" \
    "velliq.american.implied_vol.\n" VELLIQ_SCHEDULE_DOC
#define VELLIQ_DIVIDEND_GREEKS_DOC(setting)                                       \
    "Sensitivities of the American price with cash dividends, " setting           \
    " setting.\n\n"                                                               \
    "greeks(S, K, D, F, sigma, is_call, fractions, amounts) -> (delta, gamma,\n"  \
    "vega, dF, dD), as velliq.american.greeks: S, D, F and the schedule held\n"   \
    "fixed where they are not the variable; the derivatives in the amounts are\n" \
    "amount_sensitivity's.\n" VELLIQ_SCHEDULE_DOC
#define VELLIQ_DIVIDEND_VOL_REASON_DOC(setting)                               \
    "Implied total standard deviation of an American price with cash\n"       \
    "dividends, " setting                                                     \
    " setting, with the reason it is not a positive volatility.\n\n"          \
    "implied_vol_reason(price, S, K, D, F, is_call, fractions, amounts) ->\n" \
    "(vol, reason), as velliq.american.implied_vol_reason.\n" VELLIQ_SCHEDULE_DOC
#define VELLIQ_DIVIDEND_FORWARD_PAIR_DOC(setting)                              \
    "The forwards one strike's call and put quotes imply under the American\n" \
    "price with cash dividends, " setting                                      \
    " setting.\n\n"                                                            \
    "forward_pair(S, K, D, call_bid, call_mid, call_ask, put_bid, put_mid,\n"  \
    "put_ask, fractions, amounts) -> (F_mid, F_lo, F_hi, reason), as\n"        \
    "velliq.american.forward_pair; the forwards are those with the "           \
    "dividends.\n" VELLIQ_SCHEDULE_DOC
#define VELLIQ_DIVIDEND_AMOUNT_SENSITIVITY_DOC(setting)                           \
    "The derivatives of the American price with cash dividends in the amounts,\n" \
    "" setting                                                                    \
    " setting.\n\n"                                                               \
    "amount_sensitivity(S, K, D, F, sigma, is_call, fractions, amounts) -> one\n" \
    "per dividend (core dimension n), with S, D, F and the other amounts fixed\n" \
    "(the residual carry moves); 0 for an entry outside (0, 1]. A forward\n"      \
    "difference of the coarser grid's prices, about two fifths of a price per\n"  \
    "dividend, which is why greeks leaves it out.\n" VELLIQ_SCHEDULE_DOC
#define VELLIQ_DIVIDEND_DOCS(setting)                                                           \
    DividendModelDocs {                                                                         \
        ModelDocs{VELLIQ_DIVIDEND_PRICE_DOC(setting), VELLIQ_DIVIDEND_VOL_DOC(setting),         \
                  VELLIQ_DIVIDEND_GREEKS_DOC(setting), VELLIQ_DIVIDEND_VOL_REASON_DOC(setting), \
                  VELLIQ_DIVIDEND_FORWARD_PAIR_DOC(setting)},                                   \
            VELLIQ_DIVIDEND_AMOUNT_SENSITIVITY_DOC(setting)                                     \
    }

inline constexpr DividendModelDocs DIVIDENDS_FAST_DOCS = VELLIQ_DIVIDEND_DOCS("fast");
inline constexpr DividendModelDocs DIVIDENDS_DEFAULT_DOCS = VELLIQ_DIVIDEND_DOCS("default");
inline constexpr DividendModelDocs DIVIDENDS_HIGH_DOCS = VELLIQ_DIVIDEND_DOCS("high");

#undef VELLIQ_DIVIDEND_DOCS
#undef VELLIQ_DIVIDEND_PRICE_DOC
#undef VELLIQ_DIVIDEND_VOL_DOC
#undef VELLIQ_DIVIDEND_GREEKS_DOC
#undef VELLIQ_DIVIDEND_VOL_REASON_DOC
#undef VELLIQ_DIVIDEND_FORWARD_PAIR_DOC
#undef VELLIQ_DIVIDEND_AMOUNT_SENSITIVITY_DOC
#undef VELLIQ_SCHEDULE_DOC

inline constexpr const char* TIME_VALUE_DOC =
    "The time value of an option quote: its price less its exercise value.\n\n"
    "time_value(price, S, K, is_call): price - max(S - K, 0) for a call,\n"
    "price - max(K - S, 0) for a put. NaN where any input is NaN.";

inline constexpr const char* DIVIDEND_CARRY_DOC =
    "The carry a forward leaves beside a schedule of cash dividends.\n\n"
    "dividend_carry(S, F, fractions, amounts): b, the rate less the continuous\n"
    "yield times the years to expiry, with F = S e^b - sum_i d_i e^(b (1 - t_i))\n"
    "over the dividends whose fractions t_i of the time to expiry are in (0, 1].\n"
    "NaN where S or F is not positive and finite, the schedule is malformed\n"
    "(as velliq.dividends.price takes it), or no b reproduces F.";

// Every model at every setting the package offers, one line each.
constexpr auto kModelUfuncs =
    join(model_ufuncs<Baw>("baw", "", BAW_DOCS),
         model_ufuncs<American<AMERICAN_DEFAULT>>("american", "", AMERICAN_DEFAULT_DOCS),
         model_ufuncs<American<AMERICAN_FAST>>("american", "_fast", AMERICAN_FAST_DOCS),
         model_ufuncs<American<AMERICAN_HIGH>>("american", "_high", AMERICAN_HIGH_DOCS),
         dividend_model_ufuncs<AmericanDividends<AMERICAN_DEFAULT>>("american_dividends", "",
                                                                    DIVIDENDS_DEFAULT_DOCS),
         dividend_model_ufuncs<AmericanDividends<AMERICAN_FAST>>("american_dividends", "_fast",
                                                                 DIVIDENDS_FAST_DOCS),
         dividend_model_ufuncs<AmericanDividends<AMERICAN_HIGH>>("american_dividends", "_high",
                                                                 DIVIDENDS_HIGH_DOCS));

// The ufuncs that no model owns.
constexpr std::array<UfuncDef, 2> kModelFree = {{
    ufunc_of<ufunc::ThreeAndSide<_time_value>>(ufunc_name({"time_value"}), TIME_VALUE_DOC,
                                               kDoubles3Bool),
    dividend_ufunc_of<ufunc::DividendCarry>(ufunc_name({"dividend_carry"}), DIVIDEND_CARRY_DOC,
                                            kDividendCarry),
}};

}  // namespace velliq
