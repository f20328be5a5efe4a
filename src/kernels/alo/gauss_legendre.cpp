// Gauss-Legendre rules, computed at compile time: each node by Newton's method
// on the Legendre polynomial P_L from Tricomi's first approximation, each
// weight 2 / ((1 - x^2) P_L'(x)^2). Supported sizes: 4, 6, 8, 10, 12, 16, 20,
// 24 and 32 points.
#include "alo/gauss_legendre.hpp"

#include <array>

#include "kernels.hpp"

namespace velliq::alo {

namespace {

// sin and cos on [0, pi] by reduction to [0, pi/4] and their Taylor series,
// accurate to a few ulps; only the tables below use them.
constexpr double taylor_cos(double x) {
    double term = 1.0, sum = 1.0;
    for (int k = 1; k < 12; ++k) {
        term *= -x * x / ((2 * k - 1) * (2 * k));
        sum += term;
    }
    return sum;
}
constexpr double taylor_sin(double x) {
    double term = x, sum = x;
    for (int k = 1; k < 12; ++k) {
        term *= -x * x / ((2 * k) * (2 * k + 1));
        sum += term;
    }
    return sum;
}
constexpr double table_cos(double x) {
    if (x > PI / 2) {
        return -table_cos(PI - x);
    }
    if (x > PI / 4) {
        return taylor_sin(PI / 2 - x);
    }
    return taylor_cos(x);
}
constexpr double table_sin(double x) {
    if (x > PI / 2) {
        return table_sin(PI - x);
    }
    if (x > PI / 4) {
        return taylor_cos(PI / 2 - x);
    }
    return taylor_sin(x);
}

// Legendre P_L(x) and P_L'(x) by the three-term recurrence.
constexpr void legendre(int L, double x, double* p, double* dp) {
    double p0 = 1.0, p1 = x;
    for (int k = 2; k <= L; ++k) {
        const double p2 = ((2 * k - 1) * x * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
    }
    *p = p1;
    *dp = L * (x * p1 - p0) / (x * x - 1);
}

// The arrays a RuleView points into (see gauss_legendre.hpp).
template <int L>
struct GaussRule {
    std::array<double, L> x{}, w{};
    std::array<double, L> full_s{}, full_c{}, full_w{};
    std::array<double, L> bulk_s{}, bulk_c{}, bulk_w{};
};

template <int L>
constexpr GaussRule<L> make_rule() {
    GaussRule<L> rule;
    for (int i = 0; i < L; ++i) {
        // Newton from Tricomi's first approximation; the nodes descend.
        double x = table_cos(PI * (i + 0.75) / (L + 0.5));
        double p = 0.0, dp = 1.0;
        for (int step = 0; step < 100; ++step) {
            legendre(L, x, &p, &dp);
            const double dx = p / dp;
            x -= dx;
            if ((dx < 0 ? -dx : dx) < 1e-15) {
                break;
            }
        }
        legendre(L, x, &p, &dp);
        rule.x[i] = x;
        rule.w[i] = 2.0 / ((1.0 - x * x) * dp * dp);
        const double half = PI * (1.0 + x) / 4.0;
        rule.full_s[i] = table_sin(half);
        rule.full_c[i] = table_cos(half);
        rule.full_w[i] = rule.w[i] * (PI / 2.0) * rule.full_s[i] * rule.full_c[i];
        const double bulk_half = PI * (1.0 + x) / 6.0;
        rule.bulk_s[i] = table_sin(bulk_half);
        rule.bulk_c[i] = table_cos(bulk_half);
        rule.bulk_w[i] = rule.w[i] * (PI / 3.0) * rule.bulk_s[i] * rule.bulk_c[i];
    }
    return rule;
}

template <int L>
constexpr GaussRule<L> GAUSS_RULE = make_rule<L>();

template <int L>
constexpr double weight_sum() {
    double sum = 0.0;
    for (double w : GAUSS_RULE<L>.w) {
        sum += w;
    }
    return sum;
}
// The weights integrate 1 over [-1, 1]; the two-point nodes are +-1/sqrt(3).
static_assert(weight_sum<4>() > 2.0 - 4 * DOUBLE_EPS && weight_sum<4>() < 2.0 + 4 * DOUBLE_EPS);
static_assert(weight_sum<32>() > 2.0 - 16 * DOUBLE_EPS && weight_sum<32>() < 2.0 + 16 * DOUBLE_EPS);
static_assert(GAUSS_RULE<2>.x[0] * GAUSS_RULE<2>.x[0] > 1.0 / 3.0 - DOUBLE_EPS &&
              GAUSS_RULE<2>.x[0] * GAUSS_RULE<2>.x[0] < 1.0 / 3.0 + DOUBLE_EPS);

template <int L>
RuleView view() {
    const GaussRule<L>& r = GAUSS_RULE<L>;
    return {r.x.data(),      r.w.data(),      r.full_s.data(),
            r.full_c.data(), r.full_w.data(), r.bulk_s.data(),
            r.bulk_c.data(), r.bulk_w.data(), L};
}

}  // namespace

RuleView gauss_rule(int L) {
    switch (L) {
        case 4:
            return view<4>();
        case 6:
            return view<6>();
        case 8:
            return view<8>();
        case 10:
            return view<10>();
        case 12:
            return view<12>();
        case 16:
            return view<16>();
        case 20:
            return view<20>();
        case 24:
            return view<24>();
        case 32:
            return view<32>();
        default:
            return {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
    }
}

}  // namespace velliq::alo
