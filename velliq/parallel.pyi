from collections.abc import Iterable

import numpy as np
import numpy.typing as npt

from .norvane import _Numbers

def available_cores() -> int: ...
def implied_vol_parallel(
    prices: _Numbers,
    S: _Numbers,
    K: _Numbers,
    D: _Numbers,
    F: _Numbers,
    flags: Iterable[str],
    workers: int | None = None,
) -> npt.NDArray[np.float64]: ...
