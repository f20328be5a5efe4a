"""The pricing models that velliq.chain and the command line choose by name."""

from collections.abc import Mapping
from typing import Final, Protocol

import numpy as np

from . import american, baw

__all__ = ["MODELS", "MODEL_TITLES", "PricingModel", "pricing_model"]


class PricingModel(Protocol):
    """A module (or setting) of price, implied-volatility and Greeks ufuncs
    with the arguments of :mod:`velliq.baw`."""

    @property
    def price(self) -> np.ufunc: ...
    @property
    def implied_vol(self) -> np.ufunc: ...
    @property
    def greeks(self) -> np.ufunc: ...


MODELS: Final[Mapping[str, PricingModel]] = {"baw": baw, "american": american}
MODEL_TITLES: Final[Mapping[str, str]] = {"baw": "Barone-Adesi-Whaley", "american": "accurate"}


def pricing_model(name: str) -> PricingModel:
    """The model called ``name``; ``ValueError`` naming the choices for any other name."""
    if name not in MODELS:
        raise ValueError(f"unknown model {name!r}; choose one of {', '.join(MODELS)}")
    return MODELS[name]
