"""Reading the result of implied_vols: one row per (underlying, valuation date, expiry)."""

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
    frame = result.assign(_distance=(result[strike] - result["forward"]).abs())
    ok = frame[frame["status"] == "ok"]
    nearest = ok[ok["_distance"] == ok.groupby(keys, observed=True)["_distance"].transform("min")]
    table = frame.groupby(keys, observed=True).agg(years=("years", "first"), forward=("forward", "first"))
    table["atm_vol"] = nearest.groupby(keys, observed=True)["iv_mid"].mean()
    counts = pd.crosstab([frame[k] for k in keys], frame["status"]).reindex(columns=list(STATUSES), fill_value=0)
    return table.join(counts).fillna({s: 0 for s in STATUSES}).astype({s: int for s in STATUSES})
