"""The fit of a surface's slices to bid/ask bands (see velliq.surface for the method)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from ._surface_eval import black_otm
from ._surface_grid import Floats, design_rows, grid_of, tails

# Weight of a spread-normalised band violation against the smoothness of the density.
BAND_WEIGHT = 1e4
# Weight of the pull towards the slice interpolated from its neighbours ('borrowed').
PRIOR_WEIGHT = 1.0


@dataclass
class SliceQuotes:
    """One expiry's quotes as bands on the normalised out-of-the-money price."""

    years: float
    forward: float
    discount: float
    k: Floats
    lo: Floats
    hi: Floats
    mid: Floats
    atm_std: float


def slice_quotes(
    years: float, forward: float, discount: float, strike: Floats, vol_bid: Floats, vol_ask: Floats
) -> SliceQuotes:
    keep = np.isfinite(vol_ask) & (vol_ask > 0) & (strike > 0)
    k = strike[keep] / forward
    root = np.sqrt(years)
    bid = np.where(np.isfinite(vol_bid[keep]) & (vol_bid[keep] > 0), vol_bid[keep], 0.0)
    ask = np.maximum(vol_ask[keep], bid)
    lo = black_otm(k, bid * root)
    hi = black_otm(k, ask * root)
    mid = black_otm(k, 0.5 * (bid + ask) * root)
    order = np.argsort(np.abs(np.log(k))) if k.size else np.arange(0)
    near = order[: min(4, order.size)]
    atm = float(np.median(0.5 * (bid + ask)[near])) * root if near.size else 0.2 * root
    return SliceQuotes(years, forward, discount, k, lo, hi, mid, max(atm, 1e-4))


@dataclass
class Rows:
    """The linear maps from a slice's densities at the knots to what the fit constrains."""

    grid: Floats
    # Per knot, from each hat function: the out-of-the-money price and its slope.
    value: Floats
    slope: Floats

    @classmethod
    def of(cls, grid: Floats) -> Rows:
        call, call_slope, put, put_slope = tails(grid, np.eye(grid.size))
        left = grid < 1.0
        value = np.where(left[None, :], put, call).T
        slope = np.where(left[None, :], put_slope, call_slope).T
        return cls(grid, value, slope)

    def calendar(self, other_value: Floats, other_slope: Floats) -> tuple[Floats, Floats]:
        """A @ density >= b: the slice's price minus the other's (given at the knots) has
        non-negative Bernstein coefficients on every cell, so it is >= 0 everywhere."""
        h = np.diff(self.grid)
        rows = [
            self.value,
            self.value[:-1] + (h / 3.0)[:, None] * self.slope[:-1],
            self.value[1:] - (h / 3.0)[:, None] * self.slope[1:],
        ]
        rhs = [other_value, other_value[:-1] + h / 3.0 * other_slope[:-1], other_value[1:] - h / 3.0 * other_slope[1:]]
        return np.vstack(rows), np.concatenate(rhs)


