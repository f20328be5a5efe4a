"""Forwards implied by American call and put quotes, weighted by the precision
the quotes give.

Every strike quoted on both sides says two things about its expiry's forward:
F_mid, the forward at which its call and put mid volatilities agree, and
[F_lo, F_hi], the forwards at which the call's and the put's bid-ask
volatility bands overlap, the range its quotes can be reconciled with (both
from the model's ``forward_pair`` kernel). The width of that range is how
precisely the strike knows the forward: a tight near-the-money pair pins it to
a few cents, a wide, stale deep in-the-money wing only to a few percent. So
the expiry's forward is the weighted median of the strikes' F_mid, each
weighted by 1/width², the width floored at one basis point of the forward so
that a locked quote (bid = ask) counts as a precise strike, not an infinitely
precise one. A median, so one bad quote can only remove itself; weighted, so
the wings, which a plain median counts as much as any strike, cannot pull it
off the near-the-money cluster. The strikes are chosen before anything is
solved, from the quotes alone: a pair is informative when its summed spread,
(call ask - call bid + put ask - put bid) / D in forward units, is within a
factor of four of the expiry's tightest, and of those the six with the most
time value on their thinner side (the nearest the money) are solved. The wide
wings are never solved at all, which makes the estimate both more accurate
and cheaper than one over every strike; all expiries are solved in one call of
the kernel. With the forward come its support, the strikes whose range
contains it, and the consistent range, the intersection of their ranges
(each at least the floor wide): where the quotes leave the forward.
"""

import math
from dataclasses import dataclass
from typing import Any, Final

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._models import PricingModel, pricing_model
from .._ufuncs import time_value
from ..baw import REASONS
from ._arrays import Bools, Floats, Ints, run_starts
from .dividend_inputs import RowDividends
from .inputs import ChainInputs

__all__ = [
    "FORWARD_COLUMNS",
    "ForwardEstimates",
    "estimated_forwards",
    "forward",
    "forward_columns",
    "strike_forwards",
]


# A pair is informative when its summed spread is within this factor of its expiry's tightest.
_INFORMATIVE_SPREAD_FACTOR: Final = 4.0
# Pairs solved per expiry by default: the informative ones with the most time value.
_INFORMATIVE_PAIRS: Final = 6
# Below one basis point of the forward a spread or a consistent range pins the
# forward no better: its weight is capped there, and a range is at least this wide.
_PRECISION_FLOOR: Final = 1e-4

_OK: Final = REASONS.index("ok")
_UNSETTLED: Final = REASONS.index("unsettled")

# The columns of the forward and what supports it, per (underlying, expiry).
FORWARD_COLUMNS: Final = ("forward", "forward_lo", "forward_hi", "forward_strikes", "forward_unsettled")


@dataclass(frozen=True)
class _Pairs:
    """Strikes quoted on both sides: per pair its group, spot, strike,
    discount, and the call's and put's (bid, mid, ask), rows 0-2 and 3-5 of
    ``quotes``."""

    group: Ints
    S: Floats
    K: Floats
    D: Floats
    quotes: Floats
    dividends: RowDividends | None = None  # each pair's cash dividends, when the table has them


@dataclass(frozen=True)
class ForwardEstimates:
    """Per group: the forward, its consistent range [lo, hi], the count of
    strikes whose range contains it (its support) and of the solved pairs that did not settle."""

    forward: Floats
    lo: Floats
    hi: Floats
    support: Ints
    unsettled: Ints


def _thinner_time_value(pairs: _Pairs) -> Floats:
    """Per pair, the time value of its thinner side's mid (NaN or <= 0: unusable)."""
    call: Floats = time_value(pairs.quotes[1], pairs.S, pairs.K, True)
    put: Floats = time_value(pairs.quotes[4], pairs.S, pairs.K, False)
    return np.minimum(call, put)


