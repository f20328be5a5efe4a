"""Option chains inverted on a Dask cluster.

``implied_vol`` maps the implied-volatility ufunc over the blocks of Dask
arrays; ``forwards`` runs ``find_forward_baw`` on each expiry of a Dask
DataFrame. The compiled functions pickle by reference and their loops run
without the GIL, so threaded, process-based and distributed schedulers all
work, and every result equals, bit for bit, the same work done in one process.
"""

import numpy as np

try:
    import dask.array as da
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:
    raise ImportError(
        "velliq.dask needs Dask and pandas: pip install velliq[dask]") from exc

from . import baw
from .norvane import find_forward_baw
from ._sides import sides

__all__ = ["forwards", "implied_vol"]


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
        raise ValueError(f"{name} is chunked {values.chunks}, unlike prices {like.chunks}; "
                         "rechunk it first")
    return values


def implied_vol(prices, S, K, D, F, is_call):
    """Implied total standard deviations of a chain, one task per block.

    ``prices``, ``S``, ``K``, ``D`` and ``F`` are one-dimensional Dask (or
    NumPy) arrays of numbers and ``is_call`` the sides, in any form
    ``velliq.sides`` accepts, all of one length. Dask arrays must be chunked alike; NumPy arrays
    are split along the chunks of ``prices`` (a NumPy ``prices`` is one
    block). Returns a lazy float64 Dask array chunked as ``prices``: 0.0 for a
    quote without time value, NaN where no volatility reproduces the quote.
    Raises ValueError for arrays that are not 1-D or not aligned, or for a
    side ``velliq.sides`` refuses.
    """
    prices = _aligned("prices", prices, None)
    if isinstance(is_call, da.Array):
        if is_call.dtype != bool:
            is_call = is_call.map_blocks(sides, dtype=bool)
    else:
        is_call = sides(is_call)
    arrays = [_aligned(name, values, prices)
              for name, values in zip(("S", "K", "D", "F", "is_call"), (S, K, D, F, is_call))]
    return da.map_blocks(_block_implied_vol, prices, *arrays,
                         dtype=np.float64, meta=np.empty((0,), np.float64))


def _expiry_forward(group, strike, call_price, put_price, spot, discount, strike_pct):
    # Ties in strike are broken by the prices, so the row order the shuffle
    # leaves does not change the result.
    group = group.sort_values([strike, call_price, put_price], kind="stable")
    first = group.iloc[0]
    return find_forward_baw(*(group[c].to_numpy(np.float64) for c in (call_price, put_price, strike)),
                            float(first[spot]), float(first[discount]), strike_pct)


def forwards(frame, spot="spot", discount="discount", strike_pct=0.01, *,
             expiry="expiry", strike="strike", call_price="call_price", put_price="put_price"):
    """Forward of every expiry of a quote table, by ``find_forward_baw``.

    ``frame`` is a Dask (or pandas) DataFrame, one row per strike and
    expiry. The keyword arguments name its columns: ``expiry``, ``strike``,
    ``call_price`` and ``put_price`` (the American quotes), ``spot`` and
    ``discount`` (the discount factor to that expiry). Each expiry's rows are
    sorted by strike and passed to ``find_forward_baw`` with ``strike_pct``;
    spot and discount come from its lowest-strike row. The groups are
    computed by the current Dask scheduler (a ``distributed.Client`` when one
    is active) and the result comes back computed, as it is small and is
    needed in hand to build the forwards of the chain: a pandas Series of
    floats named "forward", indexed by expiry in ascending order.
    """
    if isinstance(frame, pd.DataFrame):
        frame = dd.from_pandas(frame, npartitions=1)
    columns = [expiry, strike, call_price, put_price, spot, discount]
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise KeyError(f"frame has no column {', '.join(map(repr, missing))}")
    lazy = frame[columns].groupby(expiry).apply(
        _expiry_forward, strike, call_price, put_price, spot, discount, strike_pct,
        meta=("forward", "f8"))
    result = lazy.compute().sort_index()
    result.name = "forward"
    return result
