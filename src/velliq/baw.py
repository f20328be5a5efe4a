"""Barone-Adesi–Whaley (1987) American prices, implied volatilities and
sensitivities as NumPy ufuncs.

Arguments broadcast against each other: spot ``S``, strike ``K``, discount
factor ``D``, forward ``F``, ``sigma`` (volatility × √years, the total
standard deviation) and ``is_call`` (booleans; :func:`velliq.sides` turns
"c"/"p", "call"/"put", 1/-1 or a pandas categorical into them). ``out=``,
``where=``, dtype casting and 0-d inputs work as for any ufunc; the loops run
without the GIL, on the workers set by :func:`velliq.workers`.

- ``price(S, K, D, F, sigma, is_call)``
- ``implied_vol(price, S, K, D, F, is_call)``: total standard deviation; 0.0
  for a quote at or below its exercise value, NaN where none reproduces it.
- ``greeks(S, K, D, F, sigma, is_call)`` -> ``(delta, gamma, vega, dF, dD)``.

Each element equals what ``velliq.norvane``'s scalar functions return for the
same doubles, bit for bit; NaN in any input gives NaN.
"""

from ._ufuncs import baw_greeks as greeks
from ._ufuncs import baw_implied_vol as implied_vol
from ._ufuncs import baw_price as price

__all__ = ["greeks", "implied_vol", "price"]
