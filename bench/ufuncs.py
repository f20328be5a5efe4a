"""The ufuncs of velliq.baw against the C++ floor, each other and themselves
on two workers. Figures are medians of interleaved repetitions; every
comparison is a ratio of timings taken in this run.

    python bench/ufuncs.py            # 1,000,000-quote book, 4,000-quote chain
    python bench/ufuncs.py --quick    # 200,000-quote book
"""

import argparse
import ctypes
import tracemalloc

import floorlib
import numpy as np
import workload
from floorlib import as_ptr
from report import target_met
from timing import interleaved

import velliq
from velliq import baw
from velliq.norvane import vectorized_baw_implied_vol


def book(n, chain):
    """n quotes: the workload chain repeated, so that every element is a real quote."""
    index = np.arange(n) % len(chain)
    prices, S, K, D, F, flags = chain.arrays()
    is_call = np.array([f == "c" for f in flags])
    return [np.ascontiguousarray(a[index]) for a in (prices, S, K, D, F, chain.sigma, is_call)]


def figures(n_book, reps):
    chain = workload.build_chain(20_000)
    prices, S, K, D, F, sigma, is_call = book(n_book, chain)
    q = np.where(is_call, 1, -1).astype(np.intc)
    lib = floorlib.load()
    out = np.empty(n_book)
    rows = {}

    def price():
        baw.price(S, K, D, F, sigma, is_call, out=out)

    def floor():
        return lib.floor_time_price(
            n_book,
            as_ptr(S),
            as_ptr(K),
            as_ptr(D),
            as_ptr(F),
            as_ptr(sigma),
            as_ptr(q, ctypes.c_int),
            as_ptr(floor_out),
        )

    floor_out = np.empty(n_book)
    greeks_out = tuple(np.empty(n_book) for _ in range(5))

    def greeks():
        baw.greeks(S, K, D, F, sigma, is_call, out=greeks_out)

    (t_price, t_floor, t_greeks), _ = interleaved([price, floor, greeks], reps)
    rows["price_throughput"] = n_book / t_price, f"baw.price over {n_book:,} quotes, one worker, quotes/s"
    rows["floor_over_price"] = t_floor / t_price, "floor (C++ loop over the kernel) / price, time"
    rows["price_bits_equal_floor"] = bool(out.tobytes() == floor_out.tobytes()), "ufunc equals floor bit for bit"
    rows["greeks_over_price"] = t_greeks / t_price, "greeks / price, time"

    chain_args = [a[:20_000] for a in (prices, S, K, D, F)]
    chain_flags = np.where(is_call[:20_000], "c", "p").tolist()

    def batch():
        vectorized_baw_implied_vol(*chain_args, chain_flags)

    def ufunc_iv():
        baw.implied_vol(*chain_args, is_call[:20_000])

    (t_batch, t_iv), _ = interleaved([batch, ufunc_iv], reps)
    rows["implied_vol_over_batch"] = t_iv / t_batch, "implied_vol / vectorized_baw_implied_vol, time (20,000 quotes)"

    tracemalloc.start()
    baw.price(100.0, K, 0.98, 101.0, sigma, is_call)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    rows["broadcast_extra_bytes_per_element"] = (
        (peak - 8 * n_book) / n_book,
        "peak bytes per element beyond the output, scalar S, D, F",
    )

    def scaling(args, ufunc):
        def one():
            with velliq.workers(1):
                ufunc(*args)

        def two():
            with velliq.workers(2):
                ufunc(*args)

        (t_one, t_two), _ = interleaved([one, two], reps)
        return t_one / t_two

    small = [a[:4000] for a in (prices, S, K, D, F)] + [is_call[:4000]]
    rows["chain_two_workers"] = scaling(small, baw.implied_vol), "implied_vol, 4,000-quote chain: workers=2 vs 1"
    rows["book_two_workers"] = (
        scaling((S, K, D, F, sigma, is_call), baw.price),
        f"price, {n_book:,}-quote book: workers=2 vs 1",
    )
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args(argv)
    floorlib.build()
    rows = figures(200_000 if args.quick else 1_000_000, 5 if args.quick else 7)
    width = max(len(label) for _, label in rows.values())
    for key, (value, label) in rows.items():
        target = target_met(key, value)
        verdict = ""
        if target:
            op, bound, met = target
            verdict = f"  target {op} {bound}: {'met' if met else 'MISSED'}"
        shown = f"{value:,.3f}" if isinstance(value, float) else str(value)
        print(f"{label:<{width}}  {shown:>14}{verdict}")


if __name__ == "__main__":
    main()
