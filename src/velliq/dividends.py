"""Accurate American prices, implied volatilities and sensitivities with cash
dividends at known ex-dates, as NumPy generalized ufuncs.

Each ufunc takes the arguments of :mod:`velliq.american` followed by an
option's schedule of cash dividends, ``fractions`` and ``amounts``, over a
last core dimension ``n`` (the dividends), which broadcasts like any other
axis: ``price(S, K, D, F, sigma, is_call, fractions, amounts)`` with
``fractions`` and ``amounts`` of shape ``(..., n)``. ``out=``, casting and
:func:`velliq.workers` work as for the other models' ufuncs.

The model: Black-Scholes dynamics with a flat rate, a continuous yield on top
(a borrow or carry) and cash dividends; at each ex-date the spot drops by the
amount, to no less than zero where the amount exceeds it.

The schedule:

- ``fractions``: each ex-date as a fraction of the time to expiry (0 the
  valuation date, 1 the expiry), non-decreasing and not NaN;
  ``amounts``: cash per share, finite and not negative. A schedule that
  breaks either rule gives NaN (reason ``missing_input``).
- A dividend at a fraction <= 0 (already out of the spot) or > 1 (after
  expiry) is ignored. An ex-date on the expiry (fraction exactly 1) is kept:
  the payoff is taken on the spot after the drop, so a put gains and a call
  is worth what it is without the dividend, its holder exercising before it
  (the convention of QuantLib's finite-difference engine).
- Ragged schedules are padded with ``PAD``, fraction ``+inf`` and amount 0,
  which is ignored; :func:`schedule` pads a list of them.
- ``F`` is the forward with the dividends: with rate ``r``, continuous yield
  ``q``, time to expiry ``T`` and ex-dates ``t_i``,
  ``F = S e^((r-q)T) - sum_i d_i e^((r-q)(T-t_i))``; the residual carry
  ``r - q`` follows from ``F``, ``S`` and the schedule.

Without a dividend in (0, 1] every result is the accurate model's
(:mod:`velliq.american`) at the same setting, bit for bit.

The Greeks are those of :mod:`velliq.american`: delta and gamma in ``S``,
vega in ``sigma``, ``dF`` in ``F`` and ``dD`` in ``D``, each with the other
inputs and the whole schedule (fractions and amounts) held fixed; a change of
``F`` with the schedule fixed is a change of the residual carry.
``amount_sensitivity(S, K, D, F, sigma, is_call, fractions, amounts)`` gives
the derivative in each amount (shape ``(..., n)``, S, D and F fixed: the
residual carry moves); it costs about two fifths of a price per dividend, so
``greeks`` leaves it out and keeps the five Greeks of the other models.

Three settings (``SETTINGS``): ``fast``, ``default`` and ``high``, each a
``PricingModel`` holding its ufuncs; the module-level ufuncs use ``default``,
``velliq.dividends.fast.price`` and ``velliq.dividends.high.price`` the
others. Reason codes as :mod:`velliq.baw` (``REASONS``).

>>> fractions, amounts = velliq.dividends.schedule([([0.25, 0.75], [0.5, 0.5]), ([0.5], [1.0])])
>>> velliq.dividends.price(100.0, 100.0, 0.99, [99.5, 99.0], 0.2, True, fractions, amounts)
"""

from collections.abc import Iterable, Sequence
from typing import Final

import numpy as np
import numpy.typing as npt

from ._models import PricingModel, registered
from ._ufuncs import REASONS

__all__ = [
    "PAD",
    "REASONS",
    "SETTINGS",
    "amount_sensitivity",
    "default",
    "fast",
    "forward_pair",
    "greeks",
    "high",
    "implied_vol",
    "implied_vol_reason",
    "price",
    "schedule",
]

fast: Final = registered("american_dividends", "fast")
default: Final = registered("american_dividends")
high: Final = registered("american_dividends", "high")
price: Final = default.price
implied_vol: Final = default.implied_vol
greeks: Final = default.greeks
implied_vol_reason: Final = default.implied_vol_reason
forward_pair: Final = default.forward_pair
assert default.amount_sensitivity is not None
amount_sensitivity: Final = default.amount_sensitivity

SETTINGS: Final[dict[str, PricingModel]] = {"fast": fast, "default": default, "high": high}

# The (fraction, amount) that fills a ragged schedule: after expiry, so ignored.
PAD: Final[tuple[float, float]] = (float("inf"), 0.0)

ArrayPair = tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]


def schedule(schedules: Iterable[tuple[Sequence[float], Sequence[float]]]) -> ArrayPair:
    """Ragged schedules as two 2-D arrays, one row per option, padded with ``PAD``.

    ``schedules`` holds one ``(fractions, amounts)`` per option, of any
    lengths (the two of one option alike). Returns ``(fractions, amounts)``,
    each of shape ``(options, longest schedule)``, ready as the last two
    arguments of the ufuncs. Raises ``ValueError`` where an option's fractions
    and amounts differ in length. The entries are not checked otherwise: the
    ufuncs give NaN for a malformed schedule.
    """
    rows = [(np.asarray(f, dtype=np.float64).ravel(), np.asarray(a, dtype=np.float64).ravel()) for f, a in schedules]
    for i, (fractions, amounts) in enumerate(rows):
        if fractions.size != amounts.size:
            raise ValueError(f"schedule {i}: {fractions.size} fractions but {amounts.size} amounts")
    width = max((fractions.size for fractions, _ in rows), default=0)
    padded_fractions = np.full((len(rows), width), PAD[0])
    padded_amounts = np.full((len(rows), width), PAD[1])
    for i, (fractions, amounts) in enumerate(rows):
        padded_fractions[i, : fractions.size] = fractions
        padded_amounts[i, : amounts.size] = amounts
    return padded_fractions, padded_amounts
