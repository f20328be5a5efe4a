// Time per price of _american_price at each accuracy setting, on the grid of
// tests/data/american_reference.csv: spot 100, strikes 60-140 by 5, expiries 7
// days to 3 years, r 0.5/3/6 %, q 0/2/5 %, vol 10/25/50 %, calls and puts (the
// calls without dividends price as European). Median of 7 passes over the grid,
// timed with steady_clock in C++. Build and run from the repository root with
// the kernels' flags:
//
//   flags=$(grep '^-' src/kernels/compile_flags.txt | grep -v '^-W')
//   price="gauss_legendre chebyshev qd_plus anderson boundary premium option american_price"
//   c++ -std=c++20 $flags -Isrc/kernels bench/american_timing.cpp src/kernels/shared/normal.cpp
//       $(for f in $price; do echo src/kernels/alo/$f.cpp; done) -o /tmp/american_timing
//   /tmp/american_timing
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "alo/alo.hpp"

namespace {

struct Quote {
    double S, K, D, F, sigma;
    int side;
};

std::vector<Quote> grid() {
    std::vector<Quote> quotes;
    const double days[] = {7, 30, 91, 182, 365, 730, 1095};
    const double rates[] = {0.005, 0.03, 0.06}, yields[] = {0.0, 0.02, 0.05};
    const double vols[] = {0.1, 0.25, 0.5};
    for (double d : days) {
        const double T = d / 365;
        for (int K = 60; K <= 140; K += 5) {
            for (double r : rates) {
                for (double y : yields) {
                    for (double v : vols) {
                        for (int side : {1, -1}) {
                            quotes.push_back({100.0, double(K), std::exp(-r * T),
                                              100.0 * std::exp((r - y) * T), v * std::sqrt(T),
                                              side});
                        }
                    }
                }
            }
        }
    }
    return quotes;
}

}  // namespace

int main() {
    const std::vector<Quote> quotes = grid();
    const char* names[] = {"fast", "default", "high"};
    for (int setting = velliq::AMERICAN_FAST; setting <= velliq::AMERICAN_HIGH; ++setting) {
        std::vector<double> per_price;
        double checksum = 0.0;
        for (int pass = 0; pass < 8; ++pass) {  // the first pass warms up and is dropped
            const auto start = std::chrono::steady_clock::now();
            for (const Quote& x : quotes) {
                checksum += velliq::_american_price(x.S, x.K, x.D, x.F, x.sigma, x.side, setting);
            }
            const std::chrono::duration<double, std::micro> took =
                std::chrono::steady_clock::now() - start;
            if (pass > 0) {
                per_price.push_back(took.count() / quotes.size());
            }
        }
        std::sort(per_price.begin(), per_price.end());
        std::printf(
            "%-8s %8.2f us per price (median of %zu passes over %zu quotes; checksum %.6f)\n",
            names[setting], per_price[per_price.size() / 2], per_price.size(), quotes.size(),
            checksum);
    }
}
