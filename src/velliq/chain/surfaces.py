"""Vol surfaces from a result of implied_vols: one per (underlying, quote date),
fitted to the bid/ask volatilities of its ``ok`` quotes, held together as one
:class:`Surfaces` whose parameters and diagnostics are tables keyed by
(underlying, valuation date)."""

from collections.abc import Hashable, Iterable, Iterator, Mapping
from os import PathLike
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import pandas as pd

from .._sides import sides
from ._arrays import Ints
from .inputs import MissingColumnsError
from .results import _group_numbers, key_values, require_column, result_layout

if TYPE_CHECKING:
    from ..surface import Surface  # imported on the first fit or read: `import velliq.chain` stays light

__all__ = ["KEY_COLUMNS", "MIN_QUOTES", "QUANTITIES", "QUOTE_SETS", "Surfaces", "surface"]

# The columns naming each surface in the tables of :class:`Surfaces`, whatever the result called them.
KEY_COLUMNS: Final = ("underlying", "valuation_date")
# An (underlying, quote date) with fewer ok quotes than this gets no surface.
MIN_QUOTES: Final = 5
# Which ok quotes a surface is fitted to: those out of the money (calls at and above the forward,
# puts below: the liquid side of each strike), or every one.
QUOTE_SETS: Final = ("out_of_the_money", "all")
# What :meth:`Surfaces.query` evaluates: the name of a method of Surface taking (strike, years).
QUANTITIES: Final = ("implied_vol", "total_variance", "call_price", "put_price", "density", "local_vol")

_NEEDED: Final = ("years", "forward", "discount", "iv_bid", "iv_ask", "status")

Key = tuple[Hashable, Any]


class Surfaces(Mapping[Key, "Surface"]):
    """The surfaces of a quote table, a ``Surface`` per
    (underlying, valuation date) key: ``surfaces[("AAPL", pd.Timestamp("2025-10-06"))]``.
    A key's underlying is None for a table of one underlying without that
    column, its date None for expiries given in years without a quote date.

    Attributes
    ----------
    groups : pandas.DataFrame
        One row per (underlying, valuation date) of the table, fitted or not:
        ``quotes`` (the ok quotes fitted), ``expiries`` and ``surface`` (False
        for a group of fewer than ``MIN_QUOTES`` ok quotes, which gets none).
    """

    def __init__(self, surfaces: Mapping[Key, "Surface"], groups: pd.DataFrame | None = None) -> None:
        self._surfaces = dict(surfaces)
        self.groups = _groups_of(self._surfaces) if groups is None else groups

    def __getitem__(self, key: Key) -> "Surface":
        return self._surfaces[key]

    def __iter__(self) -> Iterator[Key]:
        return iter(self._surfaces)

    def __len__(self) -> int:
        return len(self._surfaces)

    def __repr__(self) -> str:
        return f"<Surfaces: {len(self)} of {len(self.groups)} (underlying, valuation date) fitted>"

    @property
    def slices(self) -> pd.DataFrame:
        """Every surface's ``Surface.slices``, one row per
        expiry, after the key columns ``KEY_COLUMNS``."""
        return _keyed({key: surface.slices for key, surface in self.items()})

    def to_table(self) -> pd.DataFrame:
        """Every surface's parameters (``Surface.to_table``)
        after the key columns: :meth:`from_table` gives the surfaces back, bit
        for bit. Groups without a surface have no rows."""
        return _keyed({key: surface.to_table() for key, surface in self.items()})

    @classmethod
    def joined(cls, parts: Iterable["Surfaces"]) -> "Surfaces":
        """The surfaces of several tables of other (underlying, valuation date)s
        as one, in the order of their keys (as :func:`surface` orders them)."""
        parts = list(parts)
        surfaces = {key: surface for part in parts for key, surface in part.items()}
        tables = [part.groups for part in parts if len(part.groups)]
        if not tables:
            return cls(surfaces)
        groups = pd.concat(tables).sort_index(kind="stable")
        ordered = {key: surfaces[key] for key in _index_keys(groups.index) if key in surfaces}
        return cls(ordered, groups)

    @classmethod
    def from_table(cls, table: pd.DataFrame) -> "Surfaces":
        """The surfaces of a table of :meth:`to_table` (dates read back as
        text, from a CSV file, are read as dates again)."""
        missing = [c for c in KEY_COLUMNS if c not in table.columns]
        if missing:
            raise MissingColumnsError(missing, list(KEY_COLUMNS), list(table.columns))
        from ..surface import Surface

        underlyings = [None if pd.isna(u) else u for u in table[KEY_COLUMNS[0]]]
        dates = [None if pd.isna(d) else d for d in _dates_of(table[KEY_COLUMNS[1]])]
        keys: list[Key] = list(zip(underlyings, dates, strict=True))
        number = pd.factorize(pd.Series(keys, dtype=object))[0]
        parameters = table.drop(columns=list(KEY_COLUMNS))
        surfaces = {}
        for group in range(int(number.max(initial=-1)) + 1):
            rows = np.flatnonzero(number == group)
            surfaces[keys[rows[0]]] = Surface.from_table(parameters.iloc[rows].reset_index(drop=True))
        return cls(surfaces)

    @classmethod
    def read(cls, path: "str | PathLike[str]") -> "Surfaces":
        """The surfaces of a table :meth:`write` wrote (Parquet, or CSV read so
        that every number comes back to the last bit)."""
        name = str(path).lower()
        if name.endswith((".parquet", ".pq")):
            return cls.from_table(pd.read_parquet(path))
        if pd.__version__[:2] == "3.":  # its default parser reads every number back exactly
            return cls.from_table(pd.read_csv(path))
        return cls.from_table(pd.read_csv(path, float_precision="round_trip"))

    def write(self, path: "str | PathLike[str]") -> None:
        """:meth:`to_table` to ``path``: Parquet for a ``.parquet`` or ``.pq`` name, else CSV."""
        name = str(path).lower()
        table = self.to_table()
        if name.endswith((".parquet", ".pq")):
            table.to_parquet(path, index=False)
        else:
            table.to_csv(path, index=False)

    def query(
        self,
        points: pd.DataFrame,
        quantity: str = "implied_vol",
        *,
        strike: str = "strike",
        years: str = "years",
        underlying: str = KEY_COLUMNS[0],
        valuation_date: str = KEY_COLUMNS[1],
    ) -> "pd.Series[float]":
        """``quantity`` (one of ``QUANTITIES``) at each row's (strike, years), on
        its (underlying, valuation date)'s surface: one call per surface.

        A table without a column of underlyings or dates takes None for it
        (the key of a table of one underlying, or of one date given by value
        when there is one such surface). Rows whose key has no surface get NaN.
        """
        if quantity not in QUANTITIES:
            raise ValueError(f"quantity {quantity!r} is not one of {', '.join(QUANTITIES)}")
        missing = [c for c in (strike, years) if c not in points.columns]
        if missing:
            raise MissingColumnsError(missing, [strike, years], list(points.columns))
        keys = self._point_keys(points, underlying, valuation_date)
        number, distinct = pd.factorize(pd.Series(keys, dtype=object))
        strikes, times = (points[c].to_numpy(np.float64) for c in (strike, years))
        values = np.full(len(points), np.nan)
        order = np.argsort(number, kind="stable")
        bounds = np.searchsorted(number[order], np.arange(len(distinct) + 1))
        for group, key in enumerate(distinct):
            rows = order[bounds[group] : bounds[group + 1]]
            if key in self._surfaces:
                values[rows] = getattr(self._surfaces[key], quantity)(strikes[rows], times[rows])
        return pd.Series(values, index=points.index, name=quantity)

    def _point_keys(self, points: pd.DataFrame, underlying: str, valuation_date: str) -> list[Key]:
        """Each row's key; a missing column is every row's None, or the one value the surfaces have."""
        count = len(points)
        if underlying in points.columns:
            names: list[Hashable] = list(points[underlying])
        else:
            names = [_only({key[0] for key in self._surfaces})] * count
        if valuation_date in points.columns:
            dates = list(_dates_of(points[valuation_date]))
        else:
            dates = [_only({key[1] for key in self._surfaces})] * count
        return list(zip(names, dates, strict=True))