def _summed_spread(pairs: _Pairs) -> Floats:
    """Per pair, (call ask - call bid + put ask - put bid) / D; a missing bid
    counts as zero, a missing ask makes it infinite."""
    quotes = pairs.quotes
    spread: Floats = (quotes[2] - np.fmax(quotes[0], 0) + quotes[5] - np.fmax(quotes[3], 0)) / pairs.D
    return np.where(np.isnan(spread), np.inf, spread)


def _select(pairs: _Pairs, max_pairs: int | None) -> Ints:
    """The informative usable pairs, at most ``max_pairs`` per group (the most time value first)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        thinner = _thinner_time_value(pairs)
        spread = _summed_spread(pairs)
        usable = np.flatnonzero((thinner > 0) & (pairs.S > 0) & (pairs.D > 0))
    group, spread = pairs.group[usable], spread[usable]
    order = np.lexsort((pairs.K[usable], -thinner[usable], group))  # the strike breaks ties: any row order
    group, spread, usable = group[order], spread[order], usable[order]
    if usable.size == 0:
        return usable
    starts = run_starts(group)
    sizes = np.diff(np.r_[starts, group.size])
    floor = _PRECISION_FLOOR * pairs.K[usable]
    tightest = np.repeat(np.minimum.reduceat(np.maximum(spread, floor), starts), sizes)
    informative = spread <= _INFORMATIVE_SPREAD_FACTOR * tightest
    if max_pairs is None:
        return usable[informative]
    # Rank among the group's informative pairs, in order of time value.
    taken = np.cumsum(informative)
    before = np.repeat((taken - informative)[starts], sizes)
    return usable[informative & (taken - before <= max_pairs)]


def _weighted_medians(group: Ints, values: Floats, weights: Floats, n_groups: int) -> Floats:
    """Per group, the weighted median of its values: midway between the lowest
    values at which the cumulative weight reaches and passes half the
    group's; the median for equal weights. NaN for a group without values."""
    medians = np.full(n_groups, np.nan)
    if values.size == 0:
        return medians
    order = np.lexsort((values, group))
    group, values, weights = group[order], values[order], weights[order]
    starts = run_starts(group)
    sizes = np.diff(np.r_[starts, group.size])
    weights = weights / np.repeat(np.maximum.reduceat(weights, starts), sizes)  # equal weights sum exactly
    cumulative = np.cumsum(weights)
    cumulative -= np.repeat((cumulative - weights)[starts], sizes)
    half = np.repeat(cumulative[starts + sizes - 1], sizes) / 2
    lower = starts + np.add.reduceat(cumulative < half, starts)
    upper = starts + np.add.reduceat(cumulative <= half, starts)
    medians[group[starts]] = 0.5 * (values[lower] + values[upper])
    return medians


def _estimate(pairs: _Pairs, chosen: Ints, n_groups: int, model: PricingModel) -> ForwardEstimates:
    """Per group, the forward from its chosen pairs, solved in one kernel call."""
    quotes = pairs.quotes[:, chosen]
    paid = () if pairs.dividends is None else (pairs.dividends.fractions[chosen], pairs.dividends.amounts[chosen])
    F_mid, F_lo, F_hi, reason = model.forward_pair(pairs.S[chosen], pairs.K[chosen], pairs.D[chosen], *quotes, *paid)
    group = pairs.group[chosen]
    unsettled = np.bincount(group[reason == _UNSETTLED], minlength=n_groups)
    ok = reason == _OK
    group, F_mid, F_lo, F_hi = group[ok], F_mid[ok], F_lo[ok], F_hi[ok]
    # Each range at least the floor wide, about its centre.
    half_floor = 0.5 * _PRECISION_FLOOR * np.abs(F_mid)
    centre = 0.5 * (F_lo + F_hi)
    F_lo, F_hi = np.minimum(F_lo, centre - half_floor), np.maximum(F_hi, centre + half_floor)
    forward = _weighted_medians(group, F_mid, (F_hi - F_lo) ** -2.0, n_groups)
    at = forward[group]
    supports = (F_lo <= at) & (at <= F_hi)
    support = np.bincount(group[supports], minlength=n_groups)
    lo, hi = np.full(n_groups, -np.inf), np.full(n_groups, np.inf)
    np.maximum.at(lo, group[supports], F_lo[supports])
    np.minimum.at(hi, group[supports], F_hi[supports])
    lo[support == 0], hi[support == 0] = np.nan, np.nan
    return ForwardEstimates(forward, lo, hi, support, unsettled)


