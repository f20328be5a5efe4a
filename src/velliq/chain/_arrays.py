"""Array types shared by the modules of velliq.chain."""

from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

Floats: TypeAlias = npt.NDArray[np.floating[Any]]
Bools: TypeAlias = npt.NDArray[np.bool_]
Ints: TypeAlias = npt.NDArray[np.intp]


def run_starts(sorted_keys: npt.NDArray[Any]) -> Ints:
    """Where each run of equal keys starts (0 first; none for no keys)."""
    if sorted_keys.size == 0:
        return np.zeros(0, np.intp)
    return np.flatnonzero(np.r_[True, sorted_keys[1:] != sorted_keys[:-1]])