def _index_keys(index: "pd.Index[Any]") -> list[Key]:
    """The keys of a groups table's index, a missing level value as None."""
    return [(None if pd.isna(name) else name, None if pd.isna(date) else date) for name, date in index]


def _only(values: set[Any]) -> Any:
    """The one value of a set of one; None otherwise."""
    return next(iter(values)) if len(values) == 1 else None


def _dates_of(column: "pd.Series[Any]") -> Any:
    """A column of quote dates as the keys hold them: dates as Timestamps, text read as dates."""
    if column.isna().all() or pd.api.types.is_numeric_dtype(column):
        return column.array
    return key_values(column)


def _keyed(tables: Mapping[Key, pd.DataFrame]) -> pd.DataFrame:
    """The tables one after another, each after the columns of its key."""
    if not tables:
        return pd.DataFrame({c: pd.Series(dtype=object) for c in KEY_COLUMNS})
    parts = []
    for (name, date), table in tables.items():
        keyed = table.reset_index(drop=True)
        keyed.insert(0, KEY_COLUMNS[1], pd.Series([date] * len(keyed), dtype=object))
        keyed.insert(0, KEY_COLUMNS[0], pd.Series([name] * len(keyed), dtype=object))
        parts.append(keyed)
    joined = pd.concat(parts, ignore_index=True)
    dates = joined[KEY_COLUMNS[1]]
    if dates.map(lambda d: isinstance(d, pd.Timestamp)).all():
        joined[KEY_COLUMNS[1]] = pd.to_datetime(dates)
    return joined


