"""The surface's representation: a density on a common grid of forward moneyness.

Each slice (expiry) is a non-negative density p(k) of k = S_T / F, piecewise linear on
the knots ``grid`` (shared by every slice), zero at both ends, of mass 1 and mean 1.
Its normalised call price c(k) = C / (D F) = integral of (x - k)+ p(x) dx is then
convex and twice continuously differentiable: on a cell [x_j, x_j+1] a cubic fixed by
its value and slope at x_j and the density at both ends. The put p(k) = c(k) - (1 - k)
is the same cubic from the left; both are kept so that far out-of-the-money prices
are not differences of numbers near 1.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float64]
# The share of the knots (per cent) placed among the quotes rather than graded about 1.
QUOTED_SHARE = 40


def grid_of(log_moneyness: Floats, atm_std: Floats, knots: int) -> Floats:
    """The common knots: ln k graded as a sinh around 0 at the scale of the shortest
    slice's ATM total standard deviation, covering every quote and six standard
    deviations of the widest slice beyond them."""
    widest = float(np.max(atm_std))
    scale = max(float(np.min(atm_std)), 1e-3)
    reach = 6.0 * widest + 0.05
    lowest = min(float(np.min(log_moneyness)) - 2.0 * widest, 0.0) - reach
    highest = max(float(np.max(log_moneyness)) + 2.0 * widest, 0.0) + reach
    graded = knots - knots * QUOTED_SHARE // 100
    u = np.linspace(np.arcsinh(lowest / scale), np.arcsinh(highest / scale), graded)
    y = scale * np.sinh(u)
    # The rest where the quotes are: their log-moneyness's quantiles, each placed in
    # the widest cell of the graded grid left.
    quoted = np.quantile(log_moneyness, np.linspace(0.0, 1.0, knots - graded + 2)[1:-1])
    for q in quoted:
        cells = np.diff(y)
        near = np.abs(y[:-1] + cells / 2.0 - q) <= cells
        if not near.any():
            continue
        j = int(np.flatnonzero(near)[np.argmax(cells[near])])
        y = np.insert(y, j + 1, (y[j] + y[j + 1]) / 2.0)
    y = np.concatenate([y, np.linspace(y[-2], y[-1], knots - y.size + 2)[1:-1]]) if y.size < knots else y
    return np.exp(np.sort(y))
