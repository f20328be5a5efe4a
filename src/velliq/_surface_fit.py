"""The fit of a surface's slices to bid/ask bands (see velliq.surface for the method)."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import _ufuncs
from ._surface_eval import black_otm
from ._surface_grid import Floats, grid_of

# Weight of the pull towards the slice interpolated from its neighbours ('borrowed'), per
# squared density in units of the slice's ATM total standard deviation.
PRIOR_WEIGHT = 1e-4


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
    weight: Floats
    atm_std: float
    set_aside: int  # quotes left out: their band misses a narrower one at their strike


def _missing_the_narrowest(k: Floats, bid: Floats, ask: Floats) -> npt.NDArray[np.bool_]:
    """The quotes whose vol band misses the narrowest band at their strike (a call's and
    a put's that no vol meets both): no fit can hold both, and the wider is the less
    telling, usually the one in the money."""
    order = np.lexsort((ask - bid, k))
    ks = k[order]
    first = np.r_[True, ks[1:] != ks[:-1]] if ks.size else np.zeros(0, bool)
    group = np.cumsum(first) - 1
    narrowest = order[first][group]
    miss = np.zeros(k.size, bool)
    miss[order] = (bid[order] > ask[narrowest]) | (ask[order] < bid[narrowest])
    return miss


def slice_quotes(
    years: float, forward: float, discount: float, strike: Floats, vol_bid: Floats, vol_ask: Floats
) -> SliceQuotes:
    keep = np.isfinite(vol_ask) & (vol_ask > 0) & (strike > 0)
    k = strike[keep] / forward
    root = np.sqrt(years)
    bid = np.where(np.isfinite(vol_bid[keep]) & (vol_bid[keep] > 0), vol_bid[keep], 0.0)
    ask = np.maximum(vol_ask[keep], bid)
    aside = _missing_the_narrowest(k, bid, ask)
    k, bid, ask = k[~aside], bid[~aside], ask[~aside]
    lo = black_otm(k, bid * root)
    hi = black_otm(k, ask * root)
    mid_vol = 0.5 * (bid + ask)
    mid = black_otm(k, mid_vol * root)
    # Price errors in vol units: over vega (per unit annual vol), floored at a
    # ten-millionth of the slice's largest; no mid without a bid.
    d1 = -np.log(k) / (mid_vol * root) + mid_vol * root / 2.0
    vega = np.exp(-0.5 * d1 * d1) / np.sqrt(2.0 * np.pi) * root
    floor = 1e-7 * float(np.max(vega)) if vega.size else 1.0
    weight = 1.0 / np.maximum(vega, floor)
    mid = np.where(bid > 0, mid, np.nan)
    order = np.argsort(np.abs(np.log(k))) if k.size else np.arange(0)
    near = order[: min(4, order.size)]
    atm = float(np.median(0.5 * (bid + ask)[near])) * root if near.size else 0.2 * root
    return SliceQuotes(years, forward, discount, k, lo, hi, mid, weight, max(atm, 1e-4), int(aside.sum()))


def knot_prices(grid: Floats, density: Floats) -> tuple[Floats, Floats]:
    """A slice's out-of-the-money price and its slope at the knots (the put below 1)."""
    call, call_slope, put, put_slope = _ufuncs.surface_tails(grid, density)
    left = grid < 1.0
    return np.where(left, put, call), np.where(left, put_slope, call_slope)


def fit_density(
    grid: Floats, quotes: SliceQuotes, smooth: float, below: Floats | None, above: Floats | None, prior: Floats | None
) -> tuple[Floats, int]:
    """The slice's density at the knots and the count of quotes whose bands it could not
    meet (-1: no solution): kernels/surface/fit.hpp's quadratic programme."""
    n = grid.size
    absent = np.full((2, n), np.nan)
    near = np.vstack(
        [
            prior[None, :] if prior is not None else absent[:1],
            np.vstack(knot_prices(grid, below)) if below is not None else absent,
            np.vstack(knot_prices(grid, above)) if above is not None else absent,
        ]
    )
    sigma = quotes.atm_std
    table = np.ascontiguousarray(np.stack([quotes.k, quotes.lo, quotes.hi, quotes.mid, quotes.weight]))
    options = np.array([smooth * sigma**2, PRIOR_WEIGHT * sigma**2])
    density, softened = _ufuncs.surface_fit_slice(grid, table, np.ascontiguousarray(near), options)
    return density, int(softened)


def fit_slices(
    quotes: list[SliceQuotes], knots: int, smooth: float, min_quotes: int
) -> tuple[Floats, Floats, list[str], npt.NDArray[np.int64]]:
    """The common grid and each slice's density, fitted from the shortest expiry on, each
    above the previous; slices with fewer than ``min_quotes`` quotes afterwards, between
    their fitted neighbours and pulled towards their interpolation ('borrowed')."""
    logk = np.concatenate([np.log(q.k) for q in quotes])
    grid = grid_of(logk if logk.size else np.zeros(1), np.array([q.atm_std for q in quotes]), knots)
    s = len(quotes)
    density = np.zeros((s, grid.size))
    determined = ["quotes" if q.k.size >= min_quotes else "borrowed" for q in quotes]
    fitted = [i for i in range(s) if determined[i] == "quotes"]
    if not fitted:  # nothing to borrow from: each slice on its own quotes
        fitted, determined = list(range(s)), ["few"] * s
    softened = np.zeros(s, np.int64)
    previous = None
    for i in fitted:
        density[i], softened[i] = fit_density(grid, quotes[i], smooth, previous, None, None)
        softened[i] += quotes[i].set_aside if softened[i] >= 0 else 0
        if softened[i] < 0 and previous is not None:  # no solution: the slice below, unchanged
            density[i], determined[i] = previous, "failed"
        previous = density[i]
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
        below = density[lower] if lower is not None else None
        above = density[upper] if upper is not None else None
        density[i], softened[i] = fit_density(grid, quotes[i], smooth, below, above, prior)
        softened[i] += quotes[i].set_aside if softened[i] >= 0 else 0
    return grid, density, determined, softened
