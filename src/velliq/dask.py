"""Option chains inverted on a Dask cluster.

``implied_vol`` maps the Barone-Adesi-Whaley implied-volatility ufunc over
the blocks of Dask arrays; ``implied_vols`` and ``forwards`` run
``velliq.chain`` (either model) on each group of
:func:`velliq.chain.group_columns`, (underlying, valuation date, expiry), of a
long quote table held as a Dask DataFrame (``forwards`` also takes the wide layout of
``find_forward_baw``); ``surfaces`` fits :func:`velliq.chain.surface` on each
(underlying, valuation date), every expiry of one in one partition. The
compiled functions pickle by reference and their loops run without the GIL,
so threaded, process-based and distributed schedulers all
work, and every result equals, bit for bit, the same work done in one process.
"""

# dask's functions carry no annotations: calling them is allowed here.
# mypy: disable-error-code="no-untyped-call"
from typing import Any, overload

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
    import dask.dataframe as dd
    import pandas as pd
    from dask.base import compute
    from dask.delayed import delayed
except ImportError as exc:
    raise ImportError("velliq.dask needs Dask and pandas: pip install velliq[dask]") from exc

from . import baw, chain
from ._sides import side_argument, sides
from ._typing import Real, Reals, Sides
from .chain.dividend_terms import DIVIDEND_COLUMNS_ADDED
from .chain.record import kept_input_names
from .norvane import find_forward_baw

__all__ = ["forwards", "implied_vol", "implied_vols", "surfaces"]


Block = npt.NDArray[Any]


def _block_implied_vol(
    prices: Block, S: Block, K: Block, D: Block, F: Block, is_call: npt.NDArray[np.bool_]
) -> npt.NDArray[np.float64]:
    vols: npt.NDArray[np.float64] = baw.implied_vol(prices, S, K, D, F, is_call)
    return vols


def _aligned(name: str, values: da.Array | Reals, like: da.Array | None) -> da.Array:
    if np.ndim(values) != 1:
        raise ValueError(f"{name} must be one-dimensional, not {np.ndim(values)}-dimensional")
    if isinstance(values, da.Array):
        blocks = values
    elif like is None:  # a NumPy `prices` becomes one block
        blocks = da.from_array(np.asarray(values), chunks=-1)
    else:
        numbers = np.asarray(values)
        if len(numbers) != like.shape[0]:
            raise ValueError(f"{name} holds {len(numbers)} elements, prices {like.shape[0]}")
        blocks = da.from_array(numbers, chunks=like.chunks)
    if like is not None and blocks.chunks != like.chunks:
        raise ValueError(f"{name} is chunked {blocks.chunks}, unlike prices {like.chunks}; rechunk it first")
    return blocks


@overload
def implied_vol(
    prices: da.Array | Reals,
    S: da.Array | Reals,
    K: da.Array | Reals,
    D: da.Array | Reals,
    F: da.Array | Reals,
    side: da.Array | Sides,
) -> da.Array: ...
@overload
def implied_vol(
    prices: da.Array | Reals,
    S: da.Array | Reals,
    K: da.Array | Reals,
    D: da.Array | Reals,
    F: da.Array | Reals,
    *,
    is_call: da.Array | Sides,  # the former keyword of side
) -> da.Array: ...
def implied_vol(
    prices: da.Array | Reals,
    S: da.Array | Reals,
    K: da.Array | Reals,
    D: da.Array | Reals,
    F: da.Array | Reals,
    side: da.Array | Sides | None = None,
    *,
    is_call: da.Array | Sides | None = None,
) -> da.Array:
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
        calls = side if side.dtype == bool else da.map_blocks(sides, side, dtype=bool)
    else:
        calls = sides(side)
    arrays = [_aligned(name, values, prices) for name, values in zip(("S", "K", "D", "F", "side"), (S, K, D, F, calls))]
    vols: da.Array = da.map_blocks(
        _block_implied_vol, prices, *arrays, dtype=np.float64, meta=np.empty((0,), np.float64)
    )
    return vols


def _expiry_forward(
    group: pd.DataFrame, strike: str, call_price: str, put_price: str, spot: str, discount: str, strike_pct: Real
) -> float:
    # Ties in strike are broken by the prices, so the row order the shuffle
    # leaves does not change the result.
    group = group.sort_values([strike, call_price, put_price], kind="stable")
    first = group.iloc[0]
    return find_forward_baw(
        group[call_price].to_numpy(np.float64),
        group[put_price].to_numpy(np.float64),
        group[strike].to_numpy(np.float64),
        float(first[spot]),
        float(first[discount]),
        strike_pct,
    )


def _as_dask(frame: dd.DataFrame | pd.DataFrame) -> dd.DataFrame:
    """The table as a Dask DataFrame (a pandas one becomes one partition)."""
    if isinstance(frame, pd.DataFrame):
        partition: dd.DataFrame = dd.from_pandas(frame, npartitions=1)
        return partition
    return frame


def _by_expiry(
    frame: dd.DataFrame | pd.DataFrame, underlying: str, expiry: str, valuation_date: object
) -> dd.DataFrame:
    """The table with each (underlying, valuation date, expiry) in one partition."""
    table = _as_dask(frame)
    keys = chain.group_columns(table.columns, underlying=underlying, expiry=expiry, valuation_date=valuation_date)
    return table.shuffle(on=keys) if table.npartitions > 1 else table


