"""Forward terms from rates: the inputs every pricing function takes."""

from typing import overload

import numpy as np
import numpy.typing as npt

from ._typing import Real, Reals

__all__ = ["forward_terms"]


# (D, F): NumPy doubles for numbers, arrays where any argument is one.
@overload
def forward_terms(  # type: ignore[overload-overlap]
    spot: Real, rate: Real, dividend_yield: Real, years: Real
) -> tuple[np.float64, np.float64]: ...
@overload
def forward_terms(
    spot: Real | Reals, rate: Real | Reals, dividend_yield: Real | Reals, years: Real | Reals
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
def forward_terms(
    spot: Real | Reals, rate: Real | Reals, dividend_yield: Real | Reals, years: Real | Reals
) -> tuple[np.float64 | npt.NDArray[np.float64], np.float64 | npt.NDArray[np.float64]]:
    """The discount factor and forward every pricing function takes.

    Parameters
    ----------
    spot, rate, dividend_yield, years : array_like
        Continuously compounded rate and dividend yield; they broadcast.

    Returns
    -------
    tuple
        ``(D, F)``: exp(-rate·years) and spot·exp((rate - dividend_yield)·years),
        NumPy doubles for numbers, arrays otherwise. The total standard
        deviation the ufuncs take is ``vol * sqrt(years)``.
    """
    spot, rate, dividend_yield, years = (np.asarray(a, dtype=np.float64) for a in (spot, rate, dividend_yield, years))
    D = np.exp(-rate * years)
    F = spot * np.exp((rate - dividend_yield) * years)
    return D[()], F[()]
