// Stand-in until the dividend solver lands: the schedule is ignored.
#include "alo/alo.hpp"
#include "dividends/dividends.hpp"

namespace velliq {

double _dividend_price(double S, double K, double D, double F, double sigma, int side,
                       const CashDividends&, int setting) {
    return _american_price(S, K, D, F, sigma, side, setting);
}
VolReason _dividend_implied_vol(double price, double S, double K, double D, double F, int side,
                                const CashDividends&, int setting) {
    return _american_implied_vol(price, S, K, D, F, side, setting);
}
Greeks _dividend_greeks(double S, double K, double D, double F, double sigma, int side,
                        const CashDividends&, int setting) {
    return _american_greeks(S, K, D, F, sigma, side, setting);
}

}  // namespace velliq
