"""velliq.dask: chains inverted block by block and forwards found expiry by
expiry on a real two-process cluster give the very results of one process."""

import sys

import numpy as np
import pytest

pytest.importorskip("dask")
pytest.importorskip("distributed")
import dask.array as da
import dask.dataframe as dd
import pandas as pd
from distributed import Client, LocalCluster
from support import random_chain

import velliq.dask as vd
from velliq.norvane import baw_price, find_forward_baw, vectorized_baw_implied_vol


@pytest.fixture(scope="module")
def client():
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        yield client


def make_chain(n, seed=5):
    prices, S, K, D, F, is_call = random_chain(n, seed)
    prices[::101] = 1e6  # no volatility reproduces these: NaN
    prices[1::103] = np.nan
    return prices, S, K, D, F, is_call


def assert_same_bits(result, expected):
    assert result.dtype == np.float64
    assert np.array_equal(result.view(np.int64), expected.view(np.int64))


def single_process(prices, S, K, D, F, is_call):
    return vectorized_baw_implied_vol(prices, S, K, D, F, np.where(is_call, "c", "p").tolist())


def test_large_chain_on_cluster(client):
    chain = make_chain(200_000)
    # Dask arrays mixed with NumPy ones, which follow the chunks of prices.
    lazy = vd.implied_vol(*(da.from_array(a, 25_000) if i in (0, 2, 5) else a for i, a in enumerate(chain)))
    assert isinstance(lazy, da.Array) and lazy.dtype == np.float64 and lazy.numblocks == (8,)
    result = client.compute(lazy).result()
    expected = single_process(*chain)
    assert np.isnan(expected).any() and (expected == 0).any() and (expected > 0).any()
    assert_same_bits(result, expected)


@pytest.mark.parametrize("scheduler", ["distributed", "threads"])
@pytest.mark.parametrize("chunks", [(3, 0, 250, 1, 46), (0,), (300,)])
def test_uneven_and_empty_blocks(client, scheduler, chunks):
    chain = make_chain(sum(chunks))
    prices, _, K, D, F, is_call = (da.from_array(a, chunks=(chunks,)) for a in chain)
    # An empty block of da.full is a read-only contiguous array, read in place.
    S = da.full(sum(chunks), 100.0, chunks=(chunks,))
    lazy = vd.implied_vol(prices, S, K, D, F, is_call)
    result = lazy.compute(scheduler=client if scheduler == "distributed" else scheduler)
    assert_same_bits(result, single_process(*chain))


@pytest.mark.parametrize(
    "position, bad, error, message",
    [
        (1, da.ones(10, chunks=5), ValueError, r"S is chunked \(\(5, 5\),\), unlike prices \(\(4, 6\),\)"),
        (0, np.ones((2, 5)), ValueError, "prices must be one-dimensional, not 2-dimensional"),
        (4, da.ones((10, 1), chunks=(4, 1)), ValueError, "F must be one-dimensional"),
        (3, np.ones(9), ValueError, "D holds 9 elements, prices 10"),
        (5, np.array(["c", "x"] * 5), ValueError, "side 'x' at position 1 is not"),
    ],
)
def test_misaligned_inputs_refused(position, bad, error, message):
    args = [da.ones(10, chunks=(4, 6))] * 5 + [np.ones(10, bool)]
    args[position] = bad
    with pytest.raises(error, match=message):
        vd.implied_vol(*args)


COLUMNS = ("expiry", "strike", "call_price", "put_price", "spot", "discount")


def quote_table(columns):
    """Six expiries of 41 strikes, rows shuffled (and left out of expiry order
    by Dask's shuffle), with the forwards of find_forward_baw on each expiry."""
    rows, expected, strikes = [], {}, np.arange(80.0, 120.5, 1.0)
    for T in (0.05, 0.25, 0.5, 1.0, 2.0, 3.0):
        D, F, sigma = np.exp(-0.04 * T), 100 * np.exp(0.025 * T), 0.2 * np.sqrt(T)
        calls, puts = ([baw_price(100.0, k, D, F, sigma, flag) for k in strikes] for flag in "cp")
        expected[T] = find_forward_baw(calls, puts, strikes, 100.0, D, 0.03)
        rows += [(T, k, c, p, 100.0, D) for k, c, p in zip(strikes, calls, puts)]
    return pd.DataFrame(rows, columns=columns).sample(frac=1, random_state=8), pd.Series(expected)


