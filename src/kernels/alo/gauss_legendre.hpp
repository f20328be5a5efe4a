// Gauss-Legendre rules of 4, 6, 8, 10, 12, 16, 20, 24 and 32 points, with the
// substitutions of the accurate model's integrals precomputed.
#pragma once

namespace velliq::alo {

// Nodes x and weights w on [-1, 1], and the same rule after the substitutions
// the model uses: u = tau sin^2(theta/2) with theta = pi (1 + x) / 2 over the
// whole interval (full_s = sin(theta/2), full_c = cos(theta/2), full_w the
// weight w (pi/2) s c per unit tau), and theta = (pi/3)(1 + x) for the
// premium's bulk piece (bulk_s, bulk_c, bulk_w). The nodes descend.
struct RuleView {
    const double *x, *w, *full_s, *full_c, *full_w, *bulk_s, *bulk_c, *bulk_w;
    int size;
};

// The rule of L points; size 0 (and null arrays) for any other L.
RuleView gauss_rule(int L);

}  // namespace velliq::alo
