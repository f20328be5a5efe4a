"""Forward terms from rates, the inputs every pricing function takes, and the rates from them."""

from typing import Any, overload

import numpy as np
import numpy.typing as npt

from ._typing import Real, Reals

__all__ = ["forward_terms", "implied_dividend_yield", "implied_rate"]

Floats = npt.NDArray[np.floating[Any]]


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


def implied_rate(discount: Floats, years: Floats) -> Floats:
    """The continuously compounded rate of a discount factor: -ln(discount) / years
    (the inverse of :func:`forward_terms`'s D); NaN or infinite at no time."""
    with np.errstate(divide="ignore", invalid="ignore"):
        rate: Floats = -np.log(discount) / years
    return rate


def implied_dividend_yield(spot: Floats, forward: Floats, rate: Floats, years: Floats) -> Floats:
    """The dividend yield of a forward at ``rate``: rate - ln(forward / spot) / years
    (the inverse of :func:`forward_terms`'s F)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        dividend_yield: Floats = rate - np.log(forward / spot) / years
    return dividend_yield