def _groups_of(surfaces: Mapping[Key, "Surface"]) -> pd.DataFrame:
    """The groups table of surfaces read back from their parameters: every one fitted."""
    quotes = [int(surface.slices["quotes"].sum()) for surface in surfaces.values()]
    expiries = [len(surface.slices) for surface in surfaces.values()]
    return _groups_table(list(surfaces), quotes, expiries, [True] * len(surfaces))


def _groups_table(keys: list[Key], quotes: list[int], expiries: list[int], fitted: list[bool]) -> pd.DataFrame:
    index = pd.MultiIndex.from_tuples(keys, names=list(KEY_COLUMNS)) if keys else None
    return pd.DataFrame(
        {
            "quotes": pd.Series(quotes, dtype=np.int64).to_numpy(),
            "expiries": pd.Series(expiries, dtype=np.int64).to_numpy(),
            "surface": pd.Series(fitted, dtype=bool).to_numpy(),
        },
        index=index,
    )


def surface(
    result: pd.DataFrame,
    *,
    underlying: str | None = None,
    expiry: str | None = None,
    strike: str | None = None,
    side: str | None = None,
    valuation_date: object = None,
    quotes: str = "out_of_the_money",
) -> Surfaces:
    """The vol surface of each (underlying, valuation date) of a result of
    :func:`implied_vols`, fitted by ``velliq.surface.Surface.fit`` to its
    ``ok`` quotes' ``iv_bid`` and ``iv_ask`` at the result's ``years``,
    ``forward`` and ``discount`` (under the model that computed them, so an
    American quote's early-exercise premium is not taken for smile).

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    underlying, expiry, strike, side, valuation_date : optional
        Its columns (a column of quote dates, or the one date); by default
        those the result recorded (:func:`result_layout`).
    quotes : str
        ``"out_of_the_money"`` (calls at and above the forward, puts below)
        or ``"all"`` the ok quotes.

    Returns
    -------
    Surfaces
        A surface per (underlying, valuation date) with at least
        ``MIN_QUOTES`` (5) ok quotes; its ``groups`` table lists every one,
        fitted or not. The quotes are fitted in an order of their own
        (expiry, strike), so the rows' order changes no bit.

    Raises
    ------
    MissingColumnsError
        A column :func:`implied_vols` adds is missing.
    ResultLayoutError
        A result that cannot be regrouped as read (:func:`result_layout`).
    """
    if quotes not in QUOTE_SETS:
        raise ValueError(f"quotes {quotes!r} is not one of {', '.join(QUOTE_SETS)}")
    layout = result_layout(
        result, underlying=underlying, expiry=expiry, strike=strike, side=side, valuation_date=valuation_date
    )
    require_column(result, layout, "strike", strike is not None)
    if quotes == "out_of_the_money":
        require_column(result, layout, "side", side is not None)
    missing = [c for c in _NEEDED if c not in result.columns]
    if missing:
        raise MissingColumnsError(missing, list(_NEEDED), list(result.columns))
    date = layout.valuation_date
    keys = [c for c in (layout.underlying, date if isinstance(date, str) else None) if c is not None]
    number, n_groups = _group_numbers(result, keys, layout.underlying)
    columns = (layout.strike, "years", "forward", "discount", "iv_bid", "iv_ask")
    strikes, years, forward, discount, bid, ask = (result[c].to_numpy(np.float64) for c in columns)
    fitted = (result["status"] == "ok").to_numpy() & (number >= 0) & np.isfinite(ask)
    if quotes == "out_of_the_money":
        fitted &= np.asarray(sides(result[layout.side]), dtype=np.bool_) == (strikes >= forward)
    # The fitted rows by group, then expiry and strike (the bids and asks break ties).
    order = np.lexsort((ask, bid, strikes, years, number))
    order = order[fitted[order]]
    bounds = np.searchsorted(number[order], np.arange(n_groups + 1))
    found = _keys(result, number, n_groups, layout.underlying, keys, date)
    from ..surface import Surface

    surfaces, counts, expiries = {}, [], []
    for group, key in enumerate(found):
        rows = order[bounds[group] : bounds[group + 1]]
        counts.append(len(rows))
        expiries.append(len(np.unique(years[rows])))
        if len(rows) >= MIN_QUOTES:
            surfaces[key] = Surface.fit(years[rows], forward[rows], discount[rows], strikes[rows], bid[rows], ask[rows])
    return Surfaces(surfaces, _groups_table(found, counts, expiries, [key in surfaces for key in found]))


def _keys(
    result: pd.DataFrame, number: Ints, n_groups: int, underlying: str | None, keys: list[str], date: object
) -> list[Key]:
    """Each group's (underlying, valuation date), from its first row: underlyings as stored, dates as dates."""
    first = np.full(n_groups, len(result))
    grouped = np.flatnonzero(number >= 0)
    np.minimum.at(first, number[grouped], grouped)
    taken = result.iloc[first]
    names: list[Hashable] = list(taken[underlying]) if underlying in keys else [None] * n_groups
    if isinstance(date, str):
        dates: list[Any] = list(key_values(taken[date]))
    else:
        dates = [date] * n_groups
    return list(zip(names, dates, strict=True))
