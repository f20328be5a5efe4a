"""velliq.implied_vol_parallel: the chain split across threads gives the very
result of one vectorized_baw_implied_vol call."""

import numpy as np
import pandas as pd
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


@pytest.mark.parametrize(
    "form",
    [
        lambda flags: (f for f in flags),
        lambda flags: np.array([f.upper() for f in flags]),
        lambda flags: [f == "c" for f in flags],
        lambda flags: np.where(np.array(flags) == "c", 1, -1),
        lambda flags: pd.Categorical(["call" if f == "c" else "put" for f in flags]),
    ],
    ids=["generator", "upper case", "booleans", "plus minus one", "categorical"],
)
def test_flags_in_every_form_sides_accepts(chain, form):
    prices, S, K, D, F, flags = chain
    expected = vectorized_baw_implied_vol(*chain)
    result = velliq.implied_vol_parallel(prices, S, K, D, F, form(flags), workers=2)
    assert result.tobytes() == expected.tobytes()


def test_scalars_broadcast_and_lengths_must_agree(chain):
    prices, S, K, D, F, flags = chain
    expected = vectorized_baw_implied_vol(*chain)
    assert velliq.implied_vol_parallel(prices, 100.0, K, D, F, flags).tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="broadcast"):
        velliq.implied_vol_parallel(prices, S[:-1], K, D, F, flags, workers=2)
    with pytest.raises(ValueError, match="side 'x' at position 3"):
        velliq.implied_vol_parallel(prices, S, K, D, F, [*flags[:3], "x", *flags[4:]])


def test_workers_must_be_positive(chain):
    with pytest.raises(ValueError, match="workers must be at least 1"):
        velliq.implied_vol_parallel(*chain, workers=0)


def test_side_keeps_its_former_keyword_flags(chain):
    prices, S, K, D, F, flags = chain
    expected = vectorized_baw_implied_vol(*chain)
    assert velliq.implied_vol_parallel(prices, S, K, D, F, flags=flags).tobytes() == expected.tobytes()
    with pytest.raises(TypeError, match="give side or flags, not both"):
        velliq.implied_vol_parallel(prices, S, K, D, F, flags, flags=flags)
    with pytest.raises(TypeError, match="missing required argument 'side'"):
        velliq.implied_vol_parallel(prices, S, K, D, F)
