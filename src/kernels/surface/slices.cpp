// One slice of the surface: its call and put at the knots from its density, and
// its prices anywhere in k.
#include <algorithm>
#include <cmath>

#include "surface/surface.hpp"

namespace velliq::surface {

void surface_tails(const double* grid, int knots, const double* density, double* call,
                   double* call_slope, double* put, double* put_slope) {
    const int last = knots - 1;
    call[last] = 0.0;
    call_slope[last] = 0.0;
    for (int j = last - 1; j >= 0; --j) {
        const double h = grid[j + 1] - grid[j];
        const double p0 = density[j];
        const double p1 = density[j + 1];
        // The cell's first moment about its left end, and its mass.
        const double about_left = h * h * (p0 / 6.0 + p1 / 3.0);
        call[j] = call[j + 1] + h * -call_slope[j + 1] + about_left;
        call_slope[j] = call_slope[j + 1] - h * (p0 + p1) / 2.0;
    }
    put[0] = 0.0;
    put_slope[0] = 0.0;
    for (int j = 1; j <= last; ++j) {
        const double h = grid[j] - grid[j - 1];
        const double p0 = density[j - 1];
        const double p1 = density[j];
        const double about_right = h * h * (p0 / 3.0 + p1 / 6.0);
        put[j] = put[j - 1] + h * put_slope[j - 1] + about_right;
        put_slope[j] = put_slope[j - 1] + h * (p0 + p1) / 2.0;
    }
}

int cell_of(const View& v, double k) {
    if (!(k > v.grid[0])) {
        return -1;
    }
    if (k >= v.grid[v.knots - 1]) {
        return v.knots - 1;
    }
    return static_cast<int>(std::upper_bound(v.grid, v.grid + v.knots, k) - v.grid) - 1;
}

Priced slice_price(const View& v, int n, double k, int side) {
    return slice_price(v, n, k, cell_of(v, k), side);
}

Priced slice_price(const View& v, int n, double k, int j, int side) {
    const double* grid = v.grid;
    const int last = v.knots - 1;
    const bool right = k >= 1.0;
    Priced out{0.0, 0.0, 0.0, 0.0};
    if (j < 0) {  // below the support: the call is 1 - k, the put 0
        out.value = right ? 1.0 - k : 0.0;
        out.slope = right ? -1.0 : 0.0;
    } else if (j >= last) {  // above it: the call 0, the put k - 1
        out.value = right ? 0.0 : k - 1.0;
        out.slope = right ? 0.0 : 1.0;
    } else {
        const double h = grid[j + 1] - grid[j];
        const double t = k - grid[j];
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(n) * v.knots + j;
        const double p0 = v.density[at];
        const double p1 = v.density[at + 1];
        const double base = right ? v.call[at] : v.put[at];
        const double slope = right ? v.call_slope[at] : v.put_slope[at];
        const double dp = (p1 - p0) / h;
        out.value = base + slope * t + p0 * t * t / 2.0 + dp * t * t * t / 6.0;
        out.slope = slope + p0 * t + dp * t * t / 2.0;
        out.density = p0 + dp * t;
    }
    // The other side by parity: call = put + (1 - k).
    if (side == 1 && !right) {
        out.value += 1.0 - k;
        out.slope -= 1.0;
    } else if (side != 1 && right) {
        out.value -= 1.0 - k;
        out.slope += 1.0;
    }
    return out;
}

namespace {

// Black's out-of-the-money price at forward 1 with its first two derivatives in sigma.
struct BlackOtm {
    double price, vega, volga;
};

BlackOtm black_otm(double k, double log_k, double sigma) {
    const double d1 = -log_k / sigma + 0.5 * sigma;
    const double d2 = d1 - sigma;
    const double price =
        k >= 1.0 ? _norm_cdf(d1) - k * _norm_cdf(d2) : k * _norm_cdf(-d2) - _norm_cdf(-d1);
    const double vega = _norm_pdf(d1);
    return {price, vega, vega * d1 * d2 / sigma};
}

constexpr double kSigmaMax = IV_MAX_SIGMA;
constexpr int kMaxSteps = 64;
// A relative step this small leaves an error of the order of its cube: none.
constexpr double kConverged = 1e-5;
static_assert(std::bit_cast<std::uint64_t>(kConverged) == 0x3EE4F8B588E368F1ULL);

}  // namespace

double black_otm_sigma(double k, double price, double start) {
    const double bound = k >= 1.0 ? 1.0 : k;
    if (std::isnan(k) || std::isnan(price) || !(k > 0.0) || !(price < bound)) {
        return DOUBLE_NAN;
    }
    if (price <= 0.0) {
        return 0.0;
    }
    const double target = std::log(price);
    const double log_k = std::log(k);
    double lo = 0.0;
    double hi = kSigmaMax;
    double x = start > 0.0 && start < kSigmaMax ? start : 0.5;
    for (int i = 0; i < kMaxSteps; ++i) {
        const BlackOtm b = black_otm(k, log_k, x);
        if (!(b.price > 0.0)) {  // underflow: the vol is larger
            lo = x;
            x = 0.5 * (lo + hi);
            continue;
        }
        const double f = std::log(b.price) - target;
        if (f == 0.0) {
            return x;
        }
        (f < 0.0 ? lo : hi) = x;
        const double f1 = b.vega / b.price;
        const double f2 = b.volga / b.price - f1 * f1;
        double next = x - f / f1 / (1.0 - f * f2 / (2.0 * f1 * f1));
        if (!(next >= lo && next <= hi)) {  // at an end: a step below one ulp
            next = 0.5 * (lo + hi);
        }
        // Halley's error after a step is of the order of the step cubed.
        if (std::fabs(next - x) <= kConverged * x || hi - lo <= 4.0 * DOUBLE_EPS * hi) {
            return next;
        }
        x = next;
    }
    return x;
}

}  // namespace velliq::surface
