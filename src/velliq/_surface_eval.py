"""Black's normalised prices for the fit's bands, and the surface's forward and
discount at any T (as kernels/surface/queries.cpp computes them)."""

from __future__ import annotations

import numpy as np

from ._surface_grid import Floats


def black_otm(k: Floats, sigma: Floats) -> Floats:
    """Black's normalised out-of-the-money price (forward 1, undiscounted) at moneyness k
    and total standard deviation sigma: the call for k >= 1, the put below."""
    from scipy.special import ndtr  # type: ignore[import-untyped]

    with np.errstate(divide="ignore", invalid="ignore"):
        d1 = -np.log(k) / sigma + sigma / 2.0
        d2 = d1 - sigma
        call = ndtr(d1) - k * ndtr(d2)
        put = k * ndtr(-d2) - ndtr(-d1)
    value: Floats = np.where(k >= 1.0, call, put)
    return np.where(sigma > 0, value, 0.0)


def terms_at(years: Floats, forward: Floats, discount: Floats, T: Floats) -> tuple[Floats, Floats]:
    """Forward and discount factor at T: ln F and ln D linear in T between expiries,
    extended along the nearest segment (ln D through 0 at T = 0 before the first)."""
    lf, ld = np.log(forward), np.log(discount)
    if years.size == 1:
        return np.full(T.shape, forward[0]), np.exp(ld[0] * T / years[0])
    i = np.clip(np.searchsorted(years, T, side="right") - 1, 0, years.size - 2)
    w = (T - years[i]) / (years[i + 1] - years[i])
    F = np.exp(lf[i] + w * (lf[i + 1] - lf[i]))
    D = np.exp(ld[i] + w * (ld[i + 1] - ld[i]))
    D = np.where(T < years[0], np.exp(ld[0] * T / years[0]), D)
    return F, D