@pytest.mark.parametrize(
    "names, to_dask",
    [
        ({}, True),
        ({}, False),
        (dict(expiry="T", strike="K", call_price="C", put_price="P", spot="S", discount="D"), True),
    ],
)
def test_forwards_match_per_expiry(client, names, to_dask):
    table, expected = quote_table([names.get(c, c) for c in COLUMNS])
    frame = dd.from_pandas(table, npartitions=3) if to_dask else table
    result = vd.forwards(frame, strike_pct=0.03, **names)
    assert isinstance(result, pd.Series) and result.name == "forward"
    assert result.index.name == names.get("expiry", "expiry")
    assert list(result.index) == sorted(expected.index)
    assert_same_bits(result.to_numpy(), expected.sort_index().to_numpy())


def test_forwards_missing_column():
    table, _ = quote_table(COLUMNS[:-1] + ("df",))
    with pytest.raises(KeyError, match="frame has no column 'discount'"):
        vd.forwards(dd.from_pandas(table, npartitions=2))


def test_import_without_dask_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "dask", None)
    monkeypatch.delitem(sys.modules, "velliq.dask")
    with pytest.raises(ImportError, match=r"pip install velliq\[dask\]"):
        import velliq.dask  # noqa: F401


# --- Long quote tables -----------------------------------------------------------


def long_table():
    from test_chain import clean_table

    return pd.concat([clean_table(), clean_table(spot=250.0, dividend_yield=0.0, underlying="ABC")], ignore_index=True)


@pytest.mark.parametrize("npartitions", [1, 4])
def test_long_table_on_cluster_equals_one_process(client, npartitions):
    from velliq import chain

    table = long_table()
    frame = dd.from_pandas(table, npartitions=npartitions)
    expected = chain.implied_vols(table, rate=0.04)
    got = vd.implied_vols(frame, rate=0.04).compute().sort_index()
    added = ["years", "discount", "forward", "iv_bid", "iv_mid", "iv_ask", "vega", "status"]
    pd.testing.assert_frame_equal(got[added], expected[added])  # Dask stores text its own way
    pd.testing.assert_frame_equal(got, expected, check_dtype=False)
    forwards = vd.forwards(frame, rate=0.04)
    # The underlying level keeps the column's text type, which Dask stores its own way.
    pd.testing.assert_frame_equal(forwards, chain.forwards(table, rate=0.04), check_index_type=False)


def test_quote_dates_group_on_cluster_as_in_one_process(client):
    """A column of quote dates is a grouping column: rows of one (date, expiry)
    meet in one partition, and the result is that of one process."""
    from vendor_quotes import RATE, VENDOR_COLUMNS, quote_dates, vendor_quotes

    from velliq import chain

    quotes, _ = vendor_quotes(quote_dates(3))
    quotes = quotes.sample(frac=1, random_state=2)
    options = dict(VENDOR_COLUMNS, valuation_date="quotedate", rate=RATE)
    frame = dd.from_pandas(quotes, npartitions=4)
    expected = chain.implied_vols(quotes, **options)
    got = vd.implied_vols(frame, **options).compute().loc[expected.index]
    added = ["years", "discount", "forward", "iv_bid", "iv_mid", "iv_ask", "vega", "status"]
    pd.testing.assert_frame_equal(got[added], expected[added], check_exact=True)
    pd.testing.assert_frame_equal(vd.forwards(frame, **options), chain.forwards(quotes, **options), check_exact=True)


def test_results_on_cluster_keep_the_record_and_the_input_columns(client):
    """A vendor's own ``vega`` is kept as ``vega_input`` on every partition (the
    lazy table's columns say so), and the computed table keeps the record."""
    from vendor_quotes import RATE, VENDOR_COLUMNS, quote_dates, vendor_quotes

    from velliq import chain

    quotes, _ = vendor_quotes(quote_dates(2))
    quotes = quotes.assign(vega=1.0)
    options = dict(VENDOR_COLUMNS, valuation_date="quotedate", rate=RATE)
    expected = chain.implied_vols(quotes, **options)
    lazy = vd.implied_vols(dd.from_pandas(quotes, npartitions=3), **options)
    assert list(lazy.columns) == list(expected.columns)
    got = lazy.compute().loc[expected.index]
    assert chain.result_layout(got) == chain.result_layout(expected)
    pd.testing.assert_frame_equal(chain.summary(got), chain.summary(expected), check_exact=True)
