"""A table of cash dividends (underlying, ex_date, amount), checked once and
turned into each quote's schedule: the dividends paid between its valuation
date and its expiry, their ex-dates as fractions of its time to expiry.

A quote valued at v expiring at E gets the dividends with v < ex_date <= E:
one going ex on the valuation date is already out of the spot; one going ex
on the expiry date is kept (the payoff is taken on the spot after it, so a
put gains and a call holder exercises before it). The years to an ex-date
are those the table gives an expiry on that date, (ex_date - v) in seconds
over 365 days' seconds, so an ex-date on the expiry date is the fraction 1
exactly. Underlyings the table does not name get no dividends.
"""

import os
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any, Final, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._arrays import Floats
from .cells import dates, floats, row_label
from .inputs import _YEAR_SECONDS, ChainInputs, QuoteLayout  # an ex-date's years as an expiry's on that date

__all__ = ["DIVIDEND_COLUMNS", "DividendInput", "DividendLayout", "Dividends", "RowDividends", "dividend_table"]

# The columns of a dividend table; ``underlying`` may be left out by a table of one underlying.
DIVIDEND_COLUMNS: Final = ("underlying", "ex_date", "amount")

# The schedule's padding: a fraction after expiry, which the dividend model ignores.
_PAD_FRACTION: Final = np.inf
_SHOWN_ROWS: Final = 5  # rows named in an error


@dataclass(frozen=True, eq=False)
class RowDividends:
    """Per row, its schedule: ``fractions`` (ex-dates as fractions of the row's
    years, ascending) and ``amounts``, both (rows, n), padded with +inf and 0."""

    fractions: npt.NDArray[np.float64]
    amounts: npt.NDArray[np.float64]

    def __getitem__(self, rows: Any) -> "RowDividends":
        return RowDividends(self.fractions[rows], self.amounts[rows])

    def __len__(self) -> int:
        return len(self.fractions)

    @property
    def paid(self) -> npt.NDArray[np.bool_]:
        """Per row and slot, whether it holds a dividend (not padding)."""
        return np.isfinite(self.fractions)


@dataclass(frozen=True, eq=False)
class Dividends:
    """A checked dividend table: per underlying (as stored), its ex-dates in
    ascending order and their amounts; ``underlyings`` None for a table that
    names none (one underlying's)."""

    underlyings: "pd.Index[Any] | None"
    ex_dates: list["pd.Series[Any]"]  # per underlying, its dates as timestamps
    amounts: list[Floats]

    def of_rows(self, layout: "QuoteLayout", quotes: pd.DataFrame, years: Floats) -> RowDividends:
        """Per row of ``quotes`` (read by ``layout``, ``years`` to expiry), its dividends."""
        names = layout.names
        start = layout.valuation_date if names.valuation_date is None else layout.dates(quotes)
        if start is None:
            raise ValueError("dividends= needs valuation_date: the ex-dates are dates")
        underlying = quotes[names.underlying] if names.underlying in quotes else None
        return self.for_rows(underlying, start, years)

    def for_rows(self, underlying: "pd.Series[Any] | None", start: Any, years: Floats) -> RowDividends:
        """Per row, the schedule of its ``underlying`` (None: the quotes name none) valued at
        ``start`` (one timestamp, or one per row) with ``years`` to its expiry."""
        n = len(years)
        codes = self._codes(underlying, n)
        starts = pd.Series(np.broadcast_to(np.asarray(start, dtype="datetime64[ns]"), (n,)))
        keys = pd.DataFrame({"code": codes, "start": starts, "years": years})
        group = keys.groupby(list(keys.columns), sort=False, dropna=False).ngroup().to_numpy()
        first = np.unique(group, return_index=True)[1]
        schedules = [self._schedule(int(codes[row]), starts.iloc[row], float(years[row])) for row in first]
        width = max((len(t) for t, _ in schedules), default=0)
        fractions = np.full((len(schedules), width), _PAD_FRACTION)
        amounts = np.zeros((len(schedules), width))
        for at, (t, d) in enumerate(schedules):
            fractions[at, : len(t)], amounts[at, : len(d)] = t, d
        return RowDividends(fractions[group], amounts[group])

    def _codes(self, underlying: "pd.Series[Any] | None", n: int) -> npt.NDArray[np.intp]:
        """Per row, the number of its underlying's dividends (-1: none)."""
        if self.underlyings is None:
            return np.zeros(n, np.intp)
        if underlying is None:
            if len(self.underlyings) > 1:
                named = ", ".join(map(repr, self.underlyings[:_SHOWN_ROWS]))
                raise ValueError(
                    f"the quotes have no underlying column and the dividends are of {len(self.underlyings)} "
                    f"underlyings ({named}): give the quotes an underlying column, or one underlying's dividends"
                )
            return np.zeros(n, np.intp)
        return np.asarray(self.underlyings.get_indexer(pd.Index(underlying)), dtype=np.intp)

    def _schedule(self, code: int, start: pd.Timestamp, years: float) -> tuple[Floats, Floats]:
        """The dividends of underlying ``code`` after ``start`` and at most ``years`` later."""
        if code < 0 or pd.isna(start) or not years > 0:
            return np.zeros(0), np.zeros(0)
        ex_years = (self.ex_dates[code] - start).dt.total_seconds().to_numpy(np.float64) / _YEAR_SECONDS
        paid = (ex_years > 0) & (ex_years <= years)
        return ex_years[paid] / years, self.amounts[code][paid]


