"""Random quotes for tests and benchmarks."""

import numpy as np


def random_chain(n, seed=5):
    """n quotes on spot 100 priced by baw_price: strikes 50-150, discount factors
    0.9-1, forwards within 5 % of spot, total std devs 0.05-1, calls and puts at
    random. Returns prices, S, K, D, F and is_call (a boolean array)."""
    from velliq.norvane import baw_price

    rng = np.random.default_rng(seed)
    S, K, D = np.full(n, 100.0), rng.uniform(50, 150, n), rng.uniform(0.9, 1.0, n)
    F, is_call = S * rng.uniform(0.95, 1.05, n), rng.random(n) < 0.5
    flags = np.where(is_call, "c", "p").tolist()
    prices = np.array([baw_price(*q) for q in zip(S, K, D, F, rng.uniform(0.05, 1.0, n), flags)])
    return prices, S, K, D, F, is_call
