"""velliq.chain's arbitrage check: the quotes it blames, and its memory."""

import tracemalloc
import warnings

import numpy as np
import pytest

import velliq
from velliq.chain.arbitrage import arbitrage_rows


def all_pairs_arbitrage_rows(group, strike, is_call, bid, ask, mid, S, judged):
    """The check as it was before it kept memory linear: every strike pair of
    a side built at once, and built again after each removal (O(n²) memory).
    Kept here, unchanged but for names, as the slow reference."""

    def violations(K, bid, ask, cap, call):
        n = K.size
        counts = np.zeros(n)
        counts += bid > cap
        if n >= 2:
            i, j = np.triu_indices(n, 1)
            width = K[j] - K[i]
            if call:
                broken = (ask[i] < bid[j]) | (bid[i] - ask[j] > width)
            else:
                broken = (ask[j] < bid[i]) | (bid[j] - ask[i] > width)
            counts += np.bincount(i[broken], minlength=n) + np.bincount(j[broken], minlength=n)
        if n >= 3:
            left, right = K[:-2], K[2:]
            weight = (right - K[1:-1]) / (right - left)
            broken = bid[1:-1] > weight * ask[:-2] + (1 - weight) * ask[2:]
            for offset in range(3):
                counts[offset : offset + n - 2] += broken
        return counts

    def roughness(K, mid):
        rough = np.zeros(K.size)
        if K.size >= 3:
            weight = (K[2:] - K[1:-1]) / (K[2:] - K[:-2])
            rough[1:-1] = np.abs(mid[1:-1] - weight * mid[:-2] - (1 - weight) * mid[2:])
        return rough

    def blamed_positions(K, bid, ask, mid, cap, call):
        kept, removed = np.arange(K.size), []
        while kept.size:
            counts = violations(K[kept], bid[kept], ask[kept], cap[kept], call)
            if not counts.any():
                break
            most = np.flatnonzero(counts == counts.max())
            worst = most[np.argmax(roughness(K[kept], mid[kept])[most])]
            removed.append(int(kept[worst]))
            kept = np.delete(kept, worst)
        return np.asarray(removed, dtype=np.intp)

    blamed = np.zeros(strike.size, dtype=np.bool_)
    bid, ask = np.where(np.isnan(bid), mid, bid), np.where(np.isnan(ask), mid, ask)
    with np.errstate(invalid="ignore"):
        rows = np.flatnonzero(judged & (group >= 0) & ~(velliq._ufuncs.time_value(ask, S, strike, is_call) < 0))
    order = rows[np.lexsort((strike[rows], is_call[rows], group[rows]))]
    key = group[order] * 2 + is_call[order]
    for part in np.split(order, np.flatnonzero(np.diff(key)) + 1):
        if part.size:
            call = bool(is_call[part[0]])
            cap = S[part] if call else strike[part]
            blamed[part[blamed_positions(strike[part], bid[part], ask[part], mid[part], cap, call)]] = True
    return blamed


def random_quotes(rng, n):
    """Quotes of a few expiries (groups) as markets give them, a random share
    moved off their price: strikes on a grid (often repeated) or anywhere,
    cents or 5-cent ticks, locked and crossed quotes, deep in-the-money
    quotes at their exercise value, missing bids and asks, an infinite ask."""
    K = rng.uniform(50, 150, n)
    if rng.random() < 0.6:
        K = np.round(K / rng.choice([1.0, 2.5])) * rng.choice([1.0, 2.5])
    is_call = rng.random(n) < 0.5
    S = np.full(n, 100.0)
    price = velliq.baw.price(S, K, 0.99, 100.5, rng.uniform(0.01, 0.5), is_call)
    if rng.random() < 0.3:
        exercise = np.where(is_call, S - K, K - S)
        price = np.where(exercise > 20, exercise, price)
    spread = rng.uniform(0, 0.5, n) * (rng.random(n) < 0.7)
    bid, ask = price - spread / 2, price + spread / 2
    if rng.random() < 0.7:
        tick = rng.choice([0.01, 0.05])
        bid, ask = np.round(bid / tick) * tick, np.round(ask / tick) * tick
    moved = rng.random(n) < rng.uniform(0, 0.3)
    bid[moved] += rng.normal(0, 3, moved.sum())
    ask[moved] = bid[moved] + rng.uniform(-0.3, 1, moved.sum())
    bid = np.maximum(bid, 0)
    bid[rng.random(n) < 0.03], ask[rng.random(n) < 0.03] = np.nan, np.nan
    if rng.random() < 0.1:
        ask[rng.integers(n)] = np.inf
    mid = np.where(np.isnan(bid), ask, np.where(np.isnan(ask), bid, (bid + ask) / 2))
    group = rng.integers(0, rng.integers(1, 4), n)
    return group, K, is_call, bid, ask, mid, S, rng.random(n) < 0.97


@pytest.mark.parametrize("seed", range(6))
def test_blames_the_rows_the_all_pairs_check_blamed(seed):
    rng = np.random.default_rng(seed)
    for _ in range(40):
        quotes = random_quotes(rng, int(rng.integers(1, 400)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the reference's butterflies of repeated strikes
            expected = all_pairs_arbitrage_rows(*quotes)
        assert (arbitrage_rows(*quotes) == expected).all()


@pytest.mark.parametrize("strikes", [3_000, 6_000])
def test_memory_grows_with_the_strikes_not_their_pairs(strikes):
    # All pairs of one side's 6,000 strikes took over 1 GB; linear, a few MB.
    rng = np.random.default_rng(strikes)
    K = np.tile(np.linspace(50.0, 150.0, strikes), 2)
    is_call = np.repeat([True, False], strikes)
    price = velliq.baw.price(100.0, K, 0.99, 100.5, 0.25, is_call)
    price[rng.choice(K.size, 20, replace=False)] *= 1.3  # bad quotes, blamed by their neighbours
    n = K.size
    group, S, judged = np.zeros(n, np.intp), np.full(n, 100.0), np.ones(n, np.bool_)
    tracemalloc.start()
    blamed = arbitrage_rows(group, K, is_call, price, price * 1.01, price, S, judged)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert 0 < blamed.sum() <= 20
    assert peak < 2_000 * n  # bytes per quote
