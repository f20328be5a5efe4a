"""Reading the result of implied_vols: where its inputs are (its record, or
keywords), its grouping keys as values (dates as dates), and one row per
(underlying, valuation date, expiry)."""

from typing import Any, Final

import numpy as np
import pandas as pd

from ._arrays import Floats, Ints
from .cells import dates
from .dividend_terms import DIVIDEND_COLUMNS_ADDED, DIVIDEND_MODEL
from .inputs import SPOT_TOLERANCE
from .record import ResultLayout, read_record
from .statuses import STATUSES

__all__ = ["ResultLayoutError", "key_values", "require_column", "result_layout", "summary"]


class ResultLayoutError(ValueError):
    """A result whose rows cannot be grouped as :func:`implied_vols` grouped
    them: a column named that it lacks, or, without a record of how it was
    read, grouping columns absent or merging several groups."""


_NO_RECORD: Final = (
    "the result keeps no record of how implied_vols read it (as one read back from CSV, "
    "or a concat of results read differently)"
)


def result_layout(
    result: pd.DataFrame,
    *,
    underlying: str | None = None,
    expiry: str | None = None,
    strike: str | None = None,
    side: str | None = None,
    valuation_date: object = None,
) -> ResultLayout:
    """Where the inputs of a result of :func:`implied_vols` are.

    Taken from the record the result keeps (``result.attrs``), which slicing,
    copies and Parquet files keep; each keyword given wins over it. Without
    a record: the default column names (``underlying`` when the table has
    it). The columns are checked against the rows, record or not (results
    read alike from several tables and concatenated keep one record): every
    group of (underlying, valuation date, expiry) must have one ``years`` and
    forwards within 1 %.

    Raises
    ------
    ResultLayoutError
        Naming the keyword to give: a column of underlyings or quote dates
        named (by keyword or record) that the result lacks; rows of one
        group of several quote dates or underlyings.
    """
    layout = _layout(result, dict(underlying=underlying, expiry=expiry, strike=strike, side=side), valuation_date)
    _refuse_merged_groups(result, layout, *_groups_of(result, layout))  # a record survives concats of results
    return layout


def _layout(result: pd.DataFrame, given: dict[str, str | None], valuation_date: object) -> ResultLayout:
    """:func:`result_layout` (its column keywords ``given``) but for its check of the rows' groups."""
    recorded = read_record(result.attrs)
    for keyword, column in given.items():
        if column is not None and not isinstance(column, str):
            raise TypeError(f"{keyword}= names a column: give its name as a str, not {column!r}")
    columns = result.columns
    base = recorded
    if base is None:
        default = "underlying" if given["underlying"] is None and "underlying" in columns else None
        base = ResultLayout(default, "expiry", "strike", "side", None, None, None, None)
    named = {k: v if v is not None else getattr(base, k) for k, v in given.items()}
    date = _valuation_date(columns, valuation_date) if valuation_date is not None else base.valuation_date
    layout = ResultLayout(**{**vars(base), **named, "valuation_date": date})
    require_column(result, layout, "underlying", given["underlying"] is not None)
    require_column(result, layout, "valuation_date", valuation_date is not None)
    return layout


def _groups_of(result: pd.DataFrame, layout: ResultLayout) -> tuple[Ints, int]:
    """Per row, its group's number by the columns of ``layout`` (by the years where the result has no
    column of expiries), and the count of groups (:func:`_group_numbers`)."""
    columns = [column for column in layout.group_columns if column in result.columns]
    if layout.expiry not in result.columns:  # the years tell its expiries apart, not its dates
        columns.append("years")
    return _group_numbers(result, columns, layout.underlying)


def require_column(result: pd.DataFrame, layout: ResultLayout, keyword: str, given: bool) -> None:
    """A ``ResultLayoutError`` naming ``keyword`` when the column ``layout``
    gives it (by the keyword, ``given``, or the record) is not the result's."""
    column = getattr(layout, keyword)
    if not isinstance(column, str) or column in result.columns:
        return
    if given:
        source = f" ({keyword}={column!r})"
    elif layout.model is not None:
        source = f", its {keyword} column as implied_vols read it"
    else:
        source = f" (the default {keyword} column), and {_NO_RECORD}"
    raise ResultLayoutError(
        f"the result has no column {column!r}{source}: give {keyword}= naming its column; "
        f"found {', '.join(map(str, result.columns))}"
    )


