"""Why a row of the quote table has no volatility: one status per row."""

from typing import Final

import numpy as np
import pandas as pd

from ._arrays import Bools, Floats

__all__ = ["NO_VOLATILITY", "STATUSES", "row_statuses"]

# Why a row's volatility is missing, in the order the checks take precedence.
STATUSES: Final = ("missing_input", "crossed", "no_forward", "below_intrinsic", "no_time_value", "no_solution", "ok")

# The statuses up to this one leave a row no volatility at all (the others a zero or a number).
NO_VOLATILITY: Final = STATUSES.index("below_intrinsic")

# The kernels' margin above the exercise value below which a quote has no time
# value (IV_TOL): the statuses draw the same line the implied volatility does.
_EXERCISE_MARGIN: Final = 1e-10


def row_statuses(
    years: Floats,
    strike: Floats,
    S: Floats,
    D: Floats,
    F: Floats,
    bid: Floats,
    ask: Floats,
    mid: Floats,
    is_call: Bools,
    iv_mid: Floats,
) -> "pd.Categorical[str]":
    """Per row, the first of ``STATUSES`` whose check it fails, as a categorical."""
    intrinsic = np.where(is_call, np.maximum(S - strike, 0), np.maximum(strike - S, 0))
    checks = [
        ~np.isfinite(years) | (years <= 0) | np.isnan(strike) | np.isnan(mid) | np.isnan(S) | np.isnan(D),
        bid > ask,
        np.isnan(F),
        mid < intrinsic - _EXERCISE_MARGIN,
        mid <= intrinsic + _EXERCISE_MARGIN,
        np.isnan(iv_mid),
    ]
    codes = np.select(checks, list(range(len(checks))), default=len(checks)).astype(np.int8)
    return pd.Categorical.from_codes(codes, categories=pd.Index(list(STATUSES)))
