"""One option chain inverted on every core, by the implied-volatility ufunc
on native threads."""

import numpy as np

from . import baw
from ._sides import sides
from ._threads import available_cores
from ._threads import workers as _workers

__all__ = ["available_cores", "implied_vol_parallel"]


def implied_vol_parallel(prices, S, K, D, F, flags, workers=None):
    """Implied total std devs of a chain, computed on `workers` native threads.

    The same values as ``velliq.norvane.vectorized_baw_implied_vol``, bit for
    bit, as a float64 ndarray; the inputs broadcast against each other, and ``flags`` may be
    anything ``velliq.sides`` accepts. ``workers=None`` uses every available
    core.
    """
    if workers is not None and int(workers) < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    is_call = sides(flags)
    with _workers(workers):
        # An ndarray whatever the inputs (a pandas Series would give a Series).
        return np.asarray(baw.implied_vol(prices, S, K, D, F, is_call))
