from collections.abc import Iterable, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias

import numpy as _np
import numpy.typing as npt

np = _np

_Number: TypeAlias = SupportsFloat | SupportsIndex

class _SupportsRealArray(Protocol):
    # NumPy arrays of real numbers, and objects that convert to them (pandas Series)
    def __array__(self) -> npt.NDArray[_np.floating[Any] | _np.integer[Any] | _np.bool_]: ...

# One-dimensional inputs of numbers: what NumPy converts to float64, without strings.
_Numbers: TypeAlias = Sequence[float] | _SupportsRealArray

def baw_price(S: _Number, K: _Number, D: _Number, F: _Number, sigma: _Number, flag: str) -> float: ...
def baw_implied_vol(price: _Number, S: _Number, K: _Number, D: _Number, F: _Number, flag: str) -> float: ...
def vectorized_baw_implied_vol(
    prices: _Numbers,
    S_arr: _Numbers,
    K_arr: _Numbers,
    D_arr: _Numbers,
    F_arr: _Numbers,
    flags: Iterable[str],
) -> npt.NDArray[_np.float64]: ...
def find_forward_baw(
    call_prices: _Numbers,
    put_prices: _Numbers,
    strikes: _Numbers,
    S: _Number,
    D: _Number,
    strike_pct: _Number = 0.01,
) -> float: ...
