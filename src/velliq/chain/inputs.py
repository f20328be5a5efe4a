"""A quote table's inputs read into float64 arrays per row, and the grouping of its
rows by (underlying, valuation date, expiry), the unit a forward belongs to."""

import datetime as dt
from collections.abc import Container, Hashable
from dataclasses import dataclass, fields, replace
from typing import TYPE_CHECKING, Final, TypeAlias, TypedDict

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._terms import forward_terms, implied_rate
from ._arrays import Bools, Floats
from .cells import CellError, Reader, TableError, earliest_error
from .cells import dates as _dates
from .cells import floats as _floats
from .cells import is_call as _is_call
from .given_inputs import Source, given_value, refuse_unmatched, source_values, warn_percent
from .spot_inputs import (
    ImpliedSpot,
    SpotColumns,
    SpotInput,
    missing_spot,
    refuse_given_carry,
    source_columns,
    spot_source,
)
from .weekend_expiries import roll_argument, weekend_expiries

if TYPE_CHECKING:
    from .dividend_inputs import RowDividends

__all__ = [
    "YEAR_DAYS",
    "ChainInputs",
    "ColumnNames",
    "MissingColumnsError",
    "QuoteInputs",
    "QuoteLayout",
    "SPOT_TOLERANCE",
    "ValuationDateError",
    "group_columns",
    "group_keys",
    "quote_layout",
]

YEAR_DAYS: Final = 365.0  # Actual/365 Fixed
_YEAR_SECONDS: Final = YEAR_DAYS * 86400.0  # a date-only expiry gives exactly its days / YEAR_DAYS

# Integer expiries at least this large are dates written as YYYYMMDD, not year fractions.
_YYYYMMDD_FLOOR: Final = 10_000_000

# Spots of one group further apart than this (relative) are several underlyings' spots.
SPOT_TOLERANCE: Final = 0.01

# A market input: a column name (None: the default column), one number for every row, or a Series by row label.
Input: TypeAlias = "str | float | pd.Series[float] | None"

# One date for every row, or (a str naming one) the column of each row's date.
ValuationDate = str | dt.date | np.datetime64 | None

Dates: TypeAlias = npt.NDArray[np.datetime64]


class QuoteInputs(TypedDict, total=False):
    """The keywords of :func:`velliq.chain.implied_vols` that say where the
    inputs are: market inputs (a column name or a number) and column renames."""

    valuation_date: ValuationDate
    spot: SpotInput
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
    valuation_date: str | None = None  # the column of quote dates; None: one date (or none) for every row


