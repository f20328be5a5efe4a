// The Barone-Adesi-Whaley (1987) model: the American price in forward terms
// (terms.hpp), its inversion for implied volatility and its sensitivities.
//
// The designed kernels (_baw_price, _baw_implied_vol_c and the boundary and
// objective records they share with the tests' probe) take the side q: 1 for
// a call, every other value a put, and give what the formulas give for any
// double inputs. The model's face, Baw, gives the results as the package
// reports them.
#pragma once

#include "kernels.hpp"

namespace velliq {

// --- Early-exercise boundary ------------------------------------------------

struct CriticalParams {
    double K;
    double D;
    double carry;  // F / S of the option priced: a trial spot Sc has forward carry * Sc
    double sigma;
    double q_val;  // q2 for a call, q1 for a put
    BracketEnds ends = {};
};

double _call_critical_func(double Sc, void* params);
double _put_critical_func(double Sc, void* params);
double _solve_call_critical(CriticalParams* params);
double _solve_put_critical(CriticalParams* params);

// --- American price and implied volatility ----------------------------------

// The BAW American price (baw/terms.hpp): the exercise value where sigma <= 0,
// the European price where D >= 1, and never below the exercise value where
// _inputs_in_domain holds. Other degenerate inputs give what the formulas give.
double _baw_price(double S, double K, double D, double F, double sigma, int q);

struct IVParams {
    double S;
    double K;
    double D;
    double F;
    double target_price;
    int q;
    BracketEnds ends = {};
};

double _iv_objective(double sigma, void* params);

// The implied total standard deviation: the root; 0.0 for a quote at or below
// its exercise value + IV_TOL; -1.0 when no volatility can be bracketed.
double _baw_implied_vol_c(double price, double S, double K, double D, double F, int q);

// --- The model's face --------------------------------------------------------

// The results as the package reports them: NaN where an input is NaN, where S,
// K, D or F is not positive and finite, or where a quote is not finite.
struct Baw {
    // The American price.
    static double price(double S, double K, double D, double F, double sigma, int side);
    // The implied total standard deviation of a quote with its reason.
    static VolReason implied_vol(double price, double S, double K, double D, double F, int side);
    // The sensitivities of the price, in closed form (greeks.cpp).
    static Greeks greeks(double S, double K, double D, double F, double sigma, int side);
    // Whether greeks are the derivatives of this model's price: the forward
    // pair's Newton steps take their slopes from Baw::greeks.
    static constexpr bool exact_baw_slopes = true;
};

}  // namespace velliq
