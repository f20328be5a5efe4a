#include "strike_selection.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace velliq {

namespace {

double element(const TypedView& view, std::int64_t i) {
    return view.get<double>(i);
}

struct Window {
    double lo, hi;
    bool holds(double K) const { return K >= lo && K <= hi; }
};

Window window_around(double S, double pct) {
    return {S * (1 - pct), S * (1 + pct)};
}

bool selects_any(const TypedView& strikes, Window window) {
    for (std::int64_t i = 0; i < strikes.length; ++i) {
        if (window.holds(element(strikes, i))) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::int64_t select_strikes(const TypedView& calls, const TypedView& puts, const TypedView& strikes,
                            double S, double strike_pct, double* calls_out, double* puts_out,
                            double* strikes_out) {
    std::array<double, 1 + std::size(STRIKE_WINDOWS)> pcts = {strike_pct};
    std::copy(std::begin(STRIKE_WINDOWS), std::end(STRIKE_WINDOWS), pcts.begin() + 1);
    bool every = true;
    Window window{};
    for (const double pct : pcts) {
        window = window_around(S, pct);
        if (selects_any(strikes, window)) {
            every = false;
            break;
        }
    }
    std::int64_t count = 0;
    for (std::int64_t i = 0; i < strikes.length; ++i) {
        const double K = element(strikes, i);
        if (every || window.holds(K)) {
            calls_out[count] = element(calls, i);
            puts_out[count] = element(puts, i);
            strikes_out[count] = K;
            ++count;
        }
    }
    return count;
}

}  // namespace velliq
