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

How, in memory linear in the strikes: quotes i < j (by strike) break a
monotone bound when ``x1[i] < y1[j]`` or ``x2[i] < y2[j]``, with two pairs of
per-quote keys (the first's ask against the second's bid; the spread bound
as ``bid + K`` against ``ask + K``, negated to read as ``<``; mirrored for
puts). A quote's broken pairs are counted by merging halves of the strike
order, O(n log² n), over only the quotes in any broken pair (an O(n) prefix
test). A pair breaks both bounds only where a quote is crossed (bid above
ask), so those few pairs are found directly and counted once. Removing a
quote lowers its partners' counts (one comparison against the rest) and
changes only the butterflies about it, recounted there: O(n) per removal.
"""

import numpy as np
import numpy.typing as npt

from .._ufuncs import time_value
from ._arrays import Bools, Floats, Ints, run_starts

__all__ = ["arbitrage_rows"]

Counts = npt.NDArray[np.int64]
Index = int | slice | Ints
PairKeys = tuple[Floats, Floats, Floats, Floats]  # x1, y1, x2, y2

# A removed quote's count: below any count, however much it loses later (at most n² in all).
_REMOVED = np.iinfo(np.int64).min // 2


def _pair_keys(K: Floats, bid: Floats, ask: Floats, is_call: bool) -> PairKeys:
    """The monotone bounds of quotes sorted by strike as keys (see the module's docstring)."""
    if is_call:  # C(K_i) >= C(K_j); C(K_i) - C(K_j) <= K_j - K_i, as bid_i + K_i against ask_j + K_j
        return ask, bid, -(bid + K), -(ask + K)
    # P(K_j) >= P(K_i); P(K_j) - P(K_i) <= K_j - K_i, as bid_j - K_j against ask_i - K_i
    return -bid, -ask, ask - K, bid - K


def _breaks(keys: PairKeys, i: Index, j: Index) -> Bools:
    """Whether quotes ``i`` and ``j`` (each before the other elementwise) break a monotone bound."""
    x1, y1, x2, y2 = keys
    return (x1[i] < y1[j]) | (x2[i] < y2[j])


def _breaks_both(keys: PairKeys, i: Index, j: Index) -> Bools:
    x1, y1, x2, y2 = keys
    return (x1[i] < y1[j]) & (x2[i] < y2[j])


def _smaller_pairs(x: Floats, y: Floats) -> tuple[Counts, Counts]:
    """Per position p, how many i < p have x[i] < y[p], and how many j > p
    have x[p] < y[j] (NaN compares false): counted between the two halves of
    each block of a bottom-up merge, on integer ranks of the values."""
    n = x.size
    values = np.unique(np.concatenate([x[~np.isnan(x)], y[~np.isnan(y)]]))
    rank_x = np.searchsorted(values, x) + 1  # NaN: past every y, so below none
    rank_y = np.where(np.isnan(y), 0, np.searchsorted(values, y) + 1)  # NaN: above no x
    width = values.size + 2  # the ranks of one block, 0 to values.size + 1
    before, after = np.zeros(n, np.int64), np.zeros(n, np.int64)
    position = np.arange(n, dtype=np.int64)
    half = 1
    while half < n:
        block = position // (2 * half) * width
        right = (position // half) % 2 == 1
        left = ~right
        left_keys = np.sort(block[left] + rank_x[left])
        start = block[right]
        before[right] += np.searchsorted(left_keys, start + rank_y[right]) - np.searchsorted(left_keys, start)
        right_keys = np.sort(block[right] + rank_y[right])
        start = block[left]
        after[left] += np.searchsorted(right_keys, start + width) - np.searchsorted(
            right_keys, start + rank_x[left], side="right"
        )
        half *= 2
    return before, after


def _in_broken_pairs(keys: PairKeys) -> Bools:
    """Per quote, whether it breaks a monotone bound with any other."""
    x1, y1, x2, y2 = keys

    def lowest_before(x: Floats) -> Floats:
        return np.r_[np.inf, np.fmin.accumulate(x)[:-1]]

    def highest_after(y: Floats) -> Floats:
        return np.r_[np.fmax.accumulate(y[::-1])[::-1][1:], -np.inf]

    return (
        (lowest_before(x1) < y1) | (lowest_before(x2) < y2) | (x1 < highest_after(y1)) | (x2 < highest_after(y2))
    )


def _pair_counts(keys: PairKeys, crossed: Bools) -> Counts:
    """Per quote, how many monotone bounds it breaks with the others."""
    counts = np.zeros(keys[0].size, np.int64)
    involved = np.flatnonzero(_in_broken_pairs(keys))
    if involved.size < 2:
        return counts
    some: PairKeys = tuple(k[involved] for k in keys)  # type: ignore[assignment]
    for x, y in ((some[0], some[1]), (some[2], some[3])):
        before, after = _smaller_pairs(x, y)
        counts[involved] += before + after
    # A pair that breaks both bounds was counted twice; one of its quotes is crossed.
    crossed = crossed[involved]
    for i in np.flatnonzero(crossed):
        later = np.flatnonzero(_breaks_both(some, i, slice(i + 1, None))) + i + 1
        earlier = np.flatnonzero(_breaks_both(some, slice(0, i), i) & ~crossed[:i])  # crossed: counted as theirs
        partners = np.r_[earlier, later]
        counts[involved[partners]] -= 1
        counts[involved[i]] -= partners.size
    return counts


def _convexity_broken(K: Floats, bid: Floats, ask: Floats, left: Index, middle: Index, right: Index) -> Bools:
    """Whether each ``middle`` quote is worth more than the interpolation of its neighbours."""
    weight = (K[right] - K[middle]) / (K[right] - K[left])
    return bid[middle] > weight * ask[left] + (1 - weight) * ask[right]


def _roughness(K: Floats, mid: Floats, left: Ints, middle: Ints, right: Ints) -> Floats:
    """Per ``middle`` quote, its mid's distance from the line through its
    neighbours' mids (0 without a neighbour on both sides: -1 or K.size)."""
    inside = (left >= 0) & (right < K.size)
    l, m, r = left[inside], middle[inside], right[inside]
    rough = np.zeros(middle.size)
    weight = (K[r] - K[m]) / (K[r] - K[l])
    rough[inside] = np.abs(mid[m] - weight * mid[l] - (1 - weight) * mid[r])
    return rough


def _blamed(K: Floats, bid: Floats, ask: Floats, mid: Floats, cap: Floats, is_call: bool) -> Ints:
    """Positions (in these strike-sorted quotes) of the fewest quotes, found
    greedily, whose removal restores the bounds."""
    n = K.size
    keys = _pair_keys(K, bid, ask, is_call)
    counts = (bid > cap).astype(np.int64) + _pair_counts(keys, bid > ask)
    if n >= 3:
        broken = _convexity_broken(K, bid, ask, slice(0, -2), slice(1, -1), slice(2, None))
        for offset in range(3):
            counts[offset : offset + n - 2] += broken
    left, right = np.arange(-1, n - 1), np.arange(1, n + 1)  # the kept neighbours; -1 and n: none
    removed: list[int] = []
    while n and counts.max() > 0:
        most = np.flatnonzero(counts == counts.max())
        worst = int(most[np.argmax(_roughness(K, mid, left[most], most, right[most]))])
        removed.append(worst)
        counts[worst] = _REMOVED
        counts[:worst] -= _breaks(keys, slice(0, worst), worst)
        counts[worst + 1 :] -= _breaks(keys, worst, slice(worst + 1, None))
        _recount_butterflies(worst, left, right, counts, K, bid, ask)
    return np.asarray(removed, dtype=np.intp)


def _recount_butterflies(
    gone: int, left: Ints, right: Ints, counts: Counts, K: Floats, bid: Floats, ask: Floats
) -> None:
    """Unlinks quote ``gone`` from its neighbours and counts the butterflies
    it ended (out of its neighbours' counts) and those it leaves (into them)."""
    n = K.size
    l, r = int(left[gone]), int(right[gone])
    ll, rr = (int(left[l]) if l >= 0 else -1), (int(right[r]) if r < n else n)
    ended = [(ll, l, gone), (l, gone, r), (gone, r, rr)]
    begun = [(ll, l, r), (l, r, rr)]
    for triples, change in ((ended, -1), (begun, 1)):
        whole = np.array([t for t in triples if t[0] >= 0 and t[2] < n], dtype=np.intp).reshape(-1, 3).T
        if whole.size:
            broken = _convexity_broken(K, bid, ask, whole[0], whole[1], whole[2])
            np.add.at(counts, whole[:, broken].ravel(), change)
    if l >= 0:
        right[l] = r
    if r < n:
        left[r] = l


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
        with np.errstate(divide="ignore", invalid="ignore"):  # butterflies of repeated strikes
            blamed[part[_blamed(strike[part], bid[part], ask[part], mid[part], cap, call)]] = True
    return blamed
