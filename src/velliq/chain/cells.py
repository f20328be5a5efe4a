"""A quote table's columns read as numbers, dates or sides, and the error that
names the first cell which is none, so that no caller has to look for it again."""

from collections.abc import Callable, Hashable, Mapping
from typing import Any

import numpy as np
import pandas as pd

from .._sides import is_side, sides
from ._arrays import Bools, Floats

__all__ = ["CellError", "Reader", "TableError", "dates", "earliest_error", "floats", "is_call", "row_label"]

_SIDES_ACCEPTED = "'c'/'call' or 'p'/'put' (any case), True/False, or 1/-1"


def row_label(label: object) -> object:
    """An index label as it prints for a user (a NumPy integer as a plain one)."""
    return label.item() if isinstance(label, np.generic) else label


class CellError(ValueError):
    """A cell that cannot be read as what its column holds.

    Attributes: ``column`` (its name), ``row`` (its index label), ``position``
    (its row's position in the table, from 0), ``value``, ``expected`` ("a
    number", "a date" or "a side") and ``problem`` (what the message says of it).
    """

    def __init__(
        self, column: Hashable, row: object, position: int, value: object, expected: str, problem: str
    ) -> None:
        super().__init__(column, row, position, value, expected, problem)  # the arguments pickle it
        self.column, self.row, self.position = column, row, position
        self.value, self.expected, self.problem = value, expected, problem

    def __str__(self) -> str:
        return f"column {self.column!r}, row {self.row!r}: {self.problem}"


class TableError(ValueError):
    """A quote table that cannot be read for a fault of more than one cell:
    a column name given twice, rows that contradict each other.

    Attributes: ``column`` (the column at fault, or None) and ``rows`` (the
    index labels of the rows at fault; empty for a whole column)."""

    def __init__(self, message: str, column: Hashable = None, rows: tuple[object, ...] = ()) -> None:
        super().__init__(message, column, rows)  # the arguments pickle it
        self.column, self.rows = column, rows

    def __str__(self) -> str:
        return str(self.args[0])


def _refused(column: "pd.Series[Any]", position: int, expected: str, problem: str) -> CellError:
    return CellError(column.name, row_label(column.index[position]), position, column.iloc[position], expected, problem)


def _first(refused: "pd.Series[bool] | Bools") -> int:
    return int(np.flatnonzero(np.asarray(refused))[0])


def floats(column: "pd.Series[Any]") -> Floats:
    """A column as float64 (missing values NaN); :class:`CellError` for the
    first cell that is no number."""
    try:
        return column.to_numpy(np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        numbers = pd.to_numeric(column, errors="coerce")
        bad = numbers.isna() & column.notna()
        if not bad.any():
            raise
        position = _first(bad)
        raise _refused(column, position, "a number", f"{column.iloc[position]!r} is not a number") from None


def dates(column: "pd.Series[Any]") -> "pd.Series[pd.Timestamp]":
    """A column as timestamps (missing values NaT); :class:`CellError` for the
    first cell that is no date. A date with a time zone is read as its own
    wall clock there (its calendar date and time of day), without the zone, so
    that dates of any zone, or none, compare as the quotes' own days."""
    try:
        read = _distinct_dates(column)
    except (TypeError, ValueError):  # several time zones, or a cell that is no date: read cell by cell
        stamps = pd.Series([_wall_clock(value) for value in column], index=column.index, dtype=object)
        bad = column.notna() & stamps.isna()
        if bad.any():
            position = _first(bad)
            raise _refused(column, position, "a date", f"{column.iloc[position]!r} is not a date") from None
        read = pd.to_datetime(stamps)
    if isinstance(read.dtype, pd.DatetimeTZDtype):
        read = read.dt.tz_localize(None)
    return read


def _distinct_dates(column: "pd.Series[Any]") -> "pd.Series[Any]":
    """``pd.to_datetime`` of the column, each distinct value read once: a
    column of text is told apart by its codes, never turned into a Python
    string per row (a million rows hold a few dozen dates)."""
    if pd.api.types.is_datetime64_any_dtype(column) or isinstance(column.dtype, pd.CategoricalDtype):
        return pd.to_datetime(column)
    codes, distinct = pd.factorize(column)  # missing values: code -1
    read = pd.to_datetime(pd.Series(distinct, dtype=column.dtype))
    return pd.Series(read.array.take(codes, allow_fill=True), index=column.index, name=column.name)


def _wall_clock(value: object) -> pd.Timestamp | None:
    """A cell as a timestamp without time zone (its wall clock there); None when it is no date."""
    try:
        stamp = pd.Timestamp(value)  # type: ignore[arg-type]  # any cell: what is no date raises
    except (TypeError, ValueError):
        return None
    if pd.isna(stamp):
        return None
    return stamp.tz_localize(None) if stamp.tzinfo is not None else stamp


def is_call(column: "pd.Series[Any]") -> Bools:
    """:func:`velliq.sides` of a column, read once per distinct label; False
    where the side is missing. :class:`CellError` for the first side that is none."""
    if pd.api.types.is_bool_dtype(column) and not isinstance(column.dtype, pd.CategoricalDtype):
        return column.to_numpy(np.bool_)
    codes, labels = pd.factorize(column)  # missing values: code -1; a categorical's unused categories left out
    objects = np.asarray(labels, dtype=object)
    try:
        label_sides = np.asarray(sides(objects), dtype=np.bool_)
    except ValueError:
        known = np.array([is_side(label) for label in objects], dtype=np.bool_)
        position = _first(~known[codes] & (codes >= 0))
        value = column.iloc[position]
        raise _refused(column, position, "a side", f"side {value!r} is not {_SIDES_ACCEPTED}") from None
    return np.where(codes >= 0, label_sides[codes], False) if codes.size else np.zeros(0, np.bool_)


# How a column is read: floats, dates or is_call.
Reader = Callable[["pd.Series[Any]"], object]


def earliest_error(quotes: pd.DataFrame, readers: Mapping[str, Reader], error: CellError) -> CellError:
    """Of the cells the ``readers`` refuse in the whole table, the one in its
    earliest row (the first reader's on a tie); ``error`` when none is refused.

    Chunks of the table and its columns are read one after another, so the
    first refusal met need not be the first in the table."""
    refused: list[CellError] = []
    for column, reader in readers.items():
        if column in quotes.columns:
            try:
                reader(quotes[column])
            except CellError as found:
                refused.append(found)
    return min(refused, key=lambda found: found.position, default=error)