def _valuation_date(columns: "pd.Index[str]", value: object) -> str | pd.Timestamp:
    if isinstance(value, str) and value in columns:
        return value
    refused = ResultLayoutError(f"valuation_date {value!r} is neither a column of the result nor a date")
    try:
        date = pd.Timestamp(value)  # type: ignore[arg-type]  # any value: what is no date raises
    except (TypeError, ValueError):
        raise refused from None
    if pd.isna(date):
        raise refused
    return date


def key_values(column: "pd.Series[Any]") -> Any:
    """An expiry or quote-date column's values as its groups are told apart:
    numbers as they are, anything else read as dates (text at its own wall
    clock), so that they sort in time."""
    return column.array if pd.api.types.is_numeric_dtype(column) else dates(column).array


def _group_numbers(result: pd.DataFrame, columns: list[str], underlying: str | None) -> tuple[Ints, int]:
    """Per row, its group's number in the order of its keys (-1 where one is missing), and the count
    of groups: underlyings sorted as stored (as pandas sorts mixed values), dates as dates. Each
    column's distinct values are ranked once, and folded into one number per row, so that no row's
    text is hashed twice."""
    number = np.zeros(len(result), np.int64)
    missing = np.zeros(len(result), np.bool_)
    for column in columns:
        codes, distinct = pd.factorize(result[column], sort=column == underlying)
        rank = np.empty(len(distinct) + 1, np.int64)
        rank[-1] = -1  # a missing key (code -1) stays -1
        if column == underlying:
            rank[:-1] = np.arange(len(distinct))
        else:
            rank[np.argsort(np.asarray(key_values(pd.Series(distinct))), kind="stable")] = np.arange(len(distinct))
        missing |= codes < 0
        number = pd.factorize(number * (len(distinct) + 1) + rank[codes], sort=True)[0]  # stays below the rows
    number[missing] = -1
    return number, int(number.max(initial=-1)) + 1


def _refuse_merged_groups(result: pd.DataFrame, layout: ResultLayout, number: Ints, n_groups: int) -> None:
    """A ``ResultLayoutError`` when the groups the columns of ``layout`` make (each row's ``number``)
    merge groups that implied_vols kept apart: several years (quote dates) or forwards more than
    ``SPOT_TOLERANCE`` apart (underlyings) in one group."""
    if not {"years", "forward"} <= set(result.columns) or len(result) == 0:
        return
    number = np.where(number >= 0, number, n_groups)  # a group of the rows without a key, left out
    span = {}
    for column in ("years", "forward"):  # each group's least and greatest, NaN left out
        values = result[column].to_numpy(np.float64)
        low, high = np.full(n_groups + 1, np.nan), np.full(n_groups + 1, np.nan)
        np.fmin.at(low, number, values)
        np.fmax.at(high, number, values)
        span[column] = (low[:n_groups], high[:n_groups])
    years_apart = bool((span["years"][1] > span["years"][0]).any())
    with np.errstate(invalid="ignore", divide="ignore"):
        relative = (span["forward"][1] - span["forward"][0]) / span["forward"][0]
    forwards_apart = bool((relative > SPOT_TOLERANCE).any())
    group = f"({', '.join(layout.group_columns)})"
    if years_apart:
        raise ResultLayoutError(
            f"rows of one {group} have different years: they are of several quote dates; "
            "give valuation_date= naming the column of quote dates (add one to a table of results "
            "read each at its own date)" + ("" if layout.model is not None else f"; {_NO_RECORD}")
        )
    if forwards_apart:
        raise ResultLayoutError(
            f"rows of one {group} have forwards more than {SPOT_TOLERANCE:.0%} apart: they are of several "
            "underlyings; give underlying= naming the column of underlyings"
            + ("" if layout.model is not None else f"; {_NO_RECORD}")
        )


