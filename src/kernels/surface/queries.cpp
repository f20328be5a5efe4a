// The surface at any (K, T): its expiries located, the slices combined in T, and
// the queries (implied vol, total variance, prices, density, local vol).
#include <algorithm>
#include <cmath>

#include "surface/surface.hpp"

namespace velliq::surface {
namespace {

// The slice n with years[n] <= T < years[n + 1], clamped to [0, slices - 2]
// (0 with one slice).
int segment(const View& v, double T) {
    const int n = static_cast<int>(std::upper_bound(v.years, v.years + v.slices, T) - v.years) - 1;
    return std::clamp(n, 0, std::max(v.slices - 2, 0));
}

double sigma_at(const View& v, int n, double k, int j) {
    const double* grid = v.grid;
    if (j < 0 || j >= v.knots - 1) {
        return 0.0;
    }
    const double w = (k - grid[j]) / (grid[j + 1] - grid[j]);
    const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(n) * v.knots + j;
    return v.sigma[at] + w * (v.sigma[at + 1] - v.sigma[at]);
}

}  // namespace

void surface_terms(const View& v, double T, double* F, double* D) {
    const double* t = v.years;
    if (v.slices == 1) {
        *F = v.forward[0];
        *D = std::exp(v.log_discount[0] * T / t[0]);
        return;
    }
    const int n = segment(v, T);
    const double w = (T - t[n]) / (t[n + 1] - t[n]);
    const double lf = v.log_forward[n];
    const double ld = v.log_discount[n];
    *F = std::exp(lf + w * (v.log_forward[n + 1] - lf));
    *D = T < t[0] ? std::exp(ld * T / t[0]) : std::exp(ld + w * (v.log_discount[n + 1] - ld));
}

Priced surface_price(const View& v, double k, double T, int side) {
    const int last = v.slices - 1;
    if (T < v.years[0]) {  // the first slice shrunk towards the forward
        const double lam = std::sqrt(T / v.years[0]);
        const double kb = 1.0 + (k - 1.0) / lam;
        const Priced b = slice_price(v, 0, kb, side);
        const double dlam = lam / (2.0 * T);
        return {lam * b.value, b.slope, b.density / lam, dlam * (b.value - (kb - 1.0) * b.slope)};
    }
    if (T > v.years[last]) {  // the last slice spread by Z = 1 +- a
        const double growth = -std::expm1(-v.atm_rate * (T - v.years[last]));
        const double a = std::sqrt(growth);
        const double ku = k / (1.0 + a);
        const double kd = k / (1.0 - a);
        const Priced u = slice_price(v, last, ku, side);
        const Priced d = slice_price(v, last, kd, side);
        const double da = a > 0.0 ? v.atm_rate * (1.0 - growth) / (2.0 * a) : 0.0;
        return {0.5 * (1.0 + a) * u.value + 0.5 * (1.0 - a) * d.value, 0.5 * (u.slope + d.slope),
                0.5 * u.density / (1.0 + a) + 0.5 * d.density / (1.0 - a),
                da * 0.5 * ((u.value - ku * u.slope) - (d.value - kd * d.slope))};
    }
    const int n = segment(v, T);
    const int j = cell_of(v, k);
    const Priced p0 = slice_price(v, n, k, j, side);
    if (last == 0) {
        return p0;
    }
    const double span = v.years[n + 1] - v.years[n];
    const double w = std::clamp((T - v.years[n]) / span, 0.0, 1.0);
    const Priced p1 = slice_price(v, n + 1, k, j, side);
    return {p0.value + w * (p1.value - p0.value), p0.slope + w * (p1.slope - p0.slope),
            p0.density + w * (p1.density - p0.density), (p1.value - p0.value) / span};
}

double sigma_start(const View& v, double k, double T) {
    const int last = v.slices - 1;
    if (T < v.years[0]) {
        const double lam = std::sqrt(T / v.years[0]);
        const double kb = 1.0 + (k - 1.0) / lam;
        return lam * sigma_at(v, 0, kb, cell_of(v, kb));
    }
    if (T > v.years[last] || last == 0) {
        const double s = sigma_at(v, last, k, cell_of(v, k));
        return std::sqrt(s * s + v.atm_rate * std::max(T - v.years[last], 0.0));
    }
    const int n = segment(v, T);
    const double w = (T - v.years[n]) / (v.years[n + 1] - v.years[n]);
    const int j = cell_of(v, k);
    const double s0 = sigma_at(v, n, k, j);
    const double s1 = sigma_at(v, n + 1, k, j);
    return std::sqrt(s0 * s0 + w * (s1 * s1 - s0 * s0));
}

double surface_query(const View& v, Query what, double K, double T) {
    const auto positive_finite = [](double x) { return x > 0.0 && x <= DOUBLE_MAX; };
    if (!positive_finite(K) || !positive_finite(T)) {
        return DOUBLE_NAN;
    }
    double F = 0.0;
    double D = 0.0;
    surface_terms(v, T, &F, &D);
    const double k = K / F;
    switch (what) {
        case Query::call_price:
            return D * F * surface_price(v, k, T, 1).value;
        case Query::put_price:
            return D * F * surface_price(v, k, T, -1).value;
        case Query::density:
            return surface_price(v, k, T, 1).density / F;
        case Query::local_vol: {
            const Priced p = surface_price(v, k, T, 1);
            return p.density > 0.0 ? std::sqrt(2.0 * p.dT / (k * k * p.density)) : DOUBLE_NAN;
        }
        case Query::implied_vol:
        case Query::total_variance: {
            const Priced p = surface_price(v, k, T, k >= 1.0 ? 1 : -1);
            const double sigma = black_otm_sigma(k, p.value, sigma_start(v, k, T));
            return what == Query::implied_vol ? sigma / std::sqrt(T) : sigma * sigma;
        }
    }
    return DOUBLE_NAN;
}

}  // namespace velliq::surface
