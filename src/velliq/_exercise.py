"""What exercising an option now is worth, and how far a price is above it:
the one definition velliq's quote tables judge quotes by."""

from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["time_value"]

Floats = npt.NDArray[np.floating[Any]]


def time_value(price: Floats, S: Floats, K: Floats, is_call: npt.NDArray[np.bool_] | bool) -> Floats:
    """Per option, ``price`` less its exercise value, max(S - K, 0) for a call
    and max(K - S, 0) for a put: negative below it, 0 at it.

    NaN in any input gives NaN (the exercise value of a NaN spot or strike is
    NaN, not 0); a negative price is below every exercise value.
    """
    exercise: Floats = np.maximum(np.where(is_call, S - K, K - S), 0)
    return price - exercise
