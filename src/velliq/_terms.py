"""Forward terms from rates: the inputs every pricing function takes."""

import numpy as np

__all__ = ["forward_terms"]


def forward_terms(spot, rate, dividend_yield, years):
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
