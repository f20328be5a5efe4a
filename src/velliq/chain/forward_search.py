"""Forwards implied by American call and put quotes: per strike, the forward
at which the call's and the put's implied volatilities agree; per expiry,
the median over its strikes."""

import math
from typing import Final

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._models import pricing_model
from ._arrays import Floats
from .inputs import ChainInputs

__all__ = ["estimated_forwards", "forward", "strike_forwards"]

# A strike's forward is found to 1e-10 relative in three or four Newton steps
# from the expiry's parity forward; a strike still unsettled after eight
# (a pair too flat in the forward to pin it, far from the money) is left out.
_NEWTON_STEPS: Final = 8
_FORWARD_RTOL: Final = 1e-10


def strike_forwards(
    calls: npt.ArrayLike,
    puts: npt.ArrayLike,
    strikes: npt.ArrayLike,
    spot: npt.ArrayLike,
    discount: npt.ArrayLike,
    start: npt.ArrayLike | None = None,
    model: str = "baw",
) -> Floats:
    """Per strike, the forward at which the call's and the put's implied
    volatilities agree.

    iv_call falls and iv_put rises as the forward rises, so their difference
    has one root, inside (K - P/D, K + C/D), where both quotes exceed their
    zero-volatility values. Safeguarded Newton steps (the slopes come from
    the Greeks, d iv / dF = -dV/dF / vega) solve all strikes at once.

    Parameters
    ----------
    calls, puts, strikes, spot, discount : array_like
        Per strike its call and put quotes, strike, spot and discount
        factor; they broadcast.
    start : array_like, optional
        Per strike, the first forward tried; its parity forward
        K + (C - P)/D by default.
    model : {"baw", "american"}
        The prices (:data:`MODELS`).

    Returns
    -------
    numpy.ndarray
        float64 forwards; NaN where the pair is not usable or did not settle.
    """
    pricing = pricing_model(model)
    C, P, K, S, D = np.broadcast_arrays(
        *(np.asarray(a, dtype=np.float64) for a in (calls, puts, strikes, spot, discount))
    )
    with np.errstate(invalid="ignore", divide="ignore"):
        lo, hi = K - P / D, K + C / D
        usable = (C > np.maximum(S - K, 0)) & (P > np.maximum(K - S, 0)) & (D > 0) & (lo < hi)
        parity = K + (C - P) / D
    initial = parity if start is None else np.broadcast_to(np.asarray(start, dtype=np.float64), C.shape)
    F = np.where(usable, np.where((initial > lo) & (initial < hi), initial, parity), np.nan)
    settled = np.zeros(F.shape, dtype=bool)
    active = np.flatnonzero(usable)
    lo, hi = lo.copy(), hi.copy()
    for _ in range(_NEWTON_STEPS):
        if active.size == 0:
            break
        a = active
        f = F[a]
        iv_c = pricing.implied_vol(C[a], S[a], K[a], D[a], f, True)
        iv_p = pricing.implied_vol(P[a], S[a], K[a], D[a], f, False)
        gap = iv_c - iv_p
        lower = (gap > 0) | (iv_p == 0)  # the root lies above f
        upper = (gap < 0) | (iv_c == 0)
        lo[a] = np.where(lower, f, lo[a])
        hi[a] = np.where(upper, f, hi[a])
        _, _, vega_c, dF_c, _ = pricing.greeks(S[a], K[a], D[a], f, iv_c, True)
        _, _, vega_p, dF_p, _ = pricing.greeks(S[a], K[a], D[a], f, iv_p, False)
        with np.errstate(invalid="ignore", divide="ignore"):
            slope = -dF_c / vega_c + dF_p / vega_p
            newton = f - np.where((iv_c > 0) & (iv_p > 0), gap / slope, np.nan)
        inside = np.isfinite(newton) & (newton > lo[a]) & (newton < hi[a])
        nxt = np.where(inside, newton, 0.5 * (lo[a] + hi[a]))
        F[a] = nxt
        done = (gap == 0) | (np.abs(nxt - f) <= _FORWARD_RTOL * np.abs(f))
        settled[a[done]] = True
        active = a[~done]
    return np.where(settled, F, np.nan)


