"""The market inputs (spot, rate, dividend_yield, discount, forward) given
as a column of the quotes, one number for every row, or a pandas Series
matched to the quotes by index label: each checked where it enters, so that
an error names its argument, and read per row."""

import warnings
from typing import Any, TypeAlias

import numpy as np
import pandas as pd

from ._arrays import Floats
from .cells import CellError, row_label
from .cells import floats as _floats

__all__ = ["Source", "given_value", "refuse_unmatched", "source_values", "warn_percent"]

# Where an input is read from: a column (by name), one number for every row, a Series of
# numbers indexed by the quotes' row labels, or nowhere.
Source: TypeAlias = "str | float | pd.Series[float] | None"

_ACCEPTED = "a column name, a number or a pandas Series indexed like the quotes"


def given_value(value: object, name: str) -> "float | pd.Series[float]":
    """An input given as a number or a Series, as a float or a Series of float64;
    ``TypeError`` or ``ValueError`` naming ``name`` for anything else."""
    if isinstance(value, pd.Series):
        return _series(value, name)
    if isinstance(value, (bool, np.bool_, np.ndarray)):
        raise TypeError(f"{name} must be {_ACCEPTED}, not {type(value).__name__}")
    try:
        return float(value)  # type: ignore[arg-type]  # any value: what is no number raises
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be {_ACCEPTED}, not {type(value).__name__} {value!r:.60}") from None


def _series(values: "pd.Series[Any]", name: str) -> "pd.Series[float]":
    if not values.index.is_unique:
        repeated = values.index[values.index.duplicated()][0]
        raise ValueError(
            f"{name}: a Series is matched to the quotes by index label, and this one repeats "
            f"{row_label(repeated)!r}; give it the quotes' index"
        )
    try:
        numbers = _floats(values)
    except CellError as error:
        raise ValueError(f"{name}: the Series' value {error.value!r} at row {error.row!r} is not a number") from None
    return pd.Series(numbers, index=values.index, copy=False)


def refuse_unmatched(index: "pd.Index[Any]", sources: dict[str, Source]) -> None:
    """``ValueError`` naming the input given as a Series that lacks a row's index label."""
    for name, source in sources.items():
        if isinstance(source, pd.Series):
            lacking = ~index.isin(source.index)
            if lacking.any():
                row = row_label(index[int(np.flatnonzero(lacking)[0])])
                raise ValueError(
                    f"{name}: the Series has no value for row {row!r} of the quotes "
                    f"({int(lacking.sum())} rows lack one); it is matched to the quotes by index label"
                )


def source_values(quotes: pd.DataFrame, source: Source) -> Floats | None:
    """The input's value in each row of ``quotes``; None where it is given nowhere."""
    if source is None:
        return None
    if isinstance(source, str):
        return _floats(quotes[source])
    if isinstance(source, pd.Series):
        return source.reindex(quotes.index).to_numpy(np.float64)
    return np.full(len(quotes), source)


def _plain(value: float) -> str:
    return f"{value:.15g}"


def warn_percent(values: Floats | None, name: str, source: Source) -> None:
    """A ``UserWarning`` naming the input and a value of it above 1 in magnitude:
    likely a percentage where a fraction is meant."""
    large = None if values is None else np.abs(values) > 1
    if large is None or values is None or not bool(large.any()):
        return
    value = float(values[large][0])
    if isinstance(source, str):
        given = f"column {source!r} ({name}) holds {_plain(value)}, above 1 in magnitude"
    elif isinstance(source, pd.Series):
        given = f"{name} holds {_plain(value)}, above 1 in magnitude"
    else:
        given = f"{name}={_plain(value)} is above 1 in magnitude"
    warnings.warn(
        f"{given}: a yearly rate is a fraction, not a percentage ({_plain(value / 100)} for {_plain(value)} %)",
        UserWarning,
        stacklevel=4,
    )
