"""Barone-Adesi–Whaley (1987) American prices, implied volatilities and
sensitivities as NumPy ufuncs.

Arguments broadcast against each other: spot ``S``, strike ``K``, discount
factor ``D``, forward ``F``, ``sigma`` (volatility × √years, the total
standard deviation) and ``is_call`` (booleans; :func:`velliq.sides` turns
"c"/"p", "call"/"put", 1/-1 or a pandas categorical into them). Any other
``is_call`` dtype, an object array of bools included, raises a TypeError that
says so, rather than being cast. ``out=``,
``where=``, dtype casting and 0-d inputs work as for any ufunc; the loops run
without the GIL, on the workers set by :func:`velliq.workers`.

- ``price(S, K, D, F, sigma, is_call)``: never below the exercise value
  (the approximation can fall below it where the rate is not positive).
- ``implied_vol(price, S, K, D, F, is_call)``: total standard deviation; 0.0
  for a quote at or below its exercise value, NaN where none reproduces it.
- ``greeks(S, K, D, F, sigma, is_call)`` -> ``(delta, gamma, vega, dF, dD)``;
  those of the exercise value (delta ±1, the rest 0) where the price is it.
- ``implied_vol_reason(price, S, K, D, F, is_call)`` -> ``(vol, reason)``: the
  volatility (NaN where an input is missing) and why it is not a positive one.
- ``forward_pair(S, K, D, call_bid, call_mid, call_ask, put_bid, put_mid,
  put_ask)`` -> ``(F_mid, F_lo, F_hi, reason)``: per strike, the forward at
  which the mids' call and put volatilities agree, and the forwards at which
  their bid-ask volatility bands overlap.

A reason is an int8 code, the index of its name in ``REASONS``:
``missing_input``, ``below_intrinsic``, ``no_time_value``, ``no_solution``,
``ok``; for forward pairs also ``no_overlap`` (the bands meet at no forward)
and ``unsettled`` (a root did not settle). No ufunc gives codes 1 and 2
(``crossed``, ``no_forward``); they stay unused so that every code keeps its
meaning.

NaN in any input gives NaN, and so does an ``S``, ``K``, ``D`` or ``F`` that
is not positive and finite, or an infinite quote. Elsewhere each element
equals what ``velliq.norvane``'s scalar functions return for the same doubles,
bit for bit; those keep their own results outside that domain.
"""

from typing import Final

from ._models import registered
from ._ufuncs import REASONS

__all__ = ["REASONS", "forward_pair", "greeks", "implied_vol", "implied_vol_reason", "price"]

_BAW: Final = registered("baw")
price: Final = _BAW.price
implied_vol: Final = _BAW.implied_vol
greeks: Final = _BAW.greeks
implied_vol_reason: Final = _BAW.implied_vol_reason
forward_pair: Final = _BAW.forward_pair
