"""The pricing models: one :class:`PricingModel` per (model, setting), each
holding the ufuncs :mod:`velliq._ufuncs` registers for it.

A model is added by one line of ``_REGISTRY``: its default setting is then
the one users choose by its name; :mod:`velliq.baw`,
:mod:`velliq.american`, velliq.chain and the command line take their models
from here, and a name a user gives is resolved once, by :func:`pricing_model`.
"""

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Final

import numpy as np

from . import _ufuncs

__all__ = ["MODELS", "MODEL_TITLES", "PricingModel", "pricing_model", "registered"]


@dataclass(frozen=True)
class PricingModel:
    """The ufuncs of one model at one setting, with the arguments of :mod:`velliq.baw`."""

    name: str  # what users choose it by (``model="baw"``, ``--model baw``)
    title: str  # what the command line's help calls it
    setting: str
    price: np.ufunc
    implied_vol: np.ufunc
    greeks: np.ufunc
    implied_vol_reason: np.ufunc
    forward_pair: np.ufunc
    # Whether the model prices calls at a rate <= 0 below the dividend yield as
    # European, dropping their early-exercise premium (BAW's design).
    no_call_premium_at_rates_below_zero: bool = False
    # Whether each ufunc takes a schedule of cash dividends (fractions, amounts; core
    # dimension n) after its other inputs: such a model is chosen through velliq.dividends
    # or a table's dividends, never by its name alone.
    takes_schedule: bool = False
    # A model that takes a schedule: the price's derivative in each amount, one per dividend.
    amount_sensitivity: np.ufunc | None = None


def _from_ufuncs(
    name: str,
    title: str,
    setting: str = "default",
    *,
    no_call_premium_at_rates_below_zero: bool = False,
    takes_schedule: bool = False,
) -> PricingModel:
    """The model whose ufuncs are ``<name>_<job>``, suffixed ``_<setting>`` but for the default one."""
    suffix = "" if setting == "default" else f"_{setting}"
    jobs = ("price", "implied_vol", "greeks", "implied_vol_reason", "forward_pair")
    ufuncs: list[np.ufunc] = [getattr(_ufuncs, f"{name}_{job}{suffix}") for job in jobs]
    price, implied_vol, greeks, implied_vol_reason, forward_pair = ufuncs
    return PricingModel(
        name,
        title,
        setting,
        price,
        implied_vol,
        greeks,
        implied_vol_reason,
        forward_pair,
        no_call_premium_at_rates_below_zero,
        takes_schedule,
        getattr(_ufuncs, f"{name}_amount_sensitivity{suffix}") if takes_schedule else None,
    )


# One line per (model, setting).
_REGISTRY: Final = (
    _from_ufuncs("baw", "Barone-Adesi-Whaley", no_call_premium_at_rates_below_zero=True),
    _from_ufuncs("american", "accurate", "fast"),
    _from_ufuncs("american", "accurate"),
    _from_ufuncs("american", "accurate", "high"),
    _from_ufuncs("american_dividends", "accurate with cash dividends", "fast", takes_schedule=True),
    _from_ufuncs("american_dividends", "accurate with cash dividends", takes_schedule=True),
    _from_ufuncs("american_dividends", "accurate with cash dividends", "high", takes_schedule=True),
)


def registered(name: str, setting: str = "default") -> PricingModel:
    """The registered model ``name`` at ``setting``."""
    return next(model for model in _REGISTRY if (model.name, model.setting) == (name, setting))


# The models users choose by name (velliq.chain's model=, the command line's --model), at their default
# setting; a model that takes a schedule is not one of them.
MODELS: Final[Mapping[str, PricingModel]] = {
    model.name: model for model in _REGISTRY if model.setting == "default" and not model.takes_schedule
}
MODEL_TITLES: Final[Mapping[str, str]] = {name: model.title for name, model in MODELS.items()}


def pricing_model(model: str) -> PricingModel:
    """The model called ``model``; ``ValueError`` naming the choices for any other name."""
    if model not in MODELS:
        raise ValueError(f"unknown model {model!r}; choose one of {', '.join(MODELS)}")
    return MODELS[model]
