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

Three settings (``SETTINGS``): ``fast``, ``default`` and ``high``, each a
``PricingModel`` holding its ufuncs; the module-level ufuncs use
``default``, ``velliq.american.fast.price`` and ``velliq.american.high.price``
the others.

NaN where any input is NaN or not positive, and where the problem has two
exercise boundaries, which these ufuncs do not solve: negative rates with a
put's dividend yield below its rate (dividend_yield < rate < 0, where
rate = -ln D / T and dividend_yield = rate - ln(F/S) / T), and the mirror
case for a call (rate < dividend_yield < 0).

Each setting also has ``implied_vol_reason`` and ``forward_pair``, with the
reason codes of :mod:`velliq.baw` (``REASONS``).

The stated price errors (fast 6e-5, default 9e-6, high 4e-8 at spot 100) are
measured on a grid of expiries up to 3 years, vol 10-50 % and rates up to 6 %.
``in_verified_domain(S, K, D, F, sigma, setting)`` says where a setting has been
checked to meet them (within the stated error or 1e-4 relative of QuantLib):
total volatility sigma up to 3, ``|r T|`` and ``|q T|`` up to 3, and for ``fast``
(``default``) ``|r T|`` and ``|q T|`` at most 1.2 (2) sigma. Outside it prices are still
given but may be off, most at small volatility under large rates over long
expiries (``fast`` 23 % at vol 1 %, T 50 years, r 20 %): use ``high`` there.
"""

from typing import Final

from ._american_domain import VERIFIED_DOMAINS, in_verified_domain
from ._models import PricingModel, registered
from ._ufuncs import REASONS

__all__ = [
    "REASONS",
    "SETTINGS",
    "VERIFIED_DOMAINS",
    "default",
    "fast",
    "forward_pair",
    "greeks",
    "high",
    "implied_vol",
    "implied_vol_reason",
    "in_verified_domain",
    "price",
]

fast: Final = registered("american", "fast")
default: Final = registered("american")
high: Final = registered("american", "high")
price: Final = default.price
implied_vol: Final = default.implied_vol
greeks: Final = default.greeks
implied_vol_reason: Final = default.implied_vol_reason
forward_pair: Final = default.forward_pair

SETTINGS: Final[dict[str, PricingModel]] = {"fast": fast, "default": default, "high": high}

Setting = PricingModel  # the former name of a setting's type, for code that names it
