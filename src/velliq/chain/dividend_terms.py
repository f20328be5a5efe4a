"""What a quote table's cash dividends add to its forward terms: the model
that prices with them, their present value, the carry the forward leaves on
top of them, and the rate sensitivities that carry gives the Greeks.

With rate r, a residual continuous yield q (borrow, or what the schedule
misses) and cash dividends d_i at t_i = f_i T, the spot-drop model's forward is
F = S e^(bT) - sum_i d_i e^(b (T - t_i)), b = r - q: the forward of the spot
less the dividends discounted at the carry, F = e^(bT) (S - sum_i d_i e^(-b t_i)).
"""

from typing import Final

import numpy as np
import pandas as pd

from .. import _ufuncs
from .._models import PricingModel, registered
from ._arrays import Bools, Floats
from .dividend_inputs import DividendInput, DividendLayout, RowDividends, dividend_table
from .inputs import QuoteLayout

__all__ = [
    "DIVIDEND_COLUMNS_ADDED",
    "DIVIDEND_MODEL",
    "dividend_columns",
    "dividend_model",
    "dividend_pv",
    "dividend_rate_greeks",
    "with_dividends",
]

DIVIDEND_MODEL: Final = "american_dividends"  # the registered model that takes a schedule

# The columns a table priced with dividends adds after its forward.
DIVIDEND_COLUMNS_ADDED: Final = ("dividend_pv", "residual_yield")


def dividend_model(pricing: PricingModel) -> PricingModel:
    """The model with a schedule at ``pricing``'s setting; ``ValueError`` for a model without one."""
    if pricing.name != "american":
        raise ValueError(
            f'dividends= needs model="american" (the accurate model, which takes cash dividends), '
            f"not model={pricing.name!r}"
        )
    return registered(DIVIDEND_MODEL, pricing.setting)


def with_dividends(
    layout: QuoteLayout, pricing: PricingModel, dividends: DividendInput | None, quotes: pd.DataFrame
) -> tuple[QuoteLayout, PricingModel]:
    """The layout that gives each row of ``quotes`` its dividends and the model that prices with
    them; both as they are without ``dividends``. ``ValueError`` for a model without a schedule, a
    dividend yield given beside them, a table naming no underlying for quotes of several, or a
    malformed table (:func:`dividend_table`)."""
    if dividends is None:
        return layout, pricing
    model = dividend_model(pricing)
    if layout.dividend_yield is not None:
        raise ValueError(
            "dividends= with a dividend_yield: the forward with the dividends comes from the quotes, "
            "or give it as forward="
        )
    table = dividend_table(dividends)
    column = layout.names.underlying
    if table.underlyings is None and column in quotes.columns and quotes[column].nunique() > 1:
        raise ValueError(
            f"the dividends have no underlying column and the quotes are of {quotes[column].nunique()} "
            f"underlyings (column {column!r}): name each dividend's underlying"
        )
    return DividendLayout(**vars(layout), dividends=table), model


def dividend_pv(D: Floats, dividends: RowDividends) -> Floats:
    """Per row, sum_i d_i D(t_i): each amount discounted at the flat rate, D(t_i) = D^(t_i/T)."""
    with np.errstate(divide="ignore"):
        return _discounted(dividends, np.log(D))


def _discounted(dividends: RowDividends, log_factor: Floats) -> Floats:
    """Per row, sum_i d_i exp(log_factor f_i) over its dividends (padding left out)."""
    paid = dividends.paid
    with np.errstate(invalid="ignore", over="ignore"):
        terms = dividends.amounts * np.exp(log_factor[:, None] * np.where(paid, dividends.fractions, 0.0))
    summed: Floats = np.where(paid, terms, 0.0).sum(axis=1)
    return summed


def dividend_columns(S: Floats, D: Floats, F: Floats, years: Floats, dividends: RowDividends) -> dict[str, Floats]:
    """Per row, ``dividend_pv``: sum_i d_i D(t_i), D(t) = D^(t/T) from the flat rate; and
    ``residual_yield``: q such that the dividends and b = r - q give F (NaN where none does)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        log_D = np.log(D)
        pv = _discounted(dividends, log_D)
        rate = -log_D / years
        total = _total_carry(S, F, dividends)
        residual = rate - total / years
    return {"dividend_pv": pv, "residual_yield": residual}


def _total_carry(S: Floats, F: Floats, dividends: RowDividends) -> Floats:
    """Per row, x = bT with S e^x - sum_i d_i e^(x (1 - f_i)) = F (the kernel's solve)."""
    return np.asarray(_ufuncs.dividend_carry(S, F, dividends.fractions, dividends.amounts), np.float64)


def dividend_rate_greeks(
    dF: Floats, dD: Floats, S: Floats, D: Floats, F: Floats, years: Floats, dividends: RowDividends, missing: Bools
) -> dict[str, Floats]:
    """``rho_1pct`` and ``dividend_rho_1pct`` from the model's dF and dD (schedule fixed): the
    forward moves with the carry b by dF/db = T (S e^(bT) - sum_i d_i (1 - f_i) e^(b T (1 - f_i))),
    with S, the residual yield and the dividends fixed; and ``theta_1d`` NaN: the model gives
    no sensitivity to the ex-dates' fractions, which move as time passes."""
    with np.errstate(divide="ignore", invalid="ignore"):
        x = _total_carry(S, F, dividends)
        paid = dividends.paid
        remaining = np.where(paid, 1.0 - np.where(paid, dividends.fractions, 0.0), 0.0)
        grown = np.where(paid, dividends.amounts, 0.0) * np.exp(x[:, None] * remaining)
        forward_per_carry = years * (S * np.exp(x) - (grown * remaining).sum(axis=1))
        rho = (forward_per_carry * dF - years * D * dD) * 0.01
        dividend_rho = -forward_per_carry * dF * 0.01
    columns = {"theta_1d": np.full(len(S), np.nan), "rho_1pct": rho, "dividend_rho_1pct": dividend_rho}
    for values in columns.values():
        values[missing] = np.nan
    return columns
