from typing import Any, overload

import numpy as np
import numpy.typing as npt

from ._typing import Real, Reals

__all__ = ["forward_terms", "implied_dividend_yield", "implied_rate"]

# (D, F): NumPy doubles for numbers, arrays where any argument is one.
@overload
def forward_terms(  # type: ignore[overload-overlap]
    spot: Real, rate: Real, dividend_yield: Real, years: Real
) -> tuple[np.float64, np.float64]: ...
@overload
def forward_terms(
    spot: Real | Reals, rate: Real | Reals, dividend_yield: Real | Reals, years: Real | Reals
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...

# The inverses: -ln(discount) / years, and rate - ln(forward / spot) / years.
Floats = npt.NDArray[np.floating[Any]]

def implied_rate(discount: Floats, years: Floats) -> Floats: ...
def implied_dividend_yield(spot: Floats, forward: Floats, rate: Floats, years: Floats) -> Floats: ...
