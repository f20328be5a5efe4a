"""Throughput of velliq.dask.implied_vol on a two-worker LocalCluster against one
process, on a 200,000-quote chain (pip install '.[dask]').

    python bench/dask_scaling.py
"""

import statistics
import sys
import time
from pathlib import Path

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

import velliq.dask as vd
from velliq.norvane import vectorized_baw_implied_vol

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from devsupport.quotes import random_chain  # noqa: E402

N = 200_000


def median_seconds(fn, reps=3):
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    prices, S, K, D, F, is_call = random_chain(N)
    flags = np.where(is_call, "c", "p").tolist()
    one = median_seconds(lambda: vectorized_baw_implied_vol(prices, S, K, D, F, flags))
    print(f"one process:             {N / one:>9,.0f} quotes/s")
    with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0") as cluster, Client(cluster):
        for chunks in (2, 8):
            arrays = [da.from_array(a, chunks=-(-N // chunks)) for a in (prices, S, K, D, F, is_call)]
            arrays = [a.persist() for a in arrays]
            wait(arrays)
            two = median_seconds(lambda: vd.implied_vol(*arrays).compute())
            print(f"2 workers, {chunks} chunks:    {N / two:>9,.0f} quotes/s  ({one / two:.2f}x one process)")


if __name__ == "__main__":
    main()
