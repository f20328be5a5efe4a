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

NaN in any input gives NaN, and so does an ``S``, ``K``, ``D`` or ``F`` that
is not positive and finite, or an infinite quote. Elsewhere each element
equals what ``velliq.norvane``'s scalar functions return for the same doubles,
bit for bit; those keep their own results outside that domain.
"""

from ._ufuncs import baw_greeks as greeks
from ._ufuncs import baw_implied_vol as implied_vol
from ._ufuncs import baw_price as price

__all__ = ["greeks", "implied_vol", "price"]
