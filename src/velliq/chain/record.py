"""How a result of implied_vols was read, kept in the result's ``attrs``.

pandas carries ``attrs`` through slicing, filtering, copies, merges, concats
of tables with equal attrs, Dask's partitions and Parquet files (as JSON in
the file's metadata); a CSV file keeps none. So the record holds only what
JSON holds, and one function turns it back into a :class:`ResultLayout`."""

from collections.abc import Callable, Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Final

import pandas as pd

from .._models import PricingModel
from .inputs import QuoteLayout
from .spot_inputs import IMPLIED, ImpliedSpot, SpotColumns

__all__ = [
    "INPUT_SUFFIX",
    "RECORD_KEY",
    "ResultLayout",
    "kept_input_names",
    "read_record",
    "record",
    "result_layout_of",
]

RECORD_KEY: Final = "velliq.chain.implied_vols"  # the result's attrs entry holding the record

# An input column named as a column the result adds is kept under its name and this suffix.
INPUT_SUFFIX: Final = "_input"

_MARKET: Final = ("spot", "rate", "dividend_yield", "discount", "forward")


@dataclass(frozen=True)
class ResultLayout:
    """Where a result's inputs are, as :func:`velliq.chain.implied_vols` read them.

    Column names are the result's: an input column the result renamed (see
    ``renamed``) is named by its new name. ``model`` and ``setting`` are None
    for a result without a record."""

    underlying: str | None  # None: no such column, the table is one underlying
    expiry: str
    strike: str
    side: str
    bid: str | None  # each None when the table has no such column
    ask: str | None
    price: str | None
    valuation_date: str | pd.Timestamp | None  # a column of quote dates (str), or every row's date
    market: tuple[tuple[str, object], ...] = ()  # spot, rate, ...: the column read, or the number given
    model: str | None = None
    setting: str | None = None
    greeks: bool = False
    renamed: tuple[tuple[str, str], ...] = ()  # (input column, its name in the result)

    @property
    def group_columns(self) -> list[str]:
        """The columns whose values group the rows by forward: (underlying,
        valuation date, expiry), those of them the table has."""
        named = (self.underlying, self.valuation_date if isinstance(self.valuation_date, str) else None, self.expiry)
        return [column for column in named if column is not None]


def kept_input_names(columns: Iterable[Hashable], added: Iterable[str]) -> dict[Hashable, str]:
    """The new name of each input column named as a column the result adds:
    its name with ``INPUT_SUFFIX`` (repeated while that is taken too)."""
    names, outputs = list(columns), set(added)
    taken = set(names) | outputs
    renamed: dict[Hashable, str] = {}
    for name in names:
        if name in renamed or not isinstance(name, str) or name not in outputs:
            continue
        new = name + INPUT_SUFFIX
        while new in taken:
            new += INPUT_SUFFIX
        renamed[name] = new
        taken.add(new)
    return renamed


def result_layout_of(
    layout: QuoteLayout, pricing: PricingModel, greeks: bool, renamed: Mapping[Hashable, str]
) -> ResultLayout:
    """The layout of the result of reading a table by ``layout``, whose input
    columns in ``renamed`` the result keeps under their new names."""

    def name(column: str) -> str:
        return renamed.get(column, column)

    names = layout.names
    date = layout.valuation_date if layout.valuation_date is not None else names.valuation_date
    return ResultLayout(
        underlying=name(names.underlying),
        expiry=name(names.expiry),
        strike=name(names.strike),
        side=name(names.side),
        bid=name(names.bid),
        ask=name(names.ask),
        price=name(names.price),
        valuation_date=name(date) if isinstance(date, str) else date,
        market=tuple(
            (field, _market_value(value, name))
            for field in _MARKET
            if (value := getattr(layout, field)) is not None and not isinstance(value, pd.Series)
        ),
        model=pricing.name,
        setting=pricing.setting,
        greeks=greeks,
        renamed=tuple((str(old), new) for old, new in renamed.items()),
    )


def _market_value(value: object, name: Callable[[str], str]) -> object:
    """A market input as the record keeps it: the result's name of a column (of
    both, for a spot from the underlying's bid and ask), "implied", or the number.
    A Series the caller gave is not kept (the caller holds it)."""
    if isinstance(value, SpotColumns):
        return (name(value.bid), name(value.ask))
    if isinstance(value, ImpliedSpot):
        return IMPLIED
    return name(value) if isinstance(value, str) else value


def _json_value(value: object) -> Any:
    """A market input as JSON holds it: a column name, a number, None, or a list of them."""
    if value is None or isinstance(value, str | bool | int | float):
        return value
    if isinstance(value, tuple | list):
        return [_json_value(v) for v in value]
    try:
        return float(value)  # type: ignore[arg-type]  # NumPy scalars
    except (TypeError, ValueError):
        return str(value)


def record(attrs: Mapping[Hashable, Any], layout: ResultLayout, present: Iterable[Hashable]) -> dict[Hashable, Any]:
    """``attrs`` with the record of ``layout``; columns absent from the table
    (``present`` are its columns) recorded as None."""
    found = set(present)
    date = layout.valuation_date
    entry = {
        **{
            name: (getattr(layout, name) if getattr(layout, name) in found else None)
            for name in ("underlying", "expiry", "strike", "side", "bid", "ask", "price")
        },
        "valuation_date_column": date if isinstance(date, str) else None,
        "valuation_date": None if date is None or isinstance(date, str) else date.isoformat(),
        "market": {name: _json_value(value) for name, value in layout.market},
        "model": layout.model,
        "setting": layout.setting,
        "greeks": layout.greeks,
        "renamed": {old: new for old, new in layout.renamed},
    }
    return {**attrs, RECORD_KEY: entry}


def read_record(attrs: Mapping[Hashable, Any]) -> ResultLayout | None:
    """The layout ``attrs`` records; None when they hold no record (or one
    this version cannot read)."""
    entry = attrs.get(RECORD_KEY)
    if not isinstance(entry, Mapping):
        return None
    try:
        column, date = entry["valuation_date_column"], entry["valuation_date"]
        return ResultLayout(
            underlying=entry["underlying"],
            expiry=entry["expiry"],
            strike=entry["strike"],
            side=entry["side"],
            bid=entry["bid"],
            ask=entry["ask"],
            price=entry["price"],
            valuation_date=column if column is not None else None if date is None else pd.Timestamp(date),
            market=tuple((name, _tupled(value)) for name, value in entry["market"].items()),
            model=entry["model"],
            setting=entry["setting"],
            greeks=bool(entry["greeks"]),
            renamed=tuple((str(old), str(new)) for old, new in entry["renamed"].items()),
        )
    except (KeyError, TypeError, ValueError, AttributeError):
        return None


def _tupled(value: object) -> object:
    return tuple(_tupled(v) for v in value) if isinstance(value, list) else value
