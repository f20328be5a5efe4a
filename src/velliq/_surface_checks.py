"""The surface's dense-grid arbitrage checks: a second opinion on what its construction
guarantees."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from ._surface_eval import terms_at

if TYPE_CHECKING:
    from .surface import Surface


def _butterfly(k: np.ndarray, price: np.ndarray) -> np.ndarray:
    """Per row, the largest amount by which a price exceeds the chord of its neighbours."""
    left, mid, right = k[:-2], k[1:-1], k[2:]
    chord = ((right - mid) * price[:, :-2] + (mid - left) * price[:, 2:]) / (right - left)
    excess: np.ndarray = np.maximum(price[:, 1:-1] - chord, 0.0).max(axis=1)
    return excess


def dense_checks(surface: Surface, strikes: int, expiries: int) -> dict[str, Any]:
    """Normalised call prices c = C / (D F) on ``strikes`` moneyness points spanning the
    grid's support, at every fitted expiry and ``expiries`` more (log-spaced from half
    the first to twice the last): the largest butterfly violation (a price above the
    chord of its neighbours) and calendar violation (a price falling from one expiry to
    the next at fixed moneyness), per slice and overall, in normalised price."""
    parts = surface._parts()
    grid, years = parts["grid"], parts["years"]
    k = np.exp(np.linspace(np.log(grid[1]), np.log(grid[-2]), strikes))
    extra = np.geomspace(years[0] / 2.0, years[-1] * 2.0, expiries) if expiries else np.zeros(0)
    every = np.unique(np.concatenate([years, extra]))
    kk, T = np.meshgrid(k, every)
    F, D = terms_at(years, parts["forward"], parts["discount"], T)
    K = kk * F
    call = surface.call_price(K, T) / (D * F)
    # The out-of-the-money side for the calendar, so that small differences stay exact.
    otm = np.where(kk >= 1.0, call, surface.put_price(K, T) / (D * F))
    butterfly = _butterfly(k, call)
    calendar = np.concatenate([[0.0], np.maximum(otm[:-1] - otm[1:], 0.0).max(axis=1)])
    fitted = np.searchsorted(every, years)
    per_slice = pd.DataFrame({"butterfly": butterfly[fitted], "calendar": calendar[fitted]})
    return {
        "butterfly": float(butterfly.max()),
        "calendar": float(calendar.max()),
        "strikes": strikes,
        "expiries": int(every.size),
        "per_slice": per_slice,
    }
