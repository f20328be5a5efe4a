"""The first cell of a quote table that cannot be read as what its column
holds, found after velliq.chain refused the table, so that a message can name
the column and the row."""

from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from ._sides import is_side

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["BadCell", "first_bad_cell"]

Flags = npt.NDArray[np.bool_]


@dataclass(frozen=True)
class BadCell:
    column: str
    row: int  # position in the table, from 0
    value: object
    expected: str  # what the column holds: a number, a date or a side


def first_bad_cell(
    quotes: "pd.DataFrame", *, numbers: Iterable[str] = (), dates: Iterable[str] = (), side: str | None = None
) -> BadCell | None:
    """The first row's bad cell among the named columns (those the table has),
    read as velliq.chain reads them: numbers by ``float``, dates by
    ``pandas.to_datetime`` of the whole column, sides by :func:`velliq.sides`."""
    checks: list[tuple[str, Any, str]] = [(c, _not_numbers, "a number") for c in numbers]
    checks += [(c, _not_dates, "a date") for c in dates]
    checks += [(side, _not_sides, "a side (C or P, call or put)")] if side is not None else []
    found: list[BadCell] = []
    for column, refused, expected in checks:
        if column not in quotes.columns:
            continue
        bad = np.flatnonzero(refused(quotes[column]))
        if len(bad):
            row = int(bad[0])
            found.append(BadCell(column, row, quotes[column].iloc[row], expected))
    return min(found, key=lambda cell: cell.row, default=None)


def _not_numbers(column: "pd.Series[Any]") -> Flags:
    if column.dtype.kind in "biuf":
        return np.zeros(len(column), dtype=np.bool_)
    refused = [value for value in column.dropna().unique() if not _is_number(value)]
    return column.isin(refused).to_numpy(np.bool_)


def _is_number(value: object) -> bool:
    try:
        float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return False
    return True


def _not_dates(column: "pd.Series[Any]") -> Flags:
    import pandas as pd

    return (column.notna() & pd.to_datetime(column, errors="coerce").isna()).to_numpy(np.bool_)


def _not_sides(column: "pd.Series[Any]") -> Flags:
    refused = [label for label in column.dropna().unique() if not is_side(label)]
    return (column.isin(refused) | column.isna()).to_numpy(np.bool_)
