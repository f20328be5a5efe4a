"""One option chain inverted on every core: contiguous chunks of the chain go
to a thread pool, each through one ``vectorized_baw_implied_vol`` call, whose
loop runs without the GIL."""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from .norvane import vectorized_baw_implied_vol

# Below this many quotes per worker the pool costs more than it saves.
_MIN_CHUNK = 256


def available_cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _as_input(values, name, n):
    array = np.asarray(values, dtype=np.float64)
    if array.ndim == 0:
        array = array.reshape(1)
    if array.ndim == 1 and len(array) < n:
        raise ValueError(f"{name} holds {len(array)} elements, fewer than len(prices) = {n}")
    return array


def implied_vol_parallel(prices, S, K, D, F, flags, workers=None):
    """Implied total std devs of a chain, computed on `workers` threads.

    Same inputs and result as ``velliq.norvane.vectorized_baw_implied_vol``,
    bit for bit; ``workers=None`` uses every available core.
    """
    n = len(prices)
    workers = available_cores() if workers is None else int(workers)
    if workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    chunks = min(workers, n // _MIN_CHUNK)
    if chunks <= 1:
        return vectorized_baw_implied_vol(prices, S, K, D, F, flags)

    inputs = [_as_input(values, name, n)
              for values, name in zip((prices, S, K, D, F), ("prices", "S_arr", "K_arr", "D_arr", "F_arr"))]
    if not isinstance(flags, (str, list, tuple, np.ndarray)):
        flags = list(flags)
    if len(flags) < n:
        raise ValueError(f"flags holds {len(flags)} elements, fewer than len(prices) = {n}")

    bounds = np.linspace(0, n, chunks + 1).astype(int)
    out = np.empty(n, dtype=np.float64)

    def solve(start, stop):
        out[start:stop] = vectorized_baw_implied_vol(
            *(array[start:stop] for array in inputs), flags[start:stop])

    with ThreadPoolExecutor(max_workers=chunks) as pool:
        for future in [pool.submit(solve, a, b) for a, b in zip(bounds[:-1], bounds[1:])]:
            future.result()
    return out
