"""What a smile picture places where: the x axis a smile is drawn against,
its point at the forward, the expiries drawn when there are too many to tell
apart, and their colours and labels."""

from collections.abc import Hashable
from typing import Final

import numpy as np
import pandas as pd
from scipy.special import ndtr  # type: ignore[import-untyped]

from ._arrays import Floats
from .inputs import YEAR_DAYS

__all__ = ["MAX_EXPIRIES", "PALETTE", "X_AXES", "X_LABELS", "at_forward", "chosen_expiries", "expiry_label", "x_values"]

# Each x axis and its label. "delta" is computed, never read from a result:
# a result's delta column is the model's spot delta of the row's own side,
# which for a put row does not give its strike's call delta.
X_LABELS: Final = {
    "moneyness": "standardised moneyness ln(K / F) / \N{SQUARE ROOT}T (years)",
    "strike": "strike",
    "delta": "call delta N(d1), Black's at the forward and the mid volatility",
}
X_AXES: Final = tuple(X_LABELS)

# Twelve colours told apart at a glance: matplotlib's tab10, then black and gold.
PALETTE: Final = (
    *("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"),
    *("#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"),
    *("#000000", "#e7ba52"),
)
MAX_EXPIRIES: Final = len(PALETTE)


def x_values(strike: Floats, forward: Floats, years: Floats, vol: Floats, x_axis: str) -> Floats:
    """Where quotes sit on ``x_axis`` (one of ``X_AXES``).

    The delta is the undiscounted call delta N(d1) of Black's formula at the
    quote's forward and mid volatility, d1 = ln(F/K)/(vol·√T) + vol·√T/2:
    a put at strike K sits at the call delta of K (1 + its own forward
    delta), so the put and call halves of a smile meet at the forward.
    """
    if x_axis == "moneyness":
        return np.log(strike / forward) / np.sqrt(years)
    if x_axis == "strike":
        return strike
    if x_axis == "delta":
        root_years_vol = vol * np.sqrt(years)
        return np.asarray(ndtr(np.log(forward / strike) / root_years_vol + root_years_vol / 2), dtype=np.float64)
    raise ValueError(f"x_axis {x_axis!r} is not one of {', '.join(X_AXES)}")


def at_forward(strike: Floats, vol: Floats, forward: float, years: float, x_axis: str) -> tuple[float, float] | None:
    """The smile's point at its forward: the mid volatility interpolated
    linearly in strike between the quotes either side (``strike`` ascending),
    and where the forward sits on ``x_axis``; None when no quote lies on
    each side of the forward."""
    if not len(strike) or not strike[0] <= forward <= strike[-1]:
        return None
    vol_at_forward = float(np.interp(forward, strike, vol))
    x = x_values(np.array([forward]), np.array([forward]), np.array([years]), np.array([vol_at_forward]), x_axis)
    return float(x[0]), vol_at_forward


def chosen_expiries(years: "pd.Series[float]", most: int = MAX_EXPIRIES) -> list[Hashable]:
    """At most ``most`` of the expiries, nearest first: every one when they
    fit, else the nearest, the farthest and between them those nearest to
    points spaced evenly in log time to expiry, so that the weeklies do not
    take every colour. ``years`` is indexed by expiry, in ascending order."""
    if len(years) <= most:
        return list(years.index)
    log_years = np.log(years.to_numpy())
    chosen = {0, len(years) - 1}
    for target in np.linspace(log_years[0], log_years[-1], most)[1:-1]:
        free = [i for i in range(len(years)) if i not in chosen]
        chosen.add(min(free, key=lambda i: abs(log_years[i] - target)))
    return [years.index[i] for i in sorted(chosen)]


def expiry_label(expiry: object, years: float | None) -> str:
    """An expiry as the table gives it (a date as YYYY-MM-DD), and its days to
    expiry when ``years`` is given (a single quote date)."""
    if isinstance(expiry, pd.Timestamp | np.datetime64):
        text = f"{pd.Timestamp(expiry):%Y-%m-%d}"
    elif isinstance(expiry, float | np.floating):
        text = f"{expiry:g} y"
    else:
        text = str(expiry)
    return text if years is None else f"{text} ({round(years * YEAR_DAYS)} d)"
