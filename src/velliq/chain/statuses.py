"""Why a row of the quote table has no volatility, or one to doubt: one status per row."""

from typing import Final

import numpy as np
import numpy.typing as npt
import pandas as pd

from ..baw import REASONS
from ._arrays import Bools, Floats

__all__ = [
    "ASK_VOLATILITY_ONLY",
    "NO_MID_VOLATILITY",
    "NO_VOLATILITY",
    "STATUSES",
    "RowFlags",
    "reason_statuses",
    "row_statuses",
]

# Each row's status is the first of these that applies:
# - missing_input: an input is missing, or a spot, strike, discount or given forward is not positive and finite
# - expired: no time left (expiry at or before the valuation time)
# - crossed: the bid is above the ask
# - duplicate: a repeat of another row's (underlying, date, expiry, strike, side): an identical repeat
#   after the first, or every row of a conflicting repeat
# - one_sided: a zero or missing bid or ask: volatilities of the sides quoted, no mid volatility
# - arbitrage: breaks a static no-arbitrage bound against its neighbours and is among the fewest
#   quotes whose removal restores the bounds (velliq.chain.arbitrage)
# - no_forward: no forward could be estimated for the row's group
# - below_intrinsic: the ask below its exercise value (or the mid, with no ask): below any fair price
# - mid_below_intrinsic: the mid below its exercise value, the ask at or above it: a market straddling
#   the exercise value (the bid under it) keeps the ask's volatility only
# - no_time_value, no_solution: the implied-volatility kernel's reasons for the mid
# - ok: a volatility from a two-sided quote that nothing contradicts
# Missing inputs first (nothing else can be judged); then what the row is regardless of its prices
# (expired, crossed, a repeat); then what its quotes lack (a side), then what its neighbours say
# (arbitrage, only judged on two-sided quotes); then what the model says.
STATUSES: Final = (
    "missing_input",
    "expired",
    "crossed",
    "duplicate",
    "one_sided",
    "arbitrage",
    "no_forward",
    "below_intrinsic",
    "mid_below_intrinsic",
    "no_time_value",
    "no_solution",
    "ok",
)

# Statuses that leave a row no volatility at all, those that leave it no mid volatility, and
# those that leave it the ask's alone (a one-sided row keeps the side quoted).
NO_VOLATILITY: Final = frozenset({"missing_input", "expired", "crossed", "no_forward", "below_intrinsic"})
ASK_VOLATILITY_ONLY: Final = frozenset({"mid_below_intrinsic"})
NO_MID_VOLATILITY: Final = NO_VOLATILITY | {"one_sided"} | ASK_VOLATILITY_ONLY

_CODE: Final = {name: np.int8(code) for code, name in enumerate(STATUSES)}

# The kernels number their reasons by velliq.baw.REASONS; the table maps them
# to its statuses by name (the forward-pair reasons never describe a mid).
_REASON_STATUS: Final = np.array(
    [_CODE.get(name, _CODE["no_solution"]) for name in REASONS],
    dtype=np.int8,
)


_BELOW_INTRINSIC: Final = np.int8(REASONS.index("below_intrinsic"))
_NO_QUOTE: Final = np.int8(REASONS.index("missing_input"))


def reason_statuses(mid_reasons: npt.NDArray[np.int8], ask_reasons: npt.NDArray[np.int8]) -> npt.NDArray[np.int8]:
    """The status code of each row from the kernel's reasons for its mid and its ask:
    the mid's, but ``mid_below_intrinsic`` where the mid is below its exercise value
    and the ask is quoted and not below it."""
    codes = _REASON_STATUS[mid_reasons]
    straddling = (mid_reasons == _BELOW_INTRINSIC) & (ask_reasons != _BELOW_INTRINSIC) & (ask_reasons != _NO_QUOTE)
    codes[straddling] = _CODE["mid_below_intrinsic"]
    return codes


def _positive(values: Floats) -> Bools:
    with np.errstate(invalid="ignore"):
        return np.isfinite(values) & (values > 0)


class RowFlags:
    """What the table sees before any volatility is solved: per row, whether
    an input is missing, the option has expired, the quote is crossed or one-sided."""

    def __init__(
        self,
        years: Floats,
        strike: Floats,
        S: Floats,
        D: Floats,
        has_side: Bools,
        bid: Floats,
        ask: Floats,
        mid: Floats,
    ) -> None:
        quoted = ~(np.isnan(bid) & np.isnan(ask))  # bid or ask given (else a price alone, or nothing)
        self.one_sided = quoted & ~(_positive(bid) & _positive(ask))
        self.missing = (
            np.isnan(years)
            | ~_positive(strike)
            | ~_positive(S)
            | ~_positive(D)
            | ~has_side
            | (np.isnan(mid) & ~self.one_sided)
        )
        with np.errstate(invalid="ignore"):
            self.expired = years <= 0
            self.crossed = bid > ask

    def unusable(self) -> Bools:
        """Rows that tell nothing about the forward or their neighbours."""
        return self.missing | self.expired | self.crossed | self.one_sided


def row_statuses(
    flags: RowFlags,
    F: Floats,
    duplicate: Bools,
    arbitrage: Bools,
    mid_reason: npt.NDArray[np.int8],
    ask_reason: npt.NDArray[np.int8],
) -> "pd.Categorical[str]":
    """Per row, the first of ``STATUSES`` that applies, as a categorical.

    The table decides what only it can see (``RowFlags``, repeats, the
    bounds between neighbours, no forward for the row's group); every other
    row takes the reasons the implied-volatility kernel gave for its mid and
    its ask (``implied_vol_reason``), by :func:`reason_statuses`.
    """
    codes = reason_statuses(mid_reason, ask_reason)
    with np.errstate(invalid="ignore"):
        codes[np.isnan(F)] = _CODE["no_forward"]
        bad_forward = ~np.isnan(F) & ~_positive(F)
    for name, rows in (
        ("arbitrage", arbitrage),
        ("one_sided", flags.one_sided),
        ("duplicate", duplicate),
        ("crossed", flags.crossed),
        ("expired", flags.expired),
        ("missing_input", flags.missing | bad_forward),
    ):  # the last applied takes precedence
        codes[rows] = _CODE[name]
    return pd.Categorical.from_codes(codes, categories=pd.Index(list(STATUSES)))
