"""Type aliases of velliq's signatures: what its functions accept."""

from collections.abc import Iterable, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = ["Real", "Reals", "Sides", "SupportsRealArray"]

# A number Python converts to a double.
Real: TypeAlias = SupportsFloat | SupportsIndex


class SupportsRealArray(Protocol):
    """NumPy arrays of real numbers, and what converts to one (a pandas Series)."""

    def __array__(self) -> npt.NDArray[np.floating[Any] | np.integer[Any] | np.bool_]: ...


# One-dimensional numbers, as NumPy converts them to float64; strings excluded.
Reals: TypeAlias = Sequence[float] | SupportsRealArray

# Option sides as velliq.sides takes them: "c"/"call", "p"/"put", booleans,
# 1 and -1, one or many (a NumPy array of any of them is iterable).
Sides: TypeAlias = str | int | Iterable[str | int]
