"""Rows that repeat another row's (underlying, date, expiry, strike, side)."""

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._arrays import Bools, Floats

__all__ = ["duplicate_rows"]


def duplicate_rows(
    group: npt.NDArray[np.intp], strike: Floats, is_call: Bools, bid: Floats, ask: Floats, mid: Floats, judged: Bools
) -> Bools:
    """Per row, whether it is a repeat among the ``judged`` rows: every
    identical repeat after the first (which keeps its status), and every row
    of a quote repeated with different prices (none of them can be told the
    right one)."""
    rows = np.flatnonzero(judged & (group >= 0))
    frame = pd.DataFrame({"group": group[rows], "strike": strike[rows], "call": is_call[rows]})
    key = list(frame.columns)
    repeated = frame.duplicated(key, keep=False).to_numpy()
    flagged = np.zeros(strike.size, dtype=np.bool_)
    if not repeated.any():
        return flagged
    frame = frame.assign(bid=bid[rows], ask=ask[rows], mid=mid[rows])
    later_copy = frame.duplicated(keep="first").to_numpy()
    distinct = frame.drop_duplicates().groupby(key, sort=False).size().rename("distinct")
    conflicting = frame.join(distinct, on=key)["distinct"].to_numpy() > 1
    flagged[rows] = later_copy | (repeated & conflicting)
    return flagged