def fit_density(
    rows: Rows,
    quotes: SliceQuotes,
    smooth: float,
    below: tuple[Floats, Floats] | None,
    above: tuple[Floats, Floats] | None,
    prior: Floats | None,
) -> Floats:
    """The slice's density at the knots: least spread-normalised band violation, then a
    smooth density, as a linear programme (HiGHS)."""
    from scipy.optimize import linprog  # type: ignore[import-untyped]

    grid = rows.grid
    n = grid.size
    inner = slice(1, n - 1)
    A = design_rows(grid, quotes.k)[:, inner]
    m = quotes.k.size
    spread = np.maximum(quotes.hi - quotes.lo, 1e-14)
    d2 = np.diff(np.eye(n), 2, axis=0)[:, inner]
    nd = d2.shape[0]
    nv = n - 2
    # Variables: density (nv), violation below (m) and above (m), |second difference| (nd).
    cost = np.concatenate([np.zeros(nv), BAND_WEIGHT / spread, BAND_WEIGHT / spread, np.full(nd, smooth)])
    z_m, z_d = np.zeros((m, nd)), np.zeros((nd, m))
    ub_rows = [
        np.hstack([-A, -np.eye(m), np.zeros((m, m)), z_m]),
        np.hstack([A, np.zeros((m, m)), -np.eye(m), z_m]),
        np.hstack([d2, z_d, z_d, -np.eye(nd)]),
        np.hstack([-d2, z_d, z_d, -np.eye(nd)]),
    ]
    ub_rhs = [-quotes.lo, quotes.hi, np.zeros(nd), np.zeros(nd)]
    for side, sign in ((below, 1.0), (above, -1.0)):
        if side is not None:
            Ac, bc = rows.calendar(*side)
            ub_rows.append(np.hstack([-sign * Ac[:, inner], np.zeros((Ac.shape[0], 2 * m + nd))]))
            ub_rhs.append(-sign * bc)
    call, call_slope, _, _ = tails(grid, np.eye(n))
    eq = np.vstack([-call_slope[:, 0], call[:, 0]])[:, inner]
    A_eq = np.hstack([eq, np.zeros((2, 2 * m + nd))])
    b_eq = np.array([1.0, 1.0 - grid[0]])
    if prior is not None:  # |density - prior| weighted, as further variables
        cost = np.concatenate([cost, np.full(nv, PRIOR_WEIGHT)])
        ub_rows = [np.hstack([r, np.zeros((r.shape[0], nv))]) for r in ub_rows]
        eye = np.eye(nv)
        pad = np.zeros((nv, 2 * m + nd))
        ub_rows += [np.hstack([eye, pad, -eye]), np.hstack([-eye, pad, -eye])]
        ub_rhs += [prior[inner], -prior[inner]]
        A_eq = np.hstack([A_eq, np.zeros((2, nv))])
    result = linprog(
        cost,
        A_ub=np.vstack(ub_rows),
        b_ub=np.concatenate(ub_rhs),
        A_eq=A_eq,
        b_eq=b_eq,
        bounds=(0, None),
        method="highs",
        options={"primal_feasibility_tolerance": 1e-10},
    )
    density = np.zeros(n)
    if result.x is not None:
        density[inner] = result.x[:nv]
    return density


def knot_prices(rows: Rows, density: Floats) -> tuple[Floats, Floats]:
    return rows.value @ density, rows.slope @ density


def fit_slices(
    quotes: list[SliceQuotes], knots: int, smooth: float, min_quotes: int
) -> tuple[Floats, Floats, list[str]]:
    """The common grid and each slice's density, fitted from the shortest expiry on, each
    above the previous; slices with fewer than ``min_quotes`` quotes afterwards, between
    their fitted neighbours and pulled towards their interpolation ('borrowed')."""
    logk = np.concatenate([np.log(q.k) for q in quotes])
    grid = grid_of(logk if logk.size else np.zeros(1), np.array([q.atm_std for q in quotes]), knots)
    rows = Rows.of(grid)
    s = len(quotes)
    density = np.zeros((s, grid.size))
    determined = ["quotes" if q.k.size >= min_quotes else "borrowed" for q in quotes]
    fitted = [i for i in range(s) if determined[i] == "quotes"]
    if not fitted:  # nothing to borrow from: each slice on its own quotes
        fitted, determined = list(range(s)), ["few"] * s
    previous = None
    for i in fitted:
        density[i] = fit_density(rows, quotes[i], smooth, previous, None, None)
        previous = knot_prices(rows, density[i])
    for i in range(s):
        if determined[i] != "borrowed":
            continue
        lower = max((j for j in fitted if j < i), default=None)
        upper = min((j for j in fitted if j > i), default=None)
        if lower is not None and upper is not None:
            w = (quotes[i].years - quotes[lower].years) / (quotes[upper].years - quotes[lower].years)
            prior = (1 - w) * density[lower] + w * density[upper]
        else:
            prior = density[lower if lower is not None else upper]
        below = knot_prices(rows, density[lower]) if lower is not None else None
        above = knot_prices(rows, density[upper]) if upper is not None else None
        density[i] = fit_density(rows, quotes[i], smooth, below, above, prior)
    return grid, density, determined
