"""velliq.implied_vol_parallel: the chain split across threads gives the very
result of one vectorized_baw_implied_vol call."""

import numpy as np
import pytest

import velliq
from velliq.norvane import baw_price, vectorized_baw_implied_vol


@pytest.fixture(scope="module")
def chain():
    rng = np.random.default_rng(11)
    n = 3001  # not a multiple of the chunk count
    S = np.full(n, 100.0)
    K = rng.uniform(50, 150, n)
    D = rng.uniform(0.9, 1.0, n)
    F = S * rng.uniform(0.95, 1.05, n)
    flags = list(np.where(rng.random(n) < 0.5, "c", "p"))
    prices = np.array([baw_price(*q) for q in zip(S, K, D, F, rng.uniform(0.05, 1.0, n), flags)])
    prices[::97] = 1e6  # uninvertible quotes become NaN
    return prices, S, K, D, F, flags


@pytest.mark.parametrize("workers", [None, 1, 2, 3, 8])
def test_identical_to_one_call(chain, workers):
    expected = vectorized_baw_implied_vol(*chain)
    result = velliq.implied_vol_parallel(*chain, workers=workers)
    assert result.dtype == np.float64
    assert np.array_equal(result.view(np.int64), expected.view(np.int64))


def test_flags_as_string_and_generator(chain):
    prices, S, K, D, F, flags = chain
    expected = vectorized_baw_implied_vol(*chain)
    for given in ("".join(flags), (f for f in flags), np.array(flags)):
        result = velliq.implied_vol_parallel(prices, S, K, D, F, given, workers=2)
        assert np.array_equal(result, expected, equal_nan=True)


@pytest.mark.parametrize("position, name", [(1, "S_arr"), (5, "flags")])
def test_short_input_refused(chain, position, name):
    args = list(chain)
    args[position] = args[position][:-1]
    with pytest.raises(ValueError, match=f"{name} holds 3000 elements, fewer than len\\(prices\\) = 3001"):
        velliq.implied_vol_parallel(*args, workers=2)


def test_workers_must_be_positive(chain):
    with pytest.raises(ValueError, match="workers must be at least 1"):
        velliq.implied_vol_parallel(*chain, workers=0)
