"""Accurate American prices, implied volatilities and sensitivities as NumPy
ufuncs, with the arguments and conventions of :mod:`velliq.baw`.

The price solves the early-exercise boundary's integral equation by spectral
collocation and fixed-point iteration (Andersen, Lake & Offengelden 2016),
started from the QD+ approximation (Li 2005), and adds the early-exercise
premium by Gaussian quadrature; the implied volatility starts from the BAW
volatility and refines it with a few accurate prices. The Greeks are central
differences of the accurate price.

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

from types import SimpleNamespace

from . import _ufuncs
from ._ufuncs import REASONS

__all__ = [
    "REASONS",
    "SETTINGS",
    "default",
    "fast",
    "forward_pair",
    "greeks",
    "high",
    "implied_vol",
    "implied_vol_reason",
    "price",
]


def _setting(suffix):
    return SimpleNamespace(
        price=getattr(_ufuncs, "american_price" + suffix),
        implied_vol=getattr(_ufuncs, "american_implied_vol" + suffix),
        greeks=getattr(_ufuncs, "american_greeks" + suffix),
        implied_vol_reason=getattr(_ufuncs, "american_implied_vol_reason" + suffix),
        forward_pair=getattr(_ufuncs, "american_forward_pair" + suffix),
    )


fast = _setting("_fast")
default = _setting("")
high = _setting("_high")
price, implied_vol, greeks = default.price, default.implied_vol, default.greeks
implied_vol_reason, forward_pair = default.implied_vol_reason, default.forward_pair

SETTINGS = {"fast": fast, "default": default, "high": high}
