"""Greeks of a quote table in desk units, from a model's forward-terms Greeks."""

from typing import Final

import numpy as np

from .._terms import implied_dividend_yield, implied_rate
from ._arrays import Bools, Floats
from .inputs import YEAR_DAYS

__all__ = ["GREEK_COLUMNS", "desk_greeks"]

GREEK_COLUMNS: Final = ("delta", "gamma", "vega_1pct", "theta_1d", "rho_1pct", "dividend_rho_1pct")

_PERCENT: Final = 0.01


def desk_greeks(
    forward_greeks: tuple[Floats, Floats, Floats, Floats, Floats],
    S: Floats,
    D: Floats,
    F: Floats,
    sigma: Floats,
    years: Floats,
    missing: Bools,
) -> dict[str, Floats]:
    """The ``GREEK_COLUMNS`` from a model's ``(delta, gamma, vega, dF, dD)`` at
    total volatility ``sigma``; NaN where ``missing``.

    With S fixed, D = exp(-rate T), F = S exp((rate - dividend_yield) T) and
    sigma = vol sqrt(T), so the forward-terms derivatives (dF with S and D
    fixed, dD with S and F fixed, vega per unit of sigma) chain to those in
    the rate, the dividend yield and T.
    """
    delta, gamma, vega, dF, dD = forward_greeks
    with np.errstate(divide="ignore", invalid="ignore"):
        T = np.where(years > 0, years, np.nan)
        rate = implied_rate(D, T)
        dividend_yield = implied_dividend_yield(S, F, rate, T)
        root_t = np.sqrt(T)
        d_rate = T * (F * dF - D * dD)
        d_dividend = -T * F * dF
        d_years = vega * sigma / (2.0 * T) - rate * D * dD + (rate - dividend_yield) * F * dF
    columns = {
        "delta": delta,
        "gamma": gamma,
        "vega_1pct": vega * root_t * _PERCENT,
        "theta_1d": -d_years / YEAR_DAYS,
        "rho_1pct": d_rate * _PERCENT,
        "dividend_rho_1pct": d_dividend * _PERCENT,
    }
    for values in columns.values():
        values[missing] = np.nan
    return columns
