// Test-only C entry points over the accurate American price kernel
// (src/kernels/alo/alo.hpp), loaded with ctypes by
// tests/test_american_kernel.py.
#include "alo/alo.hpp"
#include "alo/boundary.hpp"
#include "alo/option.hpp"
#include "alo/sensitivity.hpp"

using namespace velliq;

extern "C" {

double probe_american_price(double S, double K, double D, double F, double sigma, int side,
                            int setting) {
    return _american_price(S, K, D, F, sigma, side, setting);
}

double probe_american_price_scheme(double S, double K, double D, double F, double sigma, int side,
                                   int intervals, int iterations, int points, int layer_points,
                                   int bulk_points, double tolerance) {
    // The resolution serves only the implied volatility, which this price does not run.
    const AloScheme scheme{intervals,   iterations, points, layer_points,
                           bulk_points, tolerance,  0.0};
    return _american_price_scheme(S, K, D, F, sigma, side, scheme);
}

double probe_american_exercise_spot(double K, double D, double carry, double sigma, int side,
                                    int setting) {
    return _american_exercise_spot(K, D, carry, sigma, side, setting);
}

// The price at sigma of a boundary iterated from the one at sigma_from, scaled to sigma as
// the implied volatility's search does.
double probe_american_price_warm(double S, double K, double D, double F, double sigma_from,
                                 double sigma, int side, int setting) {
    const alo::Option option = alo::describe(S, K, D, F, side);
    alo::Weights weights;
    alo::Boundary boundary;
    alo::price(option, sigma_from, ALO_SCHEMES[setting], nullptr, &weights, &boundary);
    alo::extrapolate(nullptr, 0.0, boundary, sigma_from, sigma, &boundary);
    return alo::price(option, sigma, ALO_SCHEMES[setting], &boundary, &weights, &boundary);
}

// ln(B(1)/X) of the put of rates r, q and volatility v at setting, then its derivatives
// in v, r and q (NaN where they cannot be had).
void probe_american_boundary_end(double r, double q, double v, int setting, double* out) {
    const alo::PutProblem problem = alo::put_problem(r, q, v);
    alo::Weights weights;
    alo::Boundary boundary;
    alo::BoundarySensitivity moves;
    const bool solved =
        alo::solve_boundary(problem, ALO_SCHEMES[setting], nullptr, &weights, &boundary);
    const bool moved =
        solved && alo::boundary_sensitivity(problem, ALO_SCHEMES[setting], boundary, &moves);
    out[0] = solved ? boundary.g_end() : DOUBLE_NAN;
    for (int p = 0; p < 3; ++p) {
        out[p + 1] = moved ? moves.by[p][0] : DOUBLE_NAN;
    }
}

// out[i] = _american_price of row i, for the reference table.
void probe_american_prices(long n, const double* S, const double* K, const double* D,
                           const double* F, const double* sigma, const int* side, int setting,
                           double* out) {
    for (long i = 0; i < n; ++i) {
        out[i] = _american_price(S[i], K[i], D[i], F[i], sigma[i], side[i], setting);
    }
}

}  // extern "C"
