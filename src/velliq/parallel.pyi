from typing import overload

import numpy as np
import numpy.typing as npt

from ._typing import Real, Reals, Sides

__all__ = ["available_cores", "implied_vol_parallel"]

def available_cores() -> int: ...
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
