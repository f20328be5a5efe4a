"""Expiry dates on a Saturday or Sunday: taken as given with one warning per
table, or moved to the preceding Friday on request.

Vendors date monthly options by the Saturday after their last trading day;
read literally, a Thursday quote has two days left instead of one. Only the
weekday is looked at: there is no holiday calendar, so an expiry moved onto a
holiday Friday stays there."""

import warnings
from typing import Any

import numpy as np
import pandas as pd

__all__ = ["WeekendExpiryWarning", "roll_argument", "weekend_expiries"]

_FRIDAY = 4  # pandas' day_of_week: Monday 0 to Sunday 6


class WeekendExpiryWarning(UserWarning):
    """Expiry dates on a Saturday or Sunday, taken as given."""


def roll_argument(value: object) -> bool:
    """``roll_weekend_expiries`` checked: True or False; a ``TypeError`` naming it otherwise."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"roll_weekend_expiries must be True or False, not {value!r}")
    return bool(value)


def weekend_expiries(expiry: "pd.Series[Any]", column: str, roll: bool, stacklevel: int) -> "pd.Series[Any]":
    """The expiry timestamps, those on a weekend moved to the preceding Friday
    (time of day kept) when ``roll``; else as given, with one
    :class:`WeekendExpiryWarning` naming the column and counting them
    (``stacklevel`` as :func:`warnings.warn`'s, counted from this function)."""
    days_past_friday = (expiry.dt.day_of_week - _FRIDAY).clip(lower=0)  # Saturday 1, Sunday 2; NaT stays NaN
    weekend = days_past_friday > 0
    if not weekend.any():
        return expiry
    if roll:
        rolled: pd.Series[Any] = expiry - pd.to_timedelta(days_past_friday.fillna(0), unit="D")
        return rolled
    dates = expiry[weekend]
    first = dates.iloc[0]
    count = dates.dt.normalize().nunique()
    warnings.warn(
        f"column {column!r}: {count} expiry date{'s' if count > 1 else ''} on a Saturday or Sunday "
        f"({len(dates)} rows; e.g. {first:%Y-%m-%d}, a {first.day_name()}), taken as given; "
        "roll_weekend_expiries=True (velliq vols --roll-weekend-expiries) moves them to the preceding Friday",
        WeekendExpiryWarning,
        stacklevel=stacklevel,
    )
    return expiry
