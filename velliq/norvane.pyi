from collections.abc import Iterable
from types import ModuleType
from typing import Any, SupportsFloat, SupportsIndex

import numpy
import numpy.typing as npt

_Number = SupportsFloat | SupportsIndex

np: ModuleType

def baw_price(S: _Number, K: _Number, D: _Number, F: _Number, sigma: _Number, flag: object) -> float: ...
def baw_implied_vol(price: _Number, S: _Number, K: _Number, D: _Number, F: _Number, flag: object) -> float: ...
def vectorized_baw_implied_vol(
    prices: npt.ArrayLike,
    S_arr: npt.ArrayLike,
    K_arr: npt.ArrayLike,
    D_arr: npt.ArrayLike,
    F_arr: npt.ArrayLike,
    flags: Iterable[Any],
) -> npt.NDArray[numpy.float64]: ...
def find_forward_baw(
    call_prices: npt.ArrayLike,
    put_prices: npt.ArrayLike,
    strikes: npt.ArrayLike,
    S: _Number,
    D: _Number,
    strike_pct: _Number = 0.01,
) -> float: ...