def summary(
    result: pd.DataFrame,
    *,
    underlying: str | None = None,
    expiry: str | None = None,
    strike: str | None = None,
    valuation_date: object = None,
) -> pd.DataFrame:
    """Per (underlying, valuation date, expiry), what a result of
    :func:`implied_vols` says.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    underlying, expiry, strike : str, optional
        Its columns of these names; by default those the result recorded
        (:func:`result_layout`).
    valuation_date : optional
        As given to :func:`implied_vols` (by default, as recorded): a column
        of quote dates adds a level to the result.

    Returns
    -------
    pandas.DataFrame
        One row per group, indexed by the result's own column names, dates
        as dates (text read as dates, so sorted in time), in order:
        ``years``, ``forward``, ``atm_vol`` (the annual mid volatility at the
        strike nearest the forward, calls and puts averaged) and the count of
        quotes of each of ``STATUSES``. A result priced with dividends (by its
        record, or without one, having their columns) also has, after
        ``forward``, ``dividend_pv`` and ``residual_yield`` (:func:`implied_vols`).

    Raises
    ------
    ResultLayoutError
        A result that cannot be regrouped (:func:`result_layout`).
    """
    layout = _layout(result, dict(underlying=underlying, expiry=expiry, strike=strike, side=None), valuation_date)
    require_column(result, layout, "expiry", expiry is not None)
    require_column(result, layout, "strike", strike is not None)
    keys = [column for column in layout.group_columns if column in result.columns]
    number, n_groups = _groups_of(result, layout)
    _refuse_merged_groups(result, layout, number, n_groups)
    slot = np.where(number >= 0, number, n_groups)  # the rows without a group in a slot of their own, left out
    years, forward = (result[column].to_numpy(np.float64) for column in ("years", "forward"))
    # The distance to the forward of each ok row (NaN elsewhere), and each group's least.
    distance = np.abs(result[layout.strike].to_numpy(np.float64) - forward)
    distance[(result["status"] != "ok").to_numpy()] = np.nan
    least = np.full(n_groups + 1, np.nan)
    np.fmin.at(least, slot, distance)
    nearest = np.flatnonzero((distance == least[slot]) & (number >= 0))
    del distance
    table = pd.DataFrame(
        {"years": _first_of_groups(years, slot, n_groups), "forward": _first_of_groups(forward, slot, n_groups)}
    )
    vols = pd.Series(result["iv_mid"].to_numpy(np.float64)[nearest])
    if layout.model in (None, DIVIDEND_MODEL) and set(DIVIDEND_COLUMNS_ADDED) <= set(result.columns):
        for column in DIVIDEND_COLUMNS_ADDED:
            table[column] = _first_of_groups(result[column].to_numpy(np.float64), slot, n_groups)
    table["atm_vol"] = vols.groupby(number[nearest]).mean().reindex(table.index)
    table = table.join(_status_counts(number, result["status"], table.index))
    first = np.full(n_groups + 1, len(result))
    np.minimum.at(first, slot, np.arange(len(result)))
    table.index = _key_index(result, first[:n_groups], keys, layout.underlying)
    return table


def _first_of_groups(values: Floats, slot: Ints, n_groups: int) -> Floats:
    """Per group (each row's ``slot``, ``n_groups`` for none), the value of its first row that has one
    (NaN for none)."""
    first = np.full(n_groups + 1, len(values))
    np.minimum.at(first, np.where(np.isnan(values), n_groups, slot), np.arange(len(values)))
    first = first[:n_groups]
    return np.where(first < len(values), values[np.minimum(first, len(values) - 1)], np.nan)


def _key_index(result: pd.DataFrame, rows: Ints, names: list[str], underlying: str | None) -> "pd.Index[Any]":
    """The groups' index: the keys of one row of each (``rows``), underlyings as stored, dates as dates."""
    taken = result.iloc[rows]
    levels = [taken[name].array if name == underlying else key_values(taken[name]) for name in names]
    index: pd.Index[Any] = (
        pd.Index(levels[0], name=names[0]) if len(levels) == 1 else pd.MultiIndex.from_arrays(levels, names=names)
    )
    return index


def _status_counts(number: Ints, status: "pd.Series[Any]", index: "pd.Index[Any]") -> pd.DataFrame:
    """Per group (numbered by ``number``, -1 for none, in the order ``index`` lists them), its count
    of quotes of each of ``STATUSES``."""
    code = pd.Categorical(status, categories=list(STATUSES)).codes  # -1: no status of ours
    counted = np.flatnonzero((number >= 0) & (code >= 0))
    cells = np.bincount(number[counted] * len(STATUSES) + code[counted], minlength=len(index) * len(STATUSES))
    return pd.DataFrame(cells.reshape(len(index), len(STATUSES)), index=index, columns=list(STATUSES))
