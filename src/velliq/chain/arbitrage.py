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
monotone bound when ``x1[i] < y1[j]`` (the first's ask against the second's
bid) or, for the spread bound, about when ``x2[i] < y2[j]`` (``bid + K``
against ``ask + K``, negated to read as ``<``; mirrored for puts). A quote's
pairs beyond doubt are counted by merging halves of the strike order,
O(n log n), over only the quotes in any such pair (an O(n) prefix test);
the pairs whose keys are within rounding of each other are decided by the
bound as stated. A pair breaks both bounds only where a quote is crossed
(bid above ask), so those few pairs are found directly and counted once.
Removing a quote lowers its partners' counts (one comparison against the
rest) and changes only the butterflies about it, recounted there: O(n) per
removal.
"""

from collections.abc import Iterator

import numpy as np
import numpy.typing as npt

from .._ufuncs import time_value
from ._arrays import Bools, Floats, Ints, run_starts

__all__ = ["arbitrage_rows"]

Counts = npt.NDArray[np.int64]
Index = int | slice | Ints

# A removed quote's count: below any count, however much it loses later (at most n² in all).
_REMOVED = np.iinfo(np.int64).min // 2

# Quotes at most this many apart are compared at once (the lowest levels of the merge).
_BLOCK = 64

# The most near-tied pairs decided at once.
_TIES_AT_ONCE = 1 << 20


class _Side:
    """One (group, side)'s quotes sorted by strike, and their monotone bounds."""

    def __init__(self, K: Floats, bid: Floats, ask: Floats, is_call: bool) -> None:
        self.K, self.bid, self.ask, self.is_call = K, bid, ask, is_call
        if is_call:  # C(K_i) - C(K_j) <= K_j - K_i: bid_i + K_i against ask_j + K_j
            self.x1, self.y1, self.x2, self.y2 = ask, bid, -(bid + K), -(ask + K)
        else:  # P(K_j) - P(K_i) <= K_j - K_i: bid_j - K_j against ask_i - K_i
            self.x1, self.y1, self.x2, self.y2 = -bid, -ask, ask - K, bid - K
        magnitudes = np.abs(np.concatenate([K, bid, ask]))
        largest = np.max(magnitudes, where=np.isfinite(magnitudes), initial=0.0)
        # Beyond this, x2 and y2 order a pair as the stated bound does: each of
        # the four differences involved is within one rounding, largest * eps.
        self.tie_band = 16 * float(np.finfo(np.float64).eps) * float(largest)

    def breaks(self, i: Index, j: Index) -> Bools:
        """Whether quotes ``i`` and ``j`` (``i`` the lower strike) break a monotone bound, as stated."""
        K, bid, ask = self.K, self.bid, self.ask
        width = K[j] - K[i]
        if self.is_call:  # C(K_i) >= C(K_j) and C(K_i) - C(K_j) <= K_j - K_i
            return (ask[i] < bid[j]) | (bid[i] - ask[j] > width)
        # P(K_j) >= P(K_i) and P(K_j) - P(K_i) <= K_j - K_i
        return (ask[j] < bid[i]) | (bid[j] - ask[i] > width)

    def pair_counts(self) -> Counts:
        """Per quote, how many monotone bounds it breaks with the others."""
        clear = self.x2 + self.tie_band  # clear[i] < y2[j]: the spread bound broken beyond rounding
        counts = np.zeros(self.K.size, np.int64)
        involved = np.flatnonzero(_in_pairs(self.x1, self.y1) | _in_pairs(clear, self.y2))
        if involved.size >= 2:
            x1, y1, x2, y2 = (keys[involved] for keys in (self.x1, self.y1, clear, self.y2))
            for x, y in ((x1, y1), (x2, y2)):
                before, after = _smaller_pairs(x, y)
                counts[involved] += before + after
            # A pair in both counts has a crossed quote: counted once, as that quote's.
            crossed = self.bid[involved] > self.ask[involved]
            for c in np.flatnonzero(crossed):
                later = np.flatnonzero((x1[c] < y1[c + 1 :]) & (x2[c] < y2[c + 1 :])) + c + 1
                earlier = np.flatnonzero((x1[:c] < y1[c]) & (x2[:c] < y2[c]) & ~crossed[:c])
                partners = np.r_[earlier, later]
                counts[involved[partners]] -= 1
                counts[involved[c]] -= partners.size
        for lower, higher in self._near_ties(clear):
            spread_only = self.breaks(lower, higher) & ~(self.x1[lower] < self.y1[higher])
            counts += np.bincount(lower[spread_only], minlength=counts.size)
            counts += np.bincount(higher[spread_only], minlength=counts.size)
        return counts

    def _near_ties(self, clear: Floats) -> Iterator[tuple[Ints, Ints]]:
        """The pairs i < j not counted as clear whose spread-bound keys are
        within rounding of each other, a bounded number at a time."""
        order = np.argsort(self.x2, kind="stable")  # NaN last, never in a range
        ranked = self.x2[order]
        wide = 2 * self.tie_band
        lo = np.searchsorted(ranked, self.y2 - wide)
        hi = np.searchsorted(ranked, self.y2 + wide, side="right")
        sizes = np.where(np.isnan(self.y2), 0, hi - lo)
        ends = np.cumsum(sizes)
        first = 0
        while first < self.K.size:
            starts = ends[first:] - sizes[first:]
            last = first + max(int(np.searchsorted(ends[first:], starts[0] + _TIES_AT_ONCE, side="right")), 1)
            starts = starts[: last - first]
            j = np.repeat(np.arange(first, last), sizes[first:last])
            if j.size:
                i = order[lo[j] + np.arange(j.size) + starts[0] - np.repeat(starts, sizes[first:last])]
                keep = (i < j) & ~(clear[i] < self.y2[j])
                yield i[keep], j[keep]
            first = last


