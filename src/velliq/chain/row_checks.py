"""What a group of rows says about each of its quotes before any volatility
is solved: missing inputs, expiry, crossed and one-sided quotes, repeats and
quotes that break no-arbitrage bounds. The quotes flagged never enter the
forward estimate."""

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from ._arrays import Bools, Floats, Ints
from .arbitrage import arbitrage_rows
from .cells import TableError, row_label
from .inputs import SPOT_TOLERANCE, ChainInputs, ColumnNames
from .repeats import duplicate_rows
from .statuses import RowFlags

__all__ = ["RowChecks", "check_rows", "group_ids"]


@dataclass(frozen=True)
class RowChecks:
    """Per row: its group's number (-1 where a key is missing; ``n_groups`` in all), the table's
    own flags, repeats, and the quotes blamed for a broken bound."""

    group: Ints
    n_groups: int
    flags: RowFlags
    duplicate: Bools
    arbitrage: Bools

    @property
    def usable(self) -> Bools:
        """Rows whose quotes may inform the forward."""
        return ~(self.flags.unusable() | self.duplicate | self.arbitrage)


def _refuse_several_spots(group: Ints, S: Floats, names: ColumnNames, index: "pd.Index[Any]") -> None:
    """:class:`TableError` naming two rows when one group's positive spots are several underlyings'."""
    with np.errstate(invalid="ignore"):
        rows = np.flatnonzero((group >= 0) & np.isfinite(S) & (S > 0))
    if rows.size == 0:
        return
    spots = pd.Series(S[rows]).groupby(group[rows])
    low, high = spots.transform("min").to_numpy(), spots.transform("max").to_numpy()
    apart = high > low * (1 + SPOT_TOLERANCE)
    if apart.any():
        first = int(np.flatnonzero(apart)[0])
        other = rows[(group[rows] == group[rows[first]]) & (S[rows] != S[rows[first]])][0]
        raise TableError(
            f"rows {row_label(index[rows[first]])!r} and {row_label(index[other])!r} "
            "share an (underlying, valuation date, expiry) "
            f"but have spots {float(S[rows[first]])!r} and {float(S[other])!r}: several underlyings; "
            f"name each row's underlying in a column {names.underlying!r}",
            rows=(row_label(index[rows[first]]), row_label(index[other])),
        )


def group_ids(keys: pd.DataFrame) -> tuple[Ints, int]:
    """Per row, its group's number (-1 where a key is missing), and the count of groups."""
    ids = keys.groupby(list(keys.columns), sort=False, dropna=True).ngroup()
    group = ids.to_numpy(np.float64, na_value=-1).astype(np.intp)
    return group, int(group.max()) + 1 if group.size else 0


def check_rows(keys: pd.DataFrame, table: ChainInputs, index: "pd.Index[Any]") -> RowChecks:
    """The checks of these rows (whole groups), ``keys`` their :func:`group_keys`."""
    group, n_groups = group_ids(keys)
    _refuse_several_spots(group, table.S, table.names, index)
    flags = RowFlags(table.years, table.strike, table.S, table.D, table.has_side, table.bid, table.ask, table.mid)
    known = ~(flags.missing | flags.expired)
    duplicate = duplicate_rows(group, table.strike, table.is_call, table.bid, table.ask, table.mid, known)
    judged = ~(flags.unusable() | duplicate)
    arbitrage = arbitrage_rows(group, table.strike, table.is_call, table.bid, table.ask, table.mid, table.S, judged)
    return RowChecks(group, n_groups, flags, duplicate, arbitrage)
