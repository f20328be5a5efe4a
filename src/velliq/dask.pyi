from typing import Any, overload

import dask.array as da
import dask.dataframe as dd
import pandas as pd

from ._typing import Real, Reals, Sides

__all__ = ["forwards", "implied_vol", "implied_vols"]

@overload
def implied_vol(
    prices: da.Array | Reals,
    S: da.Array | Reals,
    K: da.Array | Reals,
    D: da.Array | Reals,
    F: da.Array | Reals,
    side: da.Array | Sides,
) -> da.Array: ...
@overload
def implied_vol(
    prices: da.Array | Reals,
    S: da.Array | Reals,
    K: da.Array | Reals,
    D: da.Array | Reals,
    F: da.Array | Reals,
    *,
    is_call: da.Array | Sides,  # the former keyword of side
) -> da.Array: ...
def forwards(
    frame: dd.DataFrame | pd.DataFrame,
    spot: str = "spot",
    discount: str = "discount",
    strike_pct: Real = 0.01,
    *,
    expiry: str = "expiry",
    strike: str = "strike",
    call_price: str = "call_price",
    put_price: str = "put_price",
    **long_table: Any,
) -> pd.Series[float] | pd.DataFrame: ...
def implied_vols(
    frame: dd.DataFrame | pd.DataFrame, *, underlying: str = "underlying", expiry: str = "expiry", **kwargs: Any
) -> dd.DataFrame: ...
