"""The arbitrage check of velliq.chain on one expiry with many strikes: time
and peak memory of ``arbitrage_rows``, which judges every quote against the
no-arbitrage bounds and blames the fewest that break them.

    python bench/arbitrage.py                  # 100,000 strikes, calls and puts, 50 bad quotes
    python bench/arbitrage.py --strikes 20000 --bad 500

The quotes are BAW prices of one smile-less expiry (S 100, 1 year, 25 %)
with a 2 % bid-ask spread, strikes evenly spaced from 20 to 500; ``--bad``
quotes on each side are moved by up to a third of their price, so that they
break bounds with their neighbours. tracemalloc traces every allocation of
the call (NumPy reports its own). Target: under one second and 100 MB.
"""

import argparse
import time
import tracemalloc

import numpy as np

import velliq
from velliq.chain.arbitrage import arbitrage_rows

SPOT, YEARS, VOL, RATE = 100.0, 1.0, 0.25, 0.03
TARGET_SECONDS, TARGET_BYTES = 1.0, 100 * 2**20


def quotes(strikes: int, bad: int, seed: int = 1):
    """One expiry's calls and puts at every strike, ``bad`` of each side moved off their price."""
    rng = np.random.default_rng(seed)
    K = np.tile(np.linspace(20.0, 500.0, strikes), 2)
    is_call = np.repeat([True, False], strikes)
    D, F = velliq.forward_terms(SPOT, RATE, 0.0, YEARS)
    price = velliq.baw.price(SPOT, K, D, F, VOL * YEARS**0.5, is_call)
    moved = rng.choice(K.size, 2 * bad, replace=False)
    price[moved] *= 1 + rng.uniform(-1 / 3, 1 / 3, moved.size)
    bid, ask = price * 0.99, price * 1.01
    n = K.size
    return dict(
        group=np.zeros(n, np.intp),
        strike=K,
        is_call=is_call,
        bid=bid,
        ask=ask,
        mid=(bid + ask) / 2,
        S=np.full(n, SPOT),
        judged=np.ones(n, np.bool_),
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--strikes", type=int, default=100_000, help="strikes of the expiry (each a call and a put)")
    parser.add_argument("--bad", type=int, default=50, help="quotes moved off their price, per side")
    args = parser.parse_args(argv)
    chain = quotes(args.strikes, args.bad)
    arbitrage_rows(**quotes(1_000, 5))  # warm-up
    tracemalloc.start()
    start = time.perf_counter()
    blamed = arbitrage_rows(**chain)
    seconds = time.perf_counter() - start
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    print(f"strikes {args.strikes:,} (calls and puts), bad quotes {2 * args.bad}, blamed {int(blamed.sum())}")
    print(f"time  {seconds:8.3f} s    (target under {TARGET_SECONDS:.0f} s)")
    print(f"peak  {peak / 2**20:8.1f} MiB  (target under {TARGET_BYTES / 2**20:.0f} MiB)")
    return 0 if seconds < TARGET_SECONDS and peak < TARGET_BYTES else 1


if __name__ == "__main__":
    raise SystemExit(main())
