"""Quotes that break static no-arbitrage bounds against their neighbours, and
which of them to blame.

Within one (group, side), quotes sorted by strike must be (American options,
any rate and dividend):

- monotone: calls non-increasing and puts non-decreasing in strike, by no
  more than the strikes' difference (an American call spread or put spread is
  worth at most the strikes' difference, since it can be closed by exercise);
- convex: each quote at most the interpolation of its two neighbours (a
  butterfly costs nothing to hold short of zero);
- bounded above: a call at most the spot, a put at most its strike.

Only clear violations count: a bound that says one quote is worth more than
another compares the first's bid with the second's ask, so a violation is one
no quote inside the spreads can repair. Quotes below their exercise value are
left to the implied-volatility kernel (``below_intrinsic``) and are not
judged here.

To blame: the fewest quotes whose removal restores the bounds. Found
greedily: the quote in the most violations is removed (ties to the one
farthest from the line through its neighbours' mids, the least smooth), the
violations are counted again among the remaining quotes (a removed quote's
neighbours become neighbours), until none is left. An isolated bad quote breaks
the bounds with each of its neighbours while they break them only with it,
so it is removed first and alone.
"""

import numpy as np

from .._ufuncs import time_value
from ._arrays import Bools, Floats, Ints, run_starts

__all__ = ["arbitrage_rows"]


def _violations(K: Floats, bid: Floats, ask: Floats, mid: Floats, cap: Floats, is_call: bool) -> Floats:
    """Per quote, the count of bounds it breaks among these quotes (sorted by strike)."""
    n = K.size
    counts = np.zeros(n)
    counts += bid > cap
    if n >= 2:
        i, j = np.triu_indices(n, 1)  # K[i] < K[j]
        width = K[j] - K[i]
        if is_call:  # C(K_i) >= C(K_j) and C(K_i) - C(K_j) <= K_j - K_i
            broken = (ask[i] < bid[j]) | (bid[i] - ask[j] > width)
        else:  # P(K_j) >= P(K_i) and P(K_j) - P(K_i) <= K_j - K_i
            broken = (ask[j] < bid[i]) | (bid[j] - ask[i] > width)
        counts += np.bincount(i[broken], minlength=n) + np.bincount(j[broken], minlength=n)
    if n >= 3:
        left, right = K[:-2], K[2:]
        weight = (right - K[1:-1]) / (right - left)
        broken = bid[1:-1] > weight * ask[:-2] + (1 - weight) * ask[2:]
        for offset in range(3):
            counts[offset : offset + n - 2] += broken
    return counts


def _roughness(K: Floats, mid: Floats) -> Floats:
    """Per quote, its mid's distance from the line through its neighbours' mids (0 at the ends)."""
    rough = np.zeros(K.size)
    if K.size >= 3:
        weight = (K[2:] - K[1:-1]) / (K[2:] - K[:-2])
        rough[1:-1] = np.abs(mid[1:-1] - weight * mid[:-2] - (1 - weight) * mid[2:])
    return rough


def _blamed(K: Floats, bid: Floats, ask: Floats, mid: Floats, cap: Floats, is_call: bool) -> Ints:
    """Positions (in these strike-sorted quotes) of the fewest quotes, found
    greedily, whose removal restores the bounds."""
    kept = np.arange(K.size)
    removed: list[int] = []
    while kept.size:
        counts = _violations(K[kept], bid[kept], ask[kept], mid[kept], cap[kept], is_call)
        if not counts.any():
            break
        most = np.flatnonzero(counts == counts.max())
        worst = most[np.argmax(_roughness(K[kept], mid[kept])[most])]
        removed.append(int(kept[worst]))
        kept = np.delete(kept, worst)
    return np.asarray(removed, dtype=np.intp)


def arbitrage_rows(
    group: Ints, strike: Floats, is_call: Bools, bid: Floats, ask: Floats, mid: Floats, S: Floats, judged: Bools
) -> Bools:
    """Per row, whether it is to blame for a broken bound among the ``judged``
    rows of its (group, side); a row without bid and ask is judged at its mid."""
    blamed = np.zeros(strike.size, dtype=np.bool_)
    bid, ask = np.where(np.isnan(bid), mid, bid), np.where(np.isnan(ask), mid, ask)
    with np.errstate(invalid="ignore"):
        rows = np.flatnonzero(judged & (group >= 0) & ~(time_value(ask, S, strike, is_call) < 0))
    order = rows[np.lexsort((strike[rows], is_call[rows], group[rows]))]
    key = group[order] * 2 + is_call[order]
    starts = run_starts(key)
    for part in np.split(order, starts[1:]):
        if part.size == 0:
            continue
        call = bool(is_call[part[0]])
        cap = S[part] if call else strike[part]
        blamed[part[_blamed(strike[part], bid[part], ask[part], mid[part], cap, call)]] = True
    return blamed