def group_columns(
    columns: Container[Hashable],
    *,
    underlying: str = "underlying",
    expiry: str = "expiry",
    valuation_date: object = None,
) -> list[str]:
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
    valuation_date : optional
        The ``valuation_date`` given to :func:`implied_vols`: a column name
        groups too; a date, or None, does not.

    Returns
    -------
    list of str
        (underlying, valuation date, expiry), or those of them the table has.
    """
    named = (underlying, valuation_date if isinstance(valuation_date, str) else None, expiry)
    return [column for column in named if column is not None and column in columns]


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
    has_side: Bools  # False where the side is missing
    S: Floats
    D: Floats
    F: Floats | None  # None: estimated from the quotes
    dividends: "RowDividends | None" = None  # each row's cash dividends, when a table of them is given


class ValuationDateError(ValueError):
    """A valuation date that is neither a column of the table nor a date."""

    def __init__(self, value: object, found: "pd.Index[str] | list[str]") -> None:
        self.value, self.found = value, list(found)
        super().__init__(
            f"valuation_date {value!r} is neither a column of the quotes nor a date; "
            f"found columns {', '.join(map(str, self.found))}"
        )


def _one_date(columns: "pd.Index[str]", valuation_date: ValuationDate) -> pd.Timestamp | None:
    """The date shared by every row; None when there is none or a column holds them."""
    if valuation_date is None or (isinstance(valuation_date, str) and valuation_date in columns):
        return None
    try:
        date = pd.Timestamp(valuation_date)
    except (TypeError, ValueError) as error:
        raise ValuationDateError(valuation_date, list(columns)) from error
    if pd.isna(date):
        raise ValuationDateError(valuation_date, list(columns))
    return date.tz_localize(None) if date.tzinfo is not None else date  # its own wall clock, as a column's


def _source(columns: "pd.Index[str]", value: Input, name: str) -> Source:
    if value is None or isinstance(value, str):
        column = value or name
        return column if column in columns else None
    return given_value(value, name)


def _values(quotes: pd.DataFrame, source: "Source | SpotColumns | ImpliedSpot") -> Floats | None:
    if isinstance(source, (SpotColumns, ImpliedSpot)):
        return source.mids(quotes)
    return source_values(quotes, source)


@dataclass(frozen=True)
class QuoteLayout:
    """Where a quote table's inputs are, checked once; read in chunks of rows."""

    names: ColumnNames
    valuation_date: pd.Timestamp | None  # every row's, unless names.valuation_date is a column of them
    spot: "Source | SpotColumns | ImpliedSpot"
    rate: Source
    dividend_yield: Source
    discount: Source
    forward: Source
    roll_weekend_expiries: bool = False  # expiry dates on a weekend move to the preceding Friday

    @property
    def estimates_forward(self) -> bool:
        """Whether the forwards come from the quotes (neither forward nor dividend yield given)."""
        return self.forward is None and self.dividend_yield is None

    def dates(self, quotes: pd.DataFrame) -> Dates | None:
        """Per row, its valuation date when a column gives them."""
        column = self.names.valuation_date
        if column is None:
            return None
        if pd.api.types.is_numeric_dtype(quotes[column]):  # pandas would read them as nanoseconds since 1970
            raise TableError(
                f"column {column!r} holds numbers ({quotes[column].dtype}), not quote dates: convert them, "
                "e.g. with pandas.to_datetime(..., format='%Y%m%d')",
                column=column,
            )
        return _dates(quotes[column]).to_numpy()

    def years(self, quotes: pd.DataFrame, dates: Dates | None) -> Floats:
        """Per row, the time to expiry in years (Actual/365 Fixed for dates)."""
        expiry = quotes[self.names.expiry]
        if pd.api.types.is_timedelta64_dtype(expiry):
            raise TableError(
                f"column {self.names.expiry!r} holds durations ({expiry.dtype}), not expiry dates or years: "
                "give the dates, or the years (durations / pandas.Timedelta(days=365))",
                column=self.names.expiry,
            )
        if pd.api.types.is_numeric_dtype(expiry):
            years = _floats(expiry)
            dated = np.isfinite(years) & (years >= _YYYYMMDD_FLOOR) & (years == np.round(years))
            if dated.any():
                raise ValueError(
                    f"column {self.names.expiry!r} holds integers that read as dates "
                    f"(e.g. {int(years[dated][0])} as YYYYMMDD), not year fractions: "
                    "convert them with pandas.to_datetime(..., format='%Y%m%d') and give valuation_date"
                )
            return years
        start = self.valuation_date if dates is None else dates
        if start is None:
            raise ValueError(
                f"column {self.names.expiry!r} holds dates: give valuation_date (or expiries as year fractions)"
            )
        expiries = weekend_expiries(_dates(expiry), self.names.expiry, self.roll_weekend_expiries, stacklevel=5)
        seconds = (expiries - start).dt.total_seconds()  # a time of day counts
        return seconds.to_numpy(np.float64) / _YEAR_SECONDS

    def first_bad_cell(self, quotes: pd.DataFrame, error: CellError) -> CellError:
        """Of every cell these inputs are read from, the one in the earliest row
        that cannot be read (``error``, met first, being one)."""
        names = self.names
        given = (self.spot, self.rate, self.dividend_yield, self.discount, self.forward)
        readers: dict[str, Reader] = {c: _floats for c in (names.strike, names.bid, names.ask, names.price)}
        readers |= {c: _floats for source in given for c in source_columns(source)}
        expiry = names.expiry
        readers[expiry] = _floats if pd.api.types.is_numeric_dtype(quotes[expiry]) else _dates
        if names.valuation_date is not None:
            readers.setdefault(names.valuation_date, _dates)
        readers[names.side] = _is_call
        return earliest_error(quotes, readers, error)

    def is_call(self, quotes: pd.DataFrame) -> Bools:
        return _is_call(quotes[self.names.side])

    def read(self, quotes: pd.DataFrame, years: Floats, is_call: Bools) -> ChainInputs:
        """The inputs of these rows, given their years and sides."""
        names, n = self.names, len(quotes)

        def column(name: str) -> Floats:
            return _floats(quotes[name]) if name in quotes else np.full(n, np.nan)

        bid, ask = column(names.bid), column(names.ask)
        mid = column(names.price) if names.price in quotes else 0.5 * (bid + ask)
        D, F = _values(quotes, self.discount), _values(quotes, self.forward)
        S, rate = _values(quotes, self.spot), _values(quotes, self.rate)
        dividend_yield = _values(quotes, self.dividend_yield)
        warn_percent(rate, "rate", self.rate)
        warn_percent(dividend_yield, "dividend_yield", self.dividend_yield)
        S = S if S is not None else np.full(n, np.nan)
        forward_from_rates = F is None and dividend_yield is not None
        if D is None or forward_from_rates:
            if rate is None:  # quote_layout refused a table with neither rate nor discount
                assert D is not None
                rate = implied_rate(D, years)
            D_of_rate, F_of_rates = forward_terms(S, rate, 0.0 if dividend_yield is None else dividend_yield, years)
            D = np.asarray(D_of_rate) if D is None else D
            F = np.asarray(F_of_rates) if forward_from_rates else F
        return ChainInputs(
            names=names,
            years=years,
            strike=column(names.strike),
            is_call=is_call,
            bid=bid,
            ask=ask,
            mid=mid,
            has_side=quotes[names.side].notna().to_numpy(),
            S=S,
            D=D,
            F=F,
        )


