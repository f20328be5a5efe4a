"""Forward terms from rates: the inputs every pricing function takes."""

import numpy as np

__all__ = ["forward_terms"]


def forward_terms(spot, rate, dividend_yield, years):
    """``(D, F)``: the discount factor exp(-rate·years) and the forward
    spot·exp((rate - dividend_yield)·years), continuously compounded; the
    arguments broadcast. The total standard deviation is ``vol * sqrt(years)``.
    """
    spot, rate, dividend_yield, years = (np.asarray(a, dtype=np.float64) for a in (spot, rate, dividend_yield, years))
    D = np.exp(-rate * years)
    F = spot * np.exp((rate - dividend_yield) * years)
    return D[()], F[()]
