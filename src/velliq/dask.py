"""Option chains inverted on a Dask cluster.

``implied_vol`` maps the Barone-Adesi-Whaley implied-volatility ufunc over
the blocks of Dask arrays; ``implied_vols`` and ``forwards`` run
``velliq.chain`` (either model) on each group of
:func:`velliq.chain.group_columns`, (underlying, valuation date, expiry), of a
long quote table held as a Dask DataFrame (``forwards`` also takes the wide layout of
``find_forward_baw``). The
compiled functions pickle by reference and their loops run without the GIL,
so threaded, process-based and distributed schedulers all
work, and every result equals, bit for bit, the same work done in one process.
"""

import numpy as np

try:
    import dask.array as da
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:
    raise ImportError("velliq.dask needs Dask and pandas: pip install velliq[dask]") from exc

from . import baw, chain
from ._sides import side_argument, sides
from .norvane import find_forward_baw

__all__ = ["forwards", "implied_vol", "implied_vols"]


def _block_implied_vol(prices, S, K, D, F, is_call):
    return baw.implied_vol(prices, S, K, D, F, is_call)


def _aligned(name, values, like):
    if np.ndim(values) != 1:
        raise ValueError(f"{name} must be one-dimensional, not {np.ndim(values)}-dimensional")
    if not isinstance(values, da.Array):
        values = np.asarray(values)
        if like is None:  # a NumPy `prices` becomes one block
            return da.from_array(values, chunks=-1)
        if len(values) != like.shape[0]:
            raise ValueError(f"{name} holds {len(values)} elements, prices {like.shape[0]}")
        values = da.from_array(values, chunks=like.chunks)
    if like is not None and values.chunks != like.chunks:
        raise ValueError(f"{name} is chunked {values.chunks}, unlike prices {like.chunks}; rechunk it first")
    return values


def implied_vol(prices, S, K, D, F, side=None, *, is_call=None):
    """Implied total standard deviations of a chain, one task per block.

    Parameters
    ----------
    prices, S, K, D, F : dask.array.Array or array_like
        One-dimensional arrays of numbers, all of one length. Dask arrays must
        be chunked alike; NumPy arrays are split along the chunks of
        ``prices`` (a NumPy ``prices`` is one block).
    side : dask.array.Array or array_like
        The sides, in any form :func:`velliq.sides` accepts; ``is_call=`` is
        its former keyword.

    Returns
    -------
    dask.array.Array
        Lazy, float64, chunked as ``prices``: 0.0 for a quote without time
        value, NaN where no volatility reproduces the quote.

    Raises
    ------
    ValueError
        For arrays that are not 1-D or not aligned, or for a side
        :func:`velliq.sides` refuses.
    """
    prices = _aligned("prices", prices, None)
    side = side_argument(side, "is_call", is_call)
    if isinstance(side, da.Array):
        calls = side if side.dtype == bool else side.map_blocks(sides, dtype=bool)
    else:
        calls = sides(side)
    arrays = [_aligned(name, values, prices) for name, values in zip(("S", "K", "D", "F", "side"), (S, K, D, F, calls))]
    return da.map_blocks(_block_implied_vol, prices, *arrays, dtype=np.float64, meta=np.empty((0,), np.float64))


def _expiry_forward(group, strike, call_price, put_price, spot, discount, strike_pct):
    # Ties in strike are broken by the prices, so the row order the shuffle
    # leaves does not change the result.
    group = group.sort_values([strike, call_price, put_price], kind="stable")
    first = group.iloc[0]
    return find_forward_baw(
        *(group[c].to_numpy(np.float64) for c in (call_price, put_price, strike)),
        float(first[spot]),
        float(first[discount]),
        strike_pct,
    )


def _by_expiry(frame, underlying, expiry, valuation_date):
    """The table with each (underlying, valuation date, expiry) in one partition."""
    if isinstance(frame, pd.DataFrame):
        frame = dd.from_pandas(frame, npartitions=1)
    keys = chain.group_columns(frame.columns, underlying=underlying, expiry=expiry, valuation_date=valuation_date)
    return frame.shuffle(on=keys) if frame.npartitions > 1 else frame