def _refuse_implied_spot(spot: object) -> None:
    """``ValueError`` for ``spot="implied"``: partitions split an (underlying, date)'s expiries."""
    if isinstance(spot, str) and spot == "implied":
        raise ValueError(
            "spot='implied' needs every expiry of an underlying and date in one partition: "
            "join velliq.chain.spots(...) to the table and give its column as spot="
        )


def implied_vols(
    frame: dd.DataFrame | pd.DataFrame, *, underlying: str = "underlying", expiry: str = "expiry", **kwargs: Any
) -> dd.DataFrame:
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
        Lazy, rows in shuffled order (sort by index to compare); computed, it
        keeps the record of how it was read, as the pandas result does.

    Raises
    ------
    ValueError
        For ``spot="implied"``, which needs every expiry of an (underlying,
        valuation date) at once: join :func:`velliq.chain.spots` to the
        table and name that column as ``spot``.
    """
    spot = kwargs.get("spot")
    _refuse_implied_spot(spot)
    frame = _by_expiry(frame, underlying, expiry, kwargs.get("valuation_date"))
    paid = kwargs.get("dividends") is not None
    added = chain.result_columns(bool(kwargs.get("greeks", False)), spot=isinstance(spot, tuple), dividends=paid)
    renamed = kept_input_names(frame.columns, added)  # as each partition's result renames them
    meta = frame._meta.rename(columns=renamed).assign(**{c: pd.Series(dtype="f8") for c in added[:-1]})
    meta["status"] = pd.Categorical([], categories=list(chain.STATUSES))
    table: dd.DataFrame = frame.map_partitions(
        chain.implied_vols, underlying=underlying, expiry=expiry, meta=meta, **kwargs
    )
    return table


def forwards(
    frame: dd.DataFrame | pd.DataFrame,
    spot: str = "spot",
    discount: str = "discount",
    strike_pct: Real = 0.01,
    *,
    expiry: str = "expiry",
    strike: str = "strike",
    call_price: str = "call_price",
    put_price: str = "put_price",
    **long_table: Any,
) -> "pd.Series[float] | pd.DataFrame":
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

    Raises
    ------
    ValueError
        For ``spot="implied"``, as :func:`implied_vols`.
    """
    _refuse_implied_spot(spot)
    frame = _as_dask(frame)
    if call_price not in frame.columns or long_table:
        underlying = long_table.pop("underlying", "underlying")
        shuffled = _by_expiry(frame, underlying, expiry, long_table.get("valuation_date"))
        counts = ("forward_strikes", "forward_unsettled")
        paid = DIVIDEND_COLUMNS_ADDED if long_table.get("dividends") is not None else ()
        added = ("years", "discount", *chain.FORWARD_COLUMNS, *paid)
        meta = pd.DataFrame({c: pd.Series(dtype="i8" if c in counts else "f8") for c in added})
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
        table: pd.DataFrame = lazy.compute().sort_index()
        return table
    columns = [expiry, strike, call_price, put_price, spot, discount]
    missing = [c for c in columns if c not in frame.columns]
    if missing:
        raise KeyError(f"frame has no column {', '.join(map(repr, missing))}")
    lazy = (
        frame[columns]
        .groupby(expiry)
        .apply(_expiry_forward, strike, call_price, put_price, spot, discount, strike_pct, meta=("forward", "f8"))
    )
    result: pd.Series[float] = lazy.compute().sort_index()
    result.name = "forward"
    return result


def _partition_surfaces(part: pd.DataFrame, kwargs: dict[str, Any], quotes: str) -> "chain.Surfaces":
    """The surfaces of one partition's quotes (none for an empty partition)."""
    if len(part) == 0:
        return chain.Surfaces({})
    return chain.surface(chain.implied_vols(part, **kwargs), quotes=quotes)


def surfaces(
    frame: dd.DataFrame | pd.DataFrame,
    *,
    underlying: str = "underlying",
    quotes: str = "out_of_the_money",
    **kwargs: Any,
) -> "chain.Surfaces":
    """:func:`velliq.chain.surface` of :func:`velliq.chain.implied_vols` of a
    long quote table held as a Dask DataFrame, computed by the current Dask
    scheduler, a partition at a time.

    A surface joins every expiry of an (underlying, valuation date), so the
    table is shuffled on those columns (those it has: one partition holds
    the whole of each), not on the expiry as :func:`implied_vols` does. Each
    partition's vols and surfaces are computed where it lies; the surfaces
    come back, and equal the single-process ones bit for bit (the fit takes
    its quotes in an order of its own). ``spot="implied"`` works here: an
    (underlying, date)'s nearest expiries are in its partition.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame or pandas.DataFrame
        One row per quote.
    underlying, **kwargs
        As for :func:`velliq.chain.implied_vols` (``valuation_date`` names the
        column of quote dates of a table of many).
    quotes : str
        As for :func:`velliq.chain.surface`.

    Returns
    -------
    velliq.chain.Surfaces
        Computed: every partition's surfaces, and every (underlying, date) in
        its ``groups``, fitted or not.
    """
    table = _as_dask(frame)
    date = kwargs.get("valuation_date")
    keys = [c for c in (underlying, date) if isinstance(c, str) and c in table.columns]
    if keys and table.npartitions > 1:
        table = table.shuffle(on=keys)
    options = {"underlying": underlying, **kwargs}
    parts = [delayed(_partition_surfaces)(part, options, quotes) for part in table.to_delayed()]
    computed: tuple[chain.Surfaces, ...] = compute(*parts)
    return chain.Surfaces.joined(computed)
