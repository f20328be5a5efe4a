"""Where a quote table's spot comes from when it has no column of spots: the
mid of the underlying's bid and ask columns, or a spot implied by the quotes'
put-call parity (velliq.chain.spot_search)."""

from collections.abc import Callable
from dataclasses import dataclass
from typing import Final, TypeAlias

import numpy as np
import pandas as pd

from ._arrays import Floats
from .cells import floats as _floats

__all__ = [
    "IMPLIED",
    "ImpliedSpot",
    "SpotColumns",
    "SpotInput",
    "missing_spot",
    "source_columns",
    "spot_from_quotes",
    "spot_source",
]

# ``spot=IMPLIED`` asks for the spot each (underlying, valuation date) implies.
IMPLIED: Final = "implied"

# Where a spot given as a column name or a number is read from: the column, the number, or nowhere.
_Plain: TypeAlias = "str | float | pd.Series[float] | None"

# What ``spot=`` takes: a column name (None: the column ``spot``), one number for every row,
# the (bid, ask) columns of the underlying, or IMPLIED.
SpotInput: TypeAlias = "str | float | pd.Series[float] | tuple[str, str] | None"


@dataclass(frozen=True)
class SpotColumns:
    """The spot as the mid of the underlying's bid and ask columns."""

    bid: str
    ask: str

    def mids(self, quotes: pd.DataFrame) -> Floats:
        """Per row, the mean of bid and ask; NaN where either is missing or not positive."""
        bid, ask = _floats(quotes[self.bid]), _floats(quotes[self.ask])
        with np.errstate(invalid="ignore"):
            quoted = (bid > 0) & (ask > 0)
        mids: Floats = np.where(quoted, 0.5 * (bid + ask), np.nan)
        return mids


@dataclass(frozen=True)
class ImpliedSpot:
    """The spot implied by the quotes, per (underlying, valuation date)."""

    def mids(self, quotes: pd.DataFrame) -> None:
        """Nothing to read from the rows: the implied spots are filled in once found."""
        return None


def spot_from_quotes(spot: object) -> bool:
    """Whether ``spot=`` asks for a spot made from other columns or implied by the quotes."""
    return isinstance(spot, tuple) or (isinstance(spot, str) and spot == IMPLIED)


def spot_source(
    columns: "pd.Index[str]", spot: SpotInput, plain: Callable[["pd.Index[str]", _Plain, str], _Plain]
) -> "SpotColumns | ImpliedSpot | _Plain":
    """Where ``spot=`` is read from: ``plain`` reads a column name or a number; None, as for an absent
    column, when a column of the pair is absent."""
    if not isinstance(spot, tuple):
        return ImpliedSpot() if isinstance(spot, str) and spot == IMPLIED else plain(columns, spot, "spot")
    if len(spot) != 2 or not all(isinstance(column, str) for column in spot):
        raise TypeError(f"spot= as columns is the pair (bid column, ask column), not {spot!r}")
    return SpotColumns(*spot) if set(spot) <= set(columns) else None


def missing_spot(columns: "pd.Index[str]", spot: SpotInput) -> list[str]:
    """The columns ``spot=`` names that the table lacks ("spot" when none is named)."""
    if isinstance(spot, tuple):
        return [column for column in spot if column not in columns]
    return [spot if isinstance(spot, str) else "spot"]


def source_columns(source: object) -> tuple[str, ...]:
    """The columns an input is read from (a spot from two)."""
    if isinstance(source, SpotColumns):
        return (source.bid, source.ask)
    return (source,) if isinstance(source, str) else ()
