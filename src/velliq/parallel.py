"""One option chain inverted on every core, by the Barone-Adesi-Whaley
implied-volatility ufunc on native threads."""

from typing import overload

import numpy as np
import numpy.typing as npt

from . import baw
from ._sides import side_argument, sides
from ._threads import available_cores
from ._threads import workers as _workers
from ._typing import Real, Reals, Sides

__all__ = ["available_cores", "implied_vol_parallel"]


@overload
def implied_vol_parallel(
    prices: Real | Reals,
    S: Real | Reals,
    K: Real | Reals,
    D: Real | Reals,
    F: Real | Reals,
    side: Sides,
    workers: int | None = None,
) -> npt.NDArray[np.float64]: ...
@overload
def implied_vol_parallel(
    prices: Real | Reals,
    S: Real | Reals,
    K: Real | Reals,
    D: Real | Reals,
    F: Real | Reals,
    *,
    workers: int | None = None,
    flags: Sides,  # the former keyword of side
) -> npt.NDArray[np.float64]: ...
def implied_vol_parallel(
    prices: Real | Reals,
    S: Real | Reals,
    K: Real | Reals,
    D: Real | Reals,
    F: Real | Reals,
    side: Sides | None = None,
    workers: int | None = None,
    *,
    flags: Sides | None = None,
) -> npt.NDArray[np.float64]:
    """Implied total std devs of a chain, computed on `workers` native threads.

    Parameters
    ----------
    prices, S, K, D, F : array_like
        Quotes, spots, strikes, discount factors and forwards; they broadcast
        against each other.
    side : array_like
        Anything :func:`velliq.sides` accepts ("c"/"call", "P", 1/-1,
        booleans, a pandas categorical). ``flags=`` is its former keyword.
    workers : int, optional
        Native threads; None uses every available core.

    Returns
    -------
    numpy.ndarray
        float64, the same values as
        ``velliq.norvane.vectorized_baw_implied_vol``, bit for bit.
    """
    if workers is not None and int(workers) < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    is_call = sides(side_argument(side, "flags", flags))
    with _workers(workers):
        # An ndarray whatever the inputs (a pandas Series would give a Series).
        return np.asarray(baw.implied_vol(prices, S, K, D, F, is_call))
