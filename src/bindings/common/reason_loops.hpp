// Adapters (ufunc_loops.hpp) for kernels that return a reason with their
// result: the implied sigma alone or with its reason, and the forward pair;
// a reason is written as one int8.
#pragma once

#include <cstdint>

#include "forward/pair.hpp"
#include "kernels.hpp"
#include "ufunc_loops.hpp"

namespace velliq::ufunc {

inline void store_reason(char* p, Reason reason) {
    const auto code = static_cast<std::int8_t>(reason);
    std::memcpy(p, &code, sizeof code);
}

using implied_vol_t = VolReason (*)(double, double, double, double, double, int);

inline VolReason implied_vol_of(implied_vol_t implied_vol, char* const* p) {
    return implied_vol(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]),
                       load<double>(p[3]), load<double>(p[4]), IsCallInput::side(p[5]));
}

// price, S, K, D, F and a side in; the model's implied sigma out.
template <implied_vol_t implied_vol>
struct FiveAndSideToSigma {
    static constexpr int nin = 6;
    static constexpr int nout = 1;
    static void element(char* const* p) { store(p[6], implied_vol_of(implied_vol, p).sigma); }
};

// price, S, K, D, F and a side in; the model's implied sigma and its reason out.
template <implied_vol_t implied_vol>
struct FiveAndSideToVolReason {
    static constexpr int nin = 6;
    static constexpr int nout = 2;
    static void element(char* const* p) {
        const VolReason r = implied_vol_of(implied_vol, p);
        store(p[6], r.sigma);
        store_reason(p[7], r.reason);
    }
};

// S, K, D and a strike's six quotes in; F_mid, F_lo, F_hi and the reason out.
template <ForwardPair (*forward_pair)(double, double, double, const PairQuotes&)>
struct QuotePairToForwards {
    static constexpr int nin = 9;
    static constexpr int nout = 4;
    static void element(char* const* p) {
        const PairQuotes quotes{load<double>(p[3]), load<double>(p[4]), load<double>(p[5]),
                                load<double>(p[6]), load<double>(p[7]), load<double>(p[8])};
        const ForwardPair r =
            forward_pair(load<double>(p[0]), load<double>(p[1]), load<double>(p[2]), quotes);
        store(p[9], r.F_mid);
        store(p[10], r.F_lo);
        store(p[11], r.F_hi);
        store_reason(p[12], r.reason);
    }
};

}  // namespace velliq::ufunc