def implied_vols(frame, *, underlying="underlying", expiry="expiry", **kwargs):
    """:func:`velliq.chain.implied_vols` of a long quote table held as a
    Dask DataFrame.

    Each group of :func:`velliq.chain.group_columns`, (underlying, valuation
    date, expiry), is gathered into one partition and computed there, so every row equals the
    single-process result.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame or pandas.DataFrame
        One row per quote.
    underlying, expiry, **kwargs
        As for :func:`velliq.chain.implied_vols`.

    Returns
    -------
    dask.dataframe.DataFrame
        Lazy, rows in shuffled order (sort by index to compare).
    """
    frame = _by_expiry(frame, underlying, expiry, kwargs.get("valuation_date"))
    added = chain.result_columns(bool(kwargs.get("greeks", False)))
    meta = frame._meta.assign(**{c: pd.Series(dtype="f8") for c in added[:-1]})
    meta["status"] = pd.Categorical([], categories=list(chain.STATUSES))
    return frame.map_partitions(chain.implied_vols, underlying=underlying, expiry=expiry, meta=meta, **kwargs)


def forwards(
    frame,
    spot="spot",
    discount="discount",
    strike_pct=0.01,
    *,
    expiry="expiry",
    strike="strike",
    call_price="call_price",
    put_price="put_price",
    **long_table,
):
    """Forward of every expiry of a quote table, computed by the current Dask
    scheduler (a ``distributed.Client`` when one is active).

    A long table (one row per quote, with a side column; vendors' layout)
    goes to ``velliq.chain.forwards`` per (underlying, valuation date,
    expiry), with ``long_table`` passed on (``valuation_date``, a date or a
    column of quote dates, ``rate``, column names): the result is a pandas
    DataFrame of ``years``, ``discount`` and ``forward`` indexed by those,
    equal to the single-process one.

    A wide table, one row per strike and expiry with ``call_price`` and
    ``put_price`` columns, goes to ``find_forward_baw`` per expiry: rows
    sorted by strike, ``strike_pct`` as its window, spot and discount from
    the lowest-strike row; the result is a Series named "forward" indexed by
    expiry.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame or pandas.DataFrame
        The quote table, long or wide.
    spot, discount, expiry, strike, call_price, put_price : str
        Column names (``call_price`` and ``put_price`` of the wide layout).
    strike_pct : float
        The wide layout's strike window for ``find_forward_baw``.
    **long_table
        For a long table, keywords of :func:`velliq.chain.forwards`.

    Returns
    -------
    pandas.DataFrame or pandas.Series
        Computed, as above.
    """
    if isinstance(frame, pd.DataFrame):
        frame = dd.from_pandas(frame, npartitions=1)
    if call_price not in frame.columns or long_table:
        underlying = long_table.pop("underlying", "underlying")
        shuffled = _by_expiry(frame, underlying, expiry, long_table.get("valuation_date"))
        counts = ("forward_strikes", "forward_unsettled")
        meta = pd.DataFrame(
            {c: pd.Series(dtype="i8" if c in counts else "f8") for c in ("years", "discount", *chain.FORWARD_COLUMNS)}
        )
        lazy = shuffled.map_partitions(
            chain.forwards,
            spot=spot,
            discount=discount,
            expiry=expiry,
            strike=strike,
            underlying=underlying,
            meta=meta,
            **long_table,
        )
        return lazy.compute().sort_index()
    columns = [expiry, strike, call_price, put_price, spot, discount]
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise KeyError(f"frame has no column {', '.join(map(repr, missing))}")
    lazy = (
        frame[columns]
        .groupby(expiry)
        .apply(_expiry_forward, strike, call_price, put_price, spot, discount, strike_pct, meta=("forward", "f8"))
    )
    result = lazy.compute().sort_index()
    result.name = "forward"
    return result
