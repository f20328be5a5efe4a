"""Peak memory of one large batch, measured alone in a fresh process.

Usage: python bench/memory_child.py CHAIN.npz N
Tiles the chain saved by run.py to N quotes (C-contiguous float64 arrays, flags
a list of str), then traces allocations (NumPy reports its own to tracemalloc)
around one vectorized_baw_implied_vol call and prints a JSON line.
"""

import json
import sys
import time
import tracemalloc

import numpy as np

from velliq.norvane import vectorized_baw_implied_vol


def main(path, n):
    saved = np.load(path)
    reps = -(-n // len(saved["prices"]))
    prices, S, K, D, F = (
        np.ascontiguousarray(np.tile(saved[k], reps)[:n], dtype=np.float64) for k in ("prices", "S", "K", "D", "F")
    )
    flags = ["c" if call else "p" for call in np.tile(saved["is_call"], reps)[:n]]

    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    start = time.perf_counter()
    out = vectorized_baw_implied_vol(prices, S, K, D, F, flags)
    seconds = time.perf_counter() - start
    after, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    print(
        json.dumps(
            {
                "n": n,
                "peak_bytes": peak - before,
                "retained_bytes": after - before,
                "seconds": seconds,
                "all_finite": bool(np.isfinite(out).all()),
            }
        )
    )


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