def _pairs_of_rows(group: Ints, inputs: ChainInputs, usable: Bools | None) -> _Pairs:
    """Per (group, strike) quoted on both sides, its quotes: the mean over
    duplicate rows, crossed rows and those not ``usable`` left out; a price
    without bid and ask is both."""
    rows = np.flatnonzero(
        (group >= 0)
        & np.isfinite(inputs.strike)
        & np.isfinite(inputs.mid)
        & ~(inputs.bid > inputs.ask)
        & (True if usable is None else usable)
    )
    strike_codes, strikes = pd.factorize(inputs.strike[rows])
    pair, _ = pd.factorize(group[rows] * len(strikes) + strike_codes)
    n = int(pair.max()) + 1 if pair.size else 0
    slot = 2 * pair + inputs.is_call[rows]  # put 0, call 1
    count = np.bincount(slot, minlength=2 * n)
    price_only = np.isnan(inputs.bid[rows]) & np.isnan(inputs.ask[rows])
    mid = inputs.mid[rows]
    means = []
    for quote in (np.where(price_only, mid, inputs.bid[rows]), mid, np.where(price_only, mid, inputs.ask[rows])):
        with np.errstate(invalid="ignore", divide="ignore"):
            means.append((np.bincount(slot, weights=quote, minlength=2 * n) / count).reshape(n, 2))
    quotes = np.stack([m[:, side] for side in (1, 0) for m in means])
    # pd.factorize numbers pairs in order of first appearance: each pair's first row.
    running = np.maximum.accumulate(pair)
    first = rows[np.r_[pair.size > 0, running[1:] > running[:-1]][: pair.size]]
    paid = None if inputs.dividends is None else inputs.dividends[first]
    return _Pairs(group[first], inputs.S[first], inputs.strike[first], inputs.D[first], quotes, paid)


def _group_estimates(
    group: Ints, n_groups: int, inputs: ChainInputs, max_pairs: int | None, model: PricingModel, usable: Bools | None
) -> ForwardEstimates:
    """Per group (numbered by ``group``, -1 for none), the estimate from its ``usable`` rows."""
    pairs = _pairs_of_rows(group, inputs, usable)
    chosen = _select(pairs, _INFORMATIVE_PAIRS if max_pairs is None else max_pairs)
    return _estimate(pairs, chosen, n_groups, model)


def estimated_forwards(
    group: Ints,
    n_groups: int,
    inputs: ChainInputs,
    max_pairs: int | None,
    model: PricingModel,
    usable: Bools | None = None,
) -> Floats:
    """Per row, its group's forward from the group's ``usable`` quotes (NaN outside any group)."""
    estimates = _group_estimates(group, n_groups, inputs, max_pairs, model, usable)
    return np.where(group >= 0, estimates.forward[group], np.nan)


def forward_columns(
    group: Ints,
    n_groups: int,
    inputs: ChainInputs,
    max_pairs: int | None,
    model: PricingModel,
    usable: Bools | None = None,
) -> dict[str, npt.NDArray[Any]]:
    """Per row, its group's ``FORWARD_COLUMNS``: the given forward (with no
    range and no support) or the estimate."""
    if inputs.F is not None:
        n = len(inputs.F)
        nan, zero = np.full(n, np.nan), np.zeros(n, np.intp)
        return dict(zip(FORWARD_COLUMNS, (inputs.F, nan, nan.copy(), zero, zero.copy())))
    estimates = _group_estimates(group, n_groups, inputs, max_pairs, model, usable)
    keyed = group >= 0
    per_group = (estimates.forward, estimates.lo, estimates.hi)
    floats = [np.where(keyed, values[group], np.nan) for values in per_group]
    counts = [np.where(keyed, values[group], 0) for values in (estimates.support, estimates.unsettled)]
    return dict(zip(FORWARD_COLUMNS, (*floats, *counts)))


