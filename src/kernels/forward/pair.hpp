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
#pragma once

#include <bit>
#include <cstdint>

#include "shared/outcome.hpp"

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

ForwardPair _baw_forward_pair(double S, double K, double D, const PairQuotes& quotes);
ForwardPair _american_forward_pair(double S, double K, double D, const PairQuotes& quotes,
                                   int setting);

}  // namespace velliq
