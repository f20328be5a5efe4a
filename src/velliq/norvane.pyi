"""The core: Barone-Adesi-Whaley (1987) prices, implied volatilities and the
forward finder as C-level functions, scalar and batch.

Sides: a ``flag`` equal to "c" is a call and anything else a put (so "C" is a
put here), a rule narrower than :func:`velliq.sides`, which reads "C", "call",
1/-1 and booleans.
"""

from collections.abc import Iterable

import numpy as _np
import numpy.typing as npt

from ._typing import Real, Reals

np = _np

def baw_price(S: Real, K: Real, D: Real, F: Real, sigma: Real, flag: str) -> float: ...
def baw_implied_vol(price: Real, S: Real, K: Real, D: Real, F: Real, flag: str) -> float: ...
def vectorized_baw_implied_vol(
    prices: Reals,
    S_arr: Reals,
    K_arr: Reals,
    D_arr: Reals,
    F_arr: Reals,
    flags: Iterable[str],
) -> npt.NDArray[_np.float64]: ...
def find_forward_baw(
    call_prices: Reals,
    put_prices: Reals,
    strikes: Reals,
    S: Real,
    D: Real,
    strike_pct: Real = 0.01,
) -> float: ...