def _exact_pairs(calls: Floats, puts: Floats, strikes: Floats, spot: float, discount: float) -> _Pairs:
    """One expiry's pairs from mid prices alone, each taken as bid and ask."""
    C, P, K = np.broadcast_arrays(calls, puts, strikes)
    n = K.size
    return _Pairs(
        np.zeros(n, np.intp),
        np.full(n, spot, dtype=np.float64),
        K.astype(np.float64),
        np.full(n, discount, dtype=np.float64),
        np.stack([C, C, C, P, P, P]).astype(np.float64),
    )


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
    volatilities agree: ``F_mid`` of the model's ``forward_pair`` with the
    quotes as bid, mid and ask.

    iv_call falls and iv_put rises as the forward rises, so their difference
    has one root, inside (K - P/D, K + C/D), where both quotes exceed their
    zero-volatility values.

    Parameters
    ----------
    calls, puts, strikes, spot, discount : array_like
        Per strike its call and put quotes, strike, spot and discount
        factor; they broadcast.
    start : array_like, optional
        Ignored: the kernel brackets each root itself. Kept for callers that
        passed a first guess.
    model : {"baw", "american"}
        The prices (``velliq.chain.MODELS``).

    Returns
    -------
    numpy.ndarray
        float64 forwards; NaN where the pair is not usable or did not settle.
    """
    del start
    C, P, K, S, D = np.broadcast_arrays(
        *(np.asarray(a, dtype=np.float64) for a in (calls, puts, strikes, spot, discount))
    )
    F_mid, _, _, reason = pricing_model(model).forward_pair(S, K, D, C, C, C, P, P, P)
    return np.where(reason == _OK, F_mid, np.nan)


def _one_expiry(**quotes: npt.ArrayLike) -> list[Floats]:
    """The per-strike arguments as 1-D float64 arrays of one length (a number
    stands for every strike); a ``ValueError`` naming them otherwise."""
    arrays = {name: np.asarray(values, dtype=np.float64) for name, values in quotes.items()}
    deep = [name for name, values in arrays.items() if values.ndim > 1]
    if deep:
        raise ValueError(f"{', '.join(deep)} must be one number or one value per strike, not a table")
    lengths = {name: values.size for name, values in arrays.items() if values.ndim == 1}
    if len(set(lengths.values())) > 1:
        given = ", ".join(f"{name} {size}" for name, size in lengths.items())
        raise ValueError(f"calls, puts and strikes must give one value per strike each; their lengths: {given}")
    n = max(lengths.values(), default=1)
    return [np.broadcast_to(values, (n,)) for values in arrays.values()]


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
    quotes are taken as exact, so every strike is as precise as any other
    and the estimate is their median, which a few bad quotes do not move. A
    missing quote removes its strike only. :func:`forwards` weighs strikes by
    their bid-ask spreads.

    Parameters
    ----------
    calls, puts, strikes : array_like
        Per strike, its call and put quotes and the strike.
    spot, discount : float
        The underlying's spot and the expiry's discount factor.
    model : {"baw", "american"}
        The prices (``velliq.chain.MODELS``).

    Returns
    -------
    float
        The forward; NaN when no strike has a usable pair.

    Raises
    ------
    ValueError
        Naming the arguments when ``calls``, ``puts`` and ``strikes`` are not
        one number or one list each, of the same length.
    """
    C, P, K = _one_expiry(calls=calls, puts=puts, strikes=strikes)
    pairs = _exact_pairs(C, P, K, spot, discount)
    estimates = _estimate(pairs, _select(pairs, None), 1, pricing_model(model))
    return float(estimates.forward[0]) if estimates.forward.size else math.nan
