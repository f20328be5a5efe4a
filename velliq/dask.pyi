from collections.abc import Sequence

import dask.array as da
import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd

from .norvane import _Number, _Numbers

__all__ = ["forwards", "implied_vol"]

def implied_vol(
    prices: da.Array | _Numbers,
    S: da.Array | _Numbers,
    K: da.Array | _Numbers,
    D: da.Array | _Numbers,
    F: da.Array | _Numbers,
    is_call: da.Array | npt.NDArray[np.bool_] | Sequence[bool],
) -> da.Array: ...
def forwards(
    frame: dd.DataFrame | pd.DataFrame,
    spot: str = "spot",
    discount: str = "discount",
    strike_pct: _Number = 0.01,
    *,
    expiry: str = "expiry",
    strike: str = "strike",
    call_price: str = "call_price",
    put_price: str = "put_price",
) -> pd.Series: ...