def _column_names(renames: dict[str, str]) -> ColumnNames:
    known = {field.name for field in fields(ColumnNames)} - {"valuation_date"}
    unexpected = sorted(set(renames) - known)
    if unexpected:
        raise TypeError(f"unexpected keyword arguments {unexpected}")
    return ColumnNames(**renames)


def _refuse_twice_named(columns: "pd.Index[str]", read: list[object]) -> None:
    """:class:`TableError` for a column the inputs are read from whose name the table gives twice."""
    names = [name for name in read if isinstance(name, str)]
    twice = next((name for name in names if int((columns == name).sum()) > 1), None)
    if twice is not None:
        raise TableError(f"the quotes have {int((columns == twice).sum())} columns named {twice!r}", column=twice)


def quote_layout(
    quotes: pd.DataFrame,
    valuation_date: ValuationDate = None,
    spot: SpotInput = None,
    rate: Input = None,
    dividend_yield: Input = None,
    discount: Input = None,
    forward: Input = None,
    roll_weekend_expiries: bool = False,
    **renames: str,
) -> QuoteLayout:
    """Where the table's inputs are.

    Raises :class:`MissingColumnsError` naming every column that is needed and
    absent, :class:`TableError` naming a column it reads that the table has twice,
    :class:`ValuationDateError` for a valuation date that is neither a
    column nor a date, and ``TypeError`` for a keyword that names no column.
    """
    names = _column_names(renames)
    roll = roll_argument(roll_weekend_expiries)
    columns = quotes.columns
    one_date = _one_date(columns, valuation_date)
    if one_date is None and valuation_date is not None:
        names = replace(names, valuation_date=str(valuation_date))
    missing = [c for c in (names.expiry, names.strike, names.side) if c not in columns]
    if names.price not in columns and not {names.bid, names.ask} <= set(columns):
        missing.append(f"{names.bid} and {names.ask}, or {names.price}")
    spot_from = spot_source(columns, spot, _source)
    sources = {
        "discount": _source(columns, discount, "discount"),
        "forward": _source(columns, forward, "forward"),
        "rate": _source(columns, rate, "rate"),
        "dividend_yield": _source(columns, dividend_yield, "dividend_yield"),
    }
    _refuse_twice_named(columns, [*vars(names).values(), *sources.values(), *source_columns(spot_from)])
    if isinstance(spot_from, ImpliedSpot):
        refuse_given_carry(sources)
    plain_spot = None if isinstance(spot_from, (SpotColumns, ImpliedSpot)) else spot_from
    refuse_unmatched(quotes.index, {"spot": plain_spot, **sources})
    if spot_from is None and sources["forward"] is None:
        missing.extend(missing_spot(columns, spot))
    if sources["rate"] is None and sources["discount"] is None:
        missing.append(rate if isinstance(rate, str) else "rate")
    if missing:
        expected = [names.expiry, names.strike, names.side] + [
            f"{names.bid}/{names.ask} or {names.price}",
            "spot (a column, a number, the (bid, ask) columns of the underlying, or 'implied')",
            "rate (or discount)",
            "dividend_yield or forward (optional)",
        ]
        raise MissingColumnsError(missing, expected, list(columns))
    return QuoteLayout(names=names, valuation_date=one_date, spot=spot_from, roll_weekend_expiries=roll, **sources)


def group_keys(quotes: pd.DataFrame, names: ColumnNames, years: Floats, dates: Dates | None) -> pd.DataFrame:
    """Per row, the (underlying, valuation date, expiry) its forward belongs to,
    those of them the table has, the expiry as years."""
    keys: dict[str, object] = {}
    for column in group_columns(
        quotes.columns, underlying=names.underlying, expiry=names.expiry, valuation_date=names.valuation_date
    ):
        if column == names.expiry:
            keys["expiry_key"] = years
        elif column == names.valuation_date:
            keys["valuation_key"] = dates
        else:
            keys["underlying_key"] = quotes[column].array  # as stored: no conversion to objects
    return pd.DataFrame(keys, index=pd.RangeIndex(len(years)), copy=False)
