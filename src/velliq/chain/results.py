"""Reading the result of implied_vols: one row per (underlying, valuation date, expiry)."""

from typing import Any

import numpy as np
import pandas as pd

from .inputs import group_columns
from .statuses import STATUSES

__all__ = ["summary"]


def summary(
    result: pd.DataFrame,
    *,
    underlying: str = "underlying",
    expiry: str = "expiry",
    strike: str = "strike",
    valuation_date: object = None,
) -> pd.DataFrame:
    """Per (underlying, valuation date, expiry), what a result of
    :func:`implied_vols` says.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    underlying, expiry, strike : str
        Its columns of these names.
    valuation_date : optional
        As given to :func:`implied_vols`: a column of quote dates adds a
        level to the result (:func:`group_columns`).

    Returns
    -------
    pandas.DataFrame
        One row per group of :func:`group_columns`: ``years``, ``forward``, ``atm_vol``
        (the mid volatility at the strike nearest the forward, calls and puts
        averaged) and the count of quotes of each of ``STATUSES``.
    """
    keys = group_columns(result.columns, underlying=underlying, expiry=expiry, valuation_date=valuation_date)
    # Only the columns read: filtering the whole result would copy every input column.
    used = result[list(dict.fromkeys([*keys, strike, "years", "forward", "iv_mid", "status"]))]
    # The distance of the ok rows only (NaN elsewhere), rather than a copy of the ok rows.
    frame = used.assign(_distance=(used[strike] - used["forward"]).abs().where(used["status"] == "ok"))
    groups = frame.groupby(keys, observed=True)  # its keys are factorised once, for every use below
    nearest = frame[frame["_distance"] == groups["_distance"].transform("min")]
    table = groups.agg(years=("years", "first"), forward=("forward", "first"))
    table["atm_vol"] = nearest.groupby(keys, observed=True)["iv_mid"].mean()
    return table.join(_status_counts(groups.ngroup(), frame["status"], table.index))


def _status_counts(numbers: "pd.Series[Any]", status: "pd.Series[Any]", index: "pd.Index[Any]") -> pd.DataFrame:
    """Per group (its rows ``numbers``, in the order ``index`` lists them), its count of quotes of each of
    ``STATUSES``."""
    group = numbers.to_numpy(np.float64, na_value=-1).astype(np.intp)  # -1: a key missing
    code = pd.Categorical(status, categories=list(STATUSES)).codes.astype(np.intp)  # -1: no status of ours
    counted = (group >= 0) & (code >= 0)
    cells = np.bincount(group[counted] * len(STATUSES) + code[counted], minlength=len(index) * len(STATUSES))
    return pd.DataFrame(cells.reshape(len(index), len(STATUSES)), index=index, columns=list(STATUSES))
