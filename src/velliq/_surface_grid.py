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
Bools = npt.NDArray[np.bool_]


def grid_of(log_moneyness: Floats, atm_std: Floats, knots: int) -> Floats:
    """The common knots: ln k graded as a sinh around 0 at the scale of the shortest
    slice's ATM total standard deviation, covering every quote and six standard
    deviations of the widest slice beyond them."""
    widest = float(np.max(atm_std))
    scale = max(float(np.min(atm_std)), 1e-3)
    reach = 6.0 * widest + 0.05
    lowest = min(float(np.min(log_moneyness)) - 2.0 * widest, 0.0) - reach
    highest = max(float(np.max(log_moneyness)) + 2.0 * widest, 0.0) + reach
    u = np.linspace(np.arcsinh(lowest / scale), np.arcsinh(highest / scale), knots)
    return np.exp(scale * np.sinh(u))


def tails(grid: Floats, density: Floats) -> tuple[Floats, Floats, Floats, Floats]:
    """Per knot of each slice (rows): the call's value and slope from the right, the
    put's value and slope from the left."""
    h = np.diff(grid)
    p0, p1 = density[..., :-1], density[..., 1:]
    mass = h * (p0 + p1) / 2.0
    # Moment of the cell's density about its right end (for the put) and left end (call).
    about_left = h * h * (p0 / 6.0 + p1 / 3.0)
    about_right = h * h * (p0 / 3.0 + p1 / 6.0)
    n = grid.size
    call = np.zeros(density.shape)
    call_slope = np.zeros(density.shape)
    put = np.zeros(density.shape)
    put_slope = np.zeros(density.shape)
    for j in range(n - 2, -1, -1):
        right_mass = -call_slope[..., j + 1]
        call[..., j] = call[..., j + 1] + h[j] * right_mass + about_left[..., j]
        call_slope[..., j] = call_slope[..., j + 1] - mass[..., j]
    for j in range(1, n):
        put[..., j] = put[..., j - 1] + h[j - 1] * put_slope[..., j - 1] + about_right[..., j - 1]
        put_slope[..., j] = put_slope[..., j - 1] + mass[..., j - 1]
    return call, call_slope, put, put_slope


def design_rows(grid: Floats, k: Floats) -> Floats:
    """The rows A with A @ density = the out-of-the-money price at each k (the call's
    for k >= 1, the put's below), for densities zero at both ends."""
    n = grid.size
    basis = np.eye(n)
    call, call_slope, put, put_slope = tails(grid, basis)  # column j: knot j's hat function
    j = np.clip(np.searchsorted(grid, k, side="right") - 1, 0, n - 2)
    h = grid[j + 1] - grid[j]
    t = np.clip(k - grid[j], 0.0, h)
    cubic = (t**3 / (6.0 * h))[:, None] * (basis[j + 1] - basis[j])
    quadratic = (t * t / 2.0)[:, None] * basis[j]
    above = k >= 1.0
    value = np.where(
        above[:, None], call[:, j].T + t[:, None] * call_slope[:, j].T, put[:, j].T + t[:, None] * put_slope[:, j].T
    )
    return value + quadratic + cubic
