"""Accurate American prices, implied volatilities and sensitivities as NumPy
ufuncs, with the arguments and conventions of :mod:`velliq.baw`.

The price solves the early-exercise boundary's integral equation by spectral
collocation and fixed-point iteration (Andersen, Lake & Offengelden 2016),
started from the QD+ approximation (Li 2005), and adds the early-exercise
premium by Gaussian quadrature; the implied volatility starts from the BAW
volatility and refines it with a few accurate prices. The Greeks are those of
the accurate price as computed: delta and gamma by differences on its boundary,
vega, dF and dD from the boundary's derivatives by the implicit function
theorem on its collocation equations.

Three settings (``SETTINGS``): ``fast``, ``default`` and ``high``; the
module-level ufuncs use ``default``, ``velliq.american.fast.price`` and
``velliq.american.high.price`` the others.

NaN where any input is NaN or not positive, and where the problem has two
exercise boundaries, which these ufuncs do not solve: negative rates with a
put's dividend yield below its rate (q < r < 0 in r = -ln D, q = r - ln F/S),
and the mirror case for a call (r < q < 0).

Each setting also has ``implied_vol_reason`` and ``forward_pair``, with the
reason codes of :mod:`velliq.baw` (``REASONS``).
"""

from dataclasses import dataclass
from typing import Final

import numpy as np

from . import _ufuncs
from ._ufuncs import REASONS

__all__ = [
    "REASONS",
    "SETTINGS",
    "Setting",
    "default",
    "fast",
    "forward_pair",
    "greeks",
    "high",
    "implied_vol",
    "implied_vol_reason",
    "price",
]


@dataclass(frozen=True)
class Setting:
    """The ufuncs of one accuracy setting."""

    price: np.ufunc
    implied_vol: np.ufunc
    greeks: np.ufunc
    implied_vol_reason: np.ufunc
    forward_pair: np.ufunc


fast: Final = Setting(
    _ufuncs.american_price_fast,
    _ufuncs.american_implied_vol_fast,
    _ufuncs.american_greeks_fast,
    _ufuncs.american_implied_vol_reason_fast,
    _ufuncs.american_forward_pair_fast,
)
default: Final = Setting(
    _ufuncs.american_price,
    _ufuncs.american_implied_vol,
    _ufuncs.american_greeks,
    _ufuncs.american_implied_vol_reason,
    _ufuncs.american_forward_pair,
)
high: Final = Setting(
    _ufuncs.american_price_high,
    _ufuncs.american_implied_vol_high,
    _ufuncs.american_greeks_high,
    _ufuncs.american_implied_vol_reason_high,
    _ufuncs.american_forward_pair_high,
)
price: Final = default.price
implied_vol: Final = default.implied_vol
greeks: Final = default.greeks
implied_vol_reason: Final = default.implied_vol_reason
forward_pair: Final = default.forward_pair

SETTINGS: Final[dict[str, Setting]] = {"fast": fast, "default": default, "high": high}