def _smaller_pairs(x: Floats, y: Floats) -> tuple[Counts, Counts]:
    """Per position p, how many i < p have x[i] < y[p], and how many j > p
    have x[p] < y[j] (NaN compares false), on integer ranks of the values:
    directly within blocks of ``_BLOCK`` positions, then between the two
    halves of each block of a bottom-up merge. Every x and y is sorted by rank
    once; a level regroups them by block (a stable sort of small integers),
    where a quote's count is the other half's elements ranked before it."""
    n = x.size
    values = np.unique(np.concatenate([x[~np.isnan(x)], y[~np.isnan(y)]]))
    rank_x = np.searchsorted(values, x) + 1  # NaN: past every y, so below none
    rank_y = np.where(np.isnan(y), 0, np.searchsorted(values, y) + 1)  # NaN: above no x
    before, after = _within_blocks(rank_x, rank_y)
    # Every position's x (index p) and y (index n + p) by rank, a y before an x of its rank.
    ranked = np.argsort(np.r_[rank_x * 2 + 1, rank_y * 2], kind="stable")
    is_y = ranked >= n
    owner = np.where(is_y, ranked - n, ranked)
    half = _BLOCK
    while half < n:
        used = ((owner // half) % 2 == 1) == is_y  # the right halves' y, the left halves' x
        p, y_here, block = owner[used], is_y[used], owner[used] // (2 * half)
        small = block.astype(np.uint16) if n // (2 * half) < 2**16 else block  # radix-sorted
        by_block = np.argsort(small, kind="stable")
        p, y_here, block = p[by_block], y_here[by_block], block[by_block]
        x_here = ~y_here
        x_before = np.cumsum(x_here) - x_here
        y_before = np.arange(n) - x_before
        start = block * (2 * half)  # a block's elements begin at its first position
        before[p[y_here]] += x_before[y_here] - x_before[start[y_here]]
        first_y = block[x_here] * (2 * half) + half
        ys_in_block = np.clip(np.minimum(n, first_y + half) - first_y, 0, None)
        after[p[x_here]] += ys_in_block - (y_before[x_here] - y_before[start[x_here]])
        half *= 2
    return before, after


def _within_blocks(rank_x: Ints, rank_y: Ints) -> tuple[Counts, Counts]:
    """``_smaller_pairs`` of the pairs within each block of ``_BLOCK`` positions."""
    n = rank_x.size
    blocks = -(-n // _BLOCK)
    padded_x = np.full(blocks * _BLOCK, np.iinfo(np.int64).max)  # padding: below no y
    padded_y = np.full(blocks * _BLOCK, np.iinfo(np.int64).min)  # and above no x
    padded_x[:n], padded_y[:n] = rank_x, rank_y
    x, y = padded_x.reshape(blocks, _BLOCK), padded_y.reshape(blocks, _BLOCK)
    smaller = x[:, :, None] < y[:, None, :]  # [block, i, j]
    smaller &= np.triu(np.ones((_BLOCK, _BLOCK), np.bool_), 1)  # i < j
    before = smaller.sum(axis=1, dtype=np.int64).ravel()[:n]
    after = smaller.sum(axis=2, dtype=np.int64).ravel()[:n]
    return before, after


def _in_pairs(x: Floats, y: Floats) -> Bools:
    """Per position p, whether x[i] < y[p] for some i < p or x[p] < y[j] for some j > p."""
    lowest_before = np.r_[np.inf, np.fmin.accumulate(x)[:-1]]
    highest_after = np.r_[np.fmax.accumulate(y[::-1])[::-1][1:], -np.inf]
    found: Bools = (lowest_before < y) | (x < highest_after)
    return found


def _convexity_broken(K: Floats, bid: Floats, ask: Floats, left: Index, middle: Index, right: Index) -> Bools:
    """Whether each ``middle`` quote is worth more than the interpolation of its neighbours."""
    weight = (K[right] - K[middle]) / (K[right] - K[left])
    return bid[middle] > weight * ask[left] + (1 - weight) * ask[right]


def _roughness(K: Floats, mid: Floats, left: Ints, middle: Ints, right: Ints) -> Floats:
    """Per ``middle`` quote, its mid's distance from the line through its
    neighbours' mids (0 without a neighbour on both sides: -1 or K.size)."""
    inside = (left >= 0) & (right < K.size)
    lo, m, hi = left[inside], middle[inside], right[inside]
    rough = np.zeros(middle.size)
    weight = (K[hi] - K[m]) / (K[hi] - K[lo])
    rough[inside] = np.abs(mid[m] - weight * mid[lo] - (1 - weight) * mid[hi])
    return rough


def _blamed(K: Floats, bid: Floats, ask: Floats, mid: Floats, cap: Floats, is_call: bool) -> Ints:
    """Positions (in these strike-sorted quotes) of the fewest quotes, found
    greedily, whose removal restores the bounds."""
    n = K.size
    side = _Side(K, bid, ask, is_call)
    counts = (bid > cap).astype(np.int64) + side.pair_counts()
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
        counts[:worst] -= side.breaks(slice(0, worst), worst)
        counts[worst + 1 :] -= side.breaks(worst, slice(worst + 1, None))
        _recount_butterflies(worst, left, right, counts, K, bid, ask)
    return np.asarray(removed, dtype=np.intp)


def _recount_butterflies(
    gone: int, left: Ints, right: Ints, counts: Counts, K: Floats, bid: Floats, ask: Floats
) -> None:
    """Unlinks quote ``gone`` from its neighbours and counts the butterflies
    it ended (out of its neighbours' counts) and those it leaves (into them)."""
    n = K.size
    lo, hi = int(left[gone]), int(right[gone])
    lower, higher = (int(left[lo]) if lo >= 0 else -1), (int(right[hi]) if hi < n else n)
    ended = [(lower, lo, gone), (lo, gone, hi), (gone, hi, higher)]
    begun = [(lower, lo, hi), (lo, hi, higher)]
    for triples, change in ((ended, -1), (begun, 1)):
        whole = np.array([t for t in triples if t[0] >= 0 and t[2] < n], dtype=np.intp).reshape(-1, 3).T
        if whole.size:
            broken = _convexity_broken(K, bid, ask, whole[0], whole[1], whole[2])
            np.add.at(counts, whole[:, broken].ravel(), change)
    if lo >= 0:
        right[lo] = hi
    if hi < n:
        left[hi] = lo


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