# What ``dividends=`` takes: a table, the path of a CSV or Parquet file of one, or one
# already checked.
DividendInput: TypeAlias = pd.DataFrame | str | os.PathLike[str] | Dividends


@dataclass(frozen=True)
class DividendLayout(QuoteLayout):
    """A quote table's layout whose rows, as they are read, get their cash dividends."""

    dividends: Dividends | None = None

    def read(self, quotes: pd.DataFrame, years: Floats, is_call: npt.NDArray[np.bool_]) -> ChainInputs:
        inputs = super().read(quotes, years, is_call)
        if self.dividends is None:
            return inputs
        return replace(inputs, dividends=self.dividends.of_rows(self, quotes, years))


def _read(source: DividendInput) -> pd.DataFrame:
    if isinstance(source, pd.DataFrame):
        return source
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"dividends must be a pandas DataFrame or the path of a file, not {type(source).__name__}")
    path = Path(source)
    name = path.name.lower()
    if name.endswith((".parquet", ".pq")):
        return pd.read_parquet(path)
    if ".csv" in name:
        return pd.read_csv(path)
    raise ValueError(f"dividends: {path} is neither a .csv nor a .parquet file")


def _rows(index: "pd.Index[Any]", at: npt.NDArray[np.bool_]) -> str:
    labels = [repr(row_label(label)) for label in index[at][:_SHOWN_ROWS]]
    more = int(at.sum()) - len(labels)
    return ", ".join(labels) + (f" and {more} more" if more > 0 else "")


def dividend_table(source: DividendInput) -> Dividends:
    """The checked dividends of a table (or file) with columns ``underlying``
    (optional for one underlying), ``ex_date`` (dates) and ``amount`` (cash per
    share, finite and at least 0).

    Raises ``ValueError`` naming the column, and the rows, of a fault: a column
    missing, a cell that is no date or number (a :class:`CellError`), a missing
    ex-date or underlying, an amount negative or not finite, an ex-date repeated
    for one underlying. A table already checked is returned as it is.
    """
    if isinstance(source, Dividends):
        return source
    table = _read(source)
    missing = [column for column in DIVIDEND_COLUMNS[1:] if column not in table.columns]
    if missing:
        raise ValueError(
            f"dividends have no column {', '.join(map(repr, missing))}; expected "
            f"{', '.join(DIVIDEND_COLUMNS)} (underlying optional for one underlying); "
            f"found {', '.join(map(str, table.columns))}"
        )
    # A column with no cell filled reads as floats too: that is missing dates, not numbers.
    if pd.api.types.is_numeric_dtype(table["ex_date"]) and table["ex_date"].notna().any():
        raise ValueError(f"dividends: column 'ex_date' holds numbers ({table['ex_date'].dtype}), not dates")
    ex_dates = dates(table["ex_date"])
    amounts = floats(table["amount"])
    for column, bad, fault in (
        ("ex_date", ex_dates.isna().to_numpy(), "no date"),
        ("amount", ~(np.isfinite(amounts) & (amounts >= 0)), "an amount negative, missing or not finite"),
    ):
        if bad.any():
            raise ValueError(f"dividends: column {column!r} has {fault} at rows {_rows(table.index, bad)}")
    key = ex_dates if "underlying" not in table.columns else pd.Series(list(zip(table["underlying"], ex_dates)))
    if (repeated := key.duplicated(keep=False).to_numpy()).any():
        raise ValueError(
            f"dividends: an ex-date repeats for one underlying at rows {_rows(table.index, repeated)}; give one "
            "row per dividend (its amounts summed), and one quote date's rows of a table made per date"
        )
    if "underlying" not in table.columns:
        order = np.argsort(ex_dates.to_numpy(), kind="stable")
        return Dividends(None, [ex_dates.iloc[order].reset_index(drop=True)], [amounts[order]])
    underlying = table["underlying"]
    if underlying.isna().any():
        at = underlying.isna().to_numpy()
        raise ValueError(f"dividends: column 'underlying' is missing at rows {_rows(table.index, at)}")
    codes, names = pd.factorize(underlying, sort=True)
    by_date, by_amount = [], []
    for code in range(len(names)):
        rows = np.flatnonzero(codes == code)
        rows = rows[np.argsort(ex_dates.to_numpy()[rows], kind="stable")]
        by_date.append(ex_dates.iloc[rows].reset_index(drop=True))
        by_amount.append(amounts[rows])
    return Dividends(pd.Index(names), by_date, by_amount)
