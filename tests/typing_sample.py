"""Calls of velliq as a typed user program writes them; test_typing.py checks it
with mypy --strict, runs it and checks what it computes."""

from typing import assert_type

import dask.array as da
import numpy as np
import numpy.typing as npt
import pandas as pd

import velliq
import velliq.dask
import velliq.norvane as nv

prices = np.array([7.4, 8.3, 3.0, 20.5])
spots = [100.0, 100.0, 100.0, 100.0]
strikes = np.array([100, 100, 110, 80], dtype=np.int64)
discounts = np.full(4, 0.98, dtype=np.float32)
forwards = (99.0, 99.0, 99, 99.0)
flags = ["c", "p", "c", "p"]

price = nv.baw_price(100.0, 100, 0.98, np.float64(99.0), 0.2, "c")
assert_type(price, float)
assert_type(nv.baw_implied_vol(price, 100.0, 100.0, 0.98, 99.0, "c"), float)
vols = nv.vectorized_baw_implied_vol(prices, spots, strikes, discounts, forwards, flags)
assert_type(vols, npt.NDArray[np.float64])
assert_type(
    nv.vectorized_baw_implied_vol(prices, spots, strikes, discounts, forwards, np.array(flags)), npt.NDArray[np.float64]
)
assert_type(nv.vectorized_baw_implied_vol(prices, spots, strikes, discounts, forwards, "cpcp"), npt.NDArray[np.float64])
forward = nv.find_forward_baw(
    [9.0, 7.4, 5.9], [6.9, 8.3, 9.8], np.array([97.0, 100.0, 103.0]), 100.0, 0.98, strike_pct=0.05
)
assert_type(forward, float)

parallel = velliq.implied_vol_parallel(prices, spots, strikes, discounts, forwards, iter(flags), workers=2)
assert_type(parallel, npt.NDArray[np.float64])
assert_type(velliq.implied_vol_parallel(prices, 100.0, strikes, 0.98, 99, [1, -1, 1, -1]), npt.NDArray[np.float64])
by_old_keyword = velliq.implied_vol_parallel(prices, spots, strikes, discounts, forwards, flags=flags)

is_call = velliq.sides(np.array(["call", "P", "c", "put"]))
assert_type(is_call, npt.NDArray[np.bool_])
assert_type(velliq.sides("c"), np.bool_)
D, F = velliq.forward_terms(100.0, 0.05, 0.01, 0.5)
assert_type(D, np.float64)
assert_type(nv.baw_price(100.0, 100.0, D, F, 0.2, "c"), float)
curve = velliq.forward_terms(100.0, np.array([0.05, 0.04]), 0.01, [0.5, 1.0])
assert_type(curve, tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]])
with velliq.workers(2) as threads:
    assert_type(threads, int)
    ufunc_vols = np.asarray(velliq.baw.implied_vol(prices, spots, strikes, discounts, forwards, is_call))
lazy = velliq.dask.implied_vol(prices, spots, strikes, discounts, forwards, np.array([True, False, True, False]))
assert_type(lazy, da.Array)
lazy_by_old_keyword = velliq.dask.implied_vol(prices, spots, strikes, discounts, forwards, is_call=flags)
assert_type(velliq.american.price, np.ufunc)
assert_type(velliq.american.high.implied_vol, np.ufunc)
american_prices = np.asarray(velliq.american.price(spots, strikes, discounts, forwards, 0.2, is_call))
quotes = pd.DataFrame({"expiry": 0.5, "strike": [95.0, 105.0], "side": ["C", "P"], "price": [8.0, 7.5]})
table = velliq.chain.implied_vols(quotes, spot=100.0, rate=0.04, dividend_yield=0.01, model="american", workers=1)
assert_type(table, pd.DataFrame)
assert_type(velliq.__version__, str)
