// Adapters (ufunc_loops.hpp) for kernels that say why they give no answer:
// their results are doubles and a reason code, written as one int8.
#pragma once

#include <cstdint>

#include "kernels.hpp"
#include "ufunc_loops.hpp"

namespace velliq::ufunc {

inline void store_reason(char* p, Reason reason) {
    const auto code = static_cast<std::int8_t>(reason);
    std::memcpy(p, &code, sizeof code);
}

// price, S, K, D, F and a side in; the model's volatility and its reason out.
template <double (*implied_vol)(double, double, double, double, double, int)>
struct FiveAndSideToVolReason {
    static constexpr int nin = 6;
    static constexpr int nout = 2;
    static void element(char* const* p) {
        const double price = load<double>(p[0]);
        const double S = load<double>(p[1]);
        const double K = load<double>(p[2]);
        const double D = load<double>(p[3]);
        const double F = load<double>(p[4]);
        const int side = IsCallInput::side(p[5]);
        const VolReason r =
            _vol_reason(implied_vol(price, S, K, D, F, side), price, S, K, D, F, side);
        store(p[6], r.vol);
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