def forward(
    calls: npt.ArrayLike,
    puts: npt.ArrayLike,
    strikes: npt.ArrayLike,
    spot: float,
    discount: float,
    model: str = "baw",
) -> float:
    """The forward implied by one expiry's American call and put quotes.

    Every strike with a usable pair (both quotes present and above their
    exercise values) gives the forward at which its call and put volatilities
    agree (a single root: no local minima, :func:`strike_forwards`); the
    estimate is their median, which a few bad quotes do not move. A missing
    quote removes its strike only.

    Parameters
    ----------
    calls, puts, strikes : array_like
        Per strike, its call and put quotes and the strike.
    spot, discount : float
        The underlying's spot and the expiry's discount factor.
    model : {"baw", "american"}
        The prices (:data:`MODELS`).

    Returns
    -------
    float
        The forward; NaN when no strike has a usable pair.
    """
    C, P, K = (np.asarray(a, dtype=np.float64) for a in (calls, puts, strikes))
    with np.errstate(invalid="ignore", divide="ignore"):
        parity = K + (C - P) / np.asarray(discount, dtype=np.float64)
    start = np.nanmedian(parity) if np.isfinite(parity).any() else None
    per_strike = strike_forwards(C, P, K, spot, discount, start, model)
    per_strike = per_strike[np.isfinite(per_strike)]
    return float(np.median(per_strike)) if per_strike.size else math.nan


def _group_forwards(frame: pd.DataFrame, keys: list[str], max_strikes: int | None, model: str) -> "pd.Series[float]":
    """Forward per group from the mean mid of each (group, strike, side)."""
    mids = frame.groupby([*keys, "strike", "is_call"], sort=False)["mid"].mean()
    pairs = mids.unstack("is_call").reindex(columns=[True, False])
    firsts = frame.groupby(keys, sort=False)[["spot", "discount"]].first()
    pairs = pairs.join(firsts, on=keys)
    strikes = pairs.index.get_level_values("strike").to_numpy(np.float64)
    C, P, S, D = (pairs[c].to_numpy() for c in (True, False, "spot", "discount"))
    levels = list(range(len(keys)))
    if max_strikes is not None:
        # The pairs with the most time value on their thinner side pin the forward best.
        time_value = np.minimum(C - np.maximum(S - strikes, 0), P - np.maximum(strikes - S, 0))
        rank = (
            pd.Series(np.nan_to_num(time_value, nan=-np.inf), index=pairs.index)
            .groupby(level=levels)
            .rank(ascending=False, method="first")
        )
        keep = (rank <= max_strikes).to_numpy()
        pairs, strikes, C, P, S, D = pairs[keep], strikes[keep], C[keep], P[keep], S[keep], D[keep]
    with np.errstate(invalid="ignore"):
        parity = pd.Series(strikes + (C - P) / D, index=pairs.index)
    start = parity.groupby(level=levels).transform("median").to_numpy()
    per_strike = strike_forwards(C, P, strikes, S, D, start, model)
    estimates = pd.Series(per_strike, index=pairs.index).dropna()
    return estimates.groupby(level=levels).median().rename("forward")


def estimated_forwards(keys: pd.DataFrame, inputs: ChainInputs, max_strikes: int | None, model: str) -> Floats:
    """Per row, its group's forward from the group's quotes (crossed quotes left out)."""
    frame = keys.assign(
        strike=inputs.strike,
        is_call=inputs.is_call,
        spot=inputs.S,
        discount=inputs.D,
        mid=np.where(inputs.bid > inputs.ask, np.nan, inputs.mid),
    )
    estimates = _group_forwards(frame, list(keys.columns), max_strikes, model)
    index = pd.MultiIndex.from_frame(keys) if keys.shape[1] > 1 else pd.Index(keys.iloc[:, 0])
    return estimates.reindex(index).to_numpy(np.float64)
