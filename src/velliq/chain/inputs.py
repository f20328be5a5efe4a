"""A quote table's inputs read into float64 arrays per row, and the grouping
of its rows by (underlying, expiry), the unit a forward belongs to."""

import datetime as dt
from collections.abc import Container, Hashable
from dataclasses import dataclass, fields
from typing import Any, Final, TypedDict

import numpy as np
import pandas as pd

from .._sides import sides
from .._terms import forward_terms
from ._arrays import Bools, Floats

__all__ = [
    "YEAR_DAYS",
    "ChainInputs",
    "ColumnNames",
    "MissingColumnsError",
    "QuoteInputs",
    "group_columns",
    "group_keys",
    "read_inputs",
]

YEAR_DAYS: Final = 365.0  # Actual/365 Fixed

# A market input given as a column name (None: the default column) or as one number for every row.
Input = str | float | None


class QuoteInputs(TypedDict, total=False):
    """The keywords of :func:`velliq.chain.implied_vols` that say where the
    inputs are: market inputs (a column name or a number) and column renames."""

    valuation_date: str | dt.date | np.datetime64 | None
    spot: Input
    rate: Input
    dividend_yield: Input
    discount: Input
    forward: Input
    underlying: str
    expiry: str
    strike: str
    side: str
    bid: str
    ask: str
    price: str


@dataclass(frozen=True)
class ColumnNames:
    """The table's column of each quote field."""

    underlying: str = "underlying"
    expiry: str = "expiry"
    strike: str = "strike"
    side: str = "side"
    bid: str = "bid"
    ask: str = "ask"
    price: str = "price"


def group_columns(columns: Container[Hashable], *, underlying: str = "underlying", expiry: str = "expiry") -> list[str]:
    """The columns whose values group a quote table's rows by forward.

    Rows of one group share a forward, estimated from that group's quotes
    alone, so whole groups can be computed apart (in chunks, on Dask
    partitions) with the same result. velliq.chain, the command line and
    velliq.dask all group by these.

    Parameters
    ----------
    columns : container
        The table's columns.
    underlying, expiry : str
        The names of those two columns.

    Returns
    -------
    list of str
        (underlying, expiry), or those of them the table has.
    """
    return [column for column in (underlying, expiry) if column in columns]


class MissingColumnsError(KeyError):
    """Columns the table needs and does not have."""

    def __init__(self, missing: list[str], expected: list[str], found: "pd.Index[str] | list[str]") -> None:
        self.missing, self.expected, self.found = list(missing), list(expected), list(found)
        super().__init__(
            f"quotes have no column {', '.join(map(repr, self.missing))}; "
            f"expected {', '.join(self.expected)}; found {', '.join(map(str, self.found))}"
        )

    def __str__(self) -> str:
        return str(self.args[0])


@dataclass(frozen=True, eq=False)
class ChainInputs:
    """A quote table's inputs as float64 arrays, one element per row."""

    names: ColumnNames
    years: Floats
    strike: Floats
    is_call: Bools
    bid: Floats
    ask: Floats
    mid: Floats  # ``price`` when given, else the mean of bid and ask
    S: Floats
    D: Floats
    F: Floats | None  # None: estimated from the quotes


def _years(expiry: "pd.Series[Any]", valuation_date: str | dt.date | np.datetime64 | None) -> Floats:
    if pd.api.types.is_numeric_dtype(expiry):
        return expiry.to_numpy(np.float64)
    dates = pd.to_datetime(expiry)
    if valuation_date is None:
        raise ValueError("expiry holds dates: give valuation_date (or expiries as year fractions)")
    days = (dates - pd.Timestamp(valuation_date)).dt.days
    return days.to_numpy(np.float64) / YEAR_DAYS


def _input(quotes: pd.DataFrame, value: Input, name: str, needed: list[str] | None) -> Floats | None:
    """A column (by name) or a number, as float64 values per row; None when absent."""
    if value is None or isinstance(value, str):
        column = value or name
        if column in quotes.columns:
            return quotes[column].to_numpy(np.float64, na_value=np.nan)
        if needed is not None:
            needed.append(column)
        return None
    return np.full(len(quotes), float(value))


def _column_names(renames: dict[str, str]) -> ColumnNames:
    known = {field.name for field in fields(ColumnNames)}
    unexpected = sorted(set(renames) - known)
    if unexpected:
        raise TypeError(f"unexpected keyword arguments {unexpected}")
    return ColumnNames(**renames)


def read_inputs(
    quotes: pd.DataFrame,
    valuation_date: str | dt.date | np.datetime64 | None = None,
    spot: Input = None,
    rate: Input = None,
    dividend_yield: Input = None,
    discount: Input = None,
    forward: Input = None,
    **renames: str,
) -> ChainInputs:
    """The table's inputs (``F`` None when it must be estimated from the quotes).

    Raises :class:`MissingColumnsError` naming every column that is needed and
    absent, and ``TypeError`` for a keyword that names no column.
    """
    names = _column_names(renames)
    missing = [c for c in (names.expiry, names.strike, names.side) if c not in quotes.columns]
    if names.price not in quotes.columns and not {names.bid, names.ask} <= set(quotes.columns):
        missing.append(f"{names.bid} and {names.ask}, or {names.price}")
    n = len(quotes)
    needed: list[str] = []
    D = _input(quotes, discount, "discount", None)
    F = _input(quotes, forward, "forward", None)
    S = _input(quotes, spot, "spot", needed if F is None else None)
    r = _input(quotes, rate, "rate", needed if D is None else None)
    q = _input(quotes, dividend_yield, "dividend_yield", None)
    missing += needed
    if missing:
        expected = [names.expiry, names.strike, names.side] + [
            f"{names.bid}/{names.ask} or {names.price}",
            "spot",
            "rate (or discount)",
            "dividend_yield or forward (optional)",
        ]
        raise MissingColumnsError(missing, expected, list(quotes.columns))

    def column(name: str) -> Floats:
        return quotes[name].to_numpy(np.float64, na_value=np.nan) if name in quotes else np.full(n, np.nan)

    years = _years(quotes[names.expiry], valuation_date)
    bid, ask = column(names.bid), column(names.ask)
    mid = column(names.price) if names.price in quotes else 0.5 * (bid + ask)
    S = S if S is not None else np.full(n, np.nan)
    if D is None:
        assert r is not None  # a missing rate was refused above
        D = np.exp(-r * years)
    if F is None and q is not None:
        if r is None:
            with np.errstate(divide="ignore", invalid="ignore"):
                r = -np.log(D) / years
        F = np.asarray(forward_terms(S, r, q, years)[1])
    return ChainInputs(
        names=names,
        years=years,
        strike=column(names.strike),
        is_call=np.asarray(sides(quotes[names.side]), dtype=np.bool_),
        bid=bid,
        ask=ask,
        mid=mid,
        S=S,
        D=D,
        F=F,
    )


def group_keys(quotes: pd.DataFrame, inputs: ChainInputs) -> pd.DataFrame:
    """Per row, the (underlying, expiry) its forward belongs to, the expiry as years."""
    names = inputs.names
    keys: dict[str, object] = {}
    for column in group_columns(quotes.columns, underlying=names.underlying, expiry=names.expiry):
        if column == names.expiry:
            keys["expiry_key"] = inputs.years
        else:
            keys["underlying_key"] = quotes[column].to_numpy()
    return pd.DataFrame(keys)
