"""Why a row of the quote table has no volatility: one status per row."""

from typing import Final, Protocol, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._models import pricing_model
from ._arrays import Floats

__all__ = ["NO_VOLATILITY", "STATUSES", "ReasonKernels", "reason_kernels", "row_statuses"]

# Why a row's volatility is missing, in the order the checks take precedence.
# The kernels' reason codes number the same names (velliq.baw.REASONS).
STATUSES: Final = ("missing_input", "crossed", "no_forward", "below_intrinsic", "no_time_value", "no_solution", "ok")

# The statuses up to this one leave a row no volatility at all (the others a zero or a number).
NO_VOLATILITY: Final = STATUSES.index("below_intrinsic")

_MISSING_INPUT: Final = STATUSES.index("missing_input")
_CROSSED: Final = STATUSES.index("crossed")
_NO_FORWARD: Final = STATUSES.index("no_forward")


class ReasonKernels(Protocol):
    """The ufuncs of a model that say why they give no answer (:mod:`velliq.baw`)."""

    @property
    def implied_vol_reason(self) -> np.ufunc: ...
    @property
    def forward_pair(self) -> np.ufunc: ...


def reason_kernels(model: str) -> ReasonKernels:
    """The model called ``model`` (``ValueError`` for an unknown name), with its reason-giving ufuncs."""
    return cast(ReasonKernels, pricing_model(model))


def row_statuses(
    years: Floats,
    strike: Floats,
    S: Floats,
    D: Floats,
    F: Floats,
    bid: Floats,
    ask: Floats,
    mid: Floats,
    mid_reason: npt.NDArray[np.int8],
) -> "pd.Categorical[str]":
    """Per row, the first of ``STATUSES`` that applies, as a categorical.

    The table decides what only it can see (an input missing or a year
    fraction not positive, a bid above its ask, no forward for the row's
    group); every other row takes the reason the implied-volatility kernel
    gave for its mid (``implied_vol_reason``).
    """
    codes = mid_reason.astype(np.int8, copy=True)
    codes[np.isnan(F)] = _NO_FORWARD
    codes[bid > ask] = _CROSSED
    missing = ~np.isfinite(years) | (years <= 0) | np.isnan(strike) | np.isnan(mid) | np.isnan(S) | np.isnan(D)
    codes[missing] = _MISSING_INPUT
    return pd.Categorical.from_codes(codes, categories=pd.Index(list(STATUSES)))
