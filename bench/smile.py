"""The two-year smile of the accuracy pages: out-of-the-money American prices
made from one smile, inverted with BAW and with the accurate model, drawn
against that smile. bench/american.py --plot makes the prices with QuantLib's
QdFp engine, the documentation (docs/plots/) with velliq.american.high."""

import numpy as np

import velliq
from velliq import american, baw

SPOT, DAYS, RATE, DIVIDEND_YIELD = 100.0, 730, 0.06, 0.0
YEARS = DAYS / 365


def figure(american_prices, title):
    """The figure, prices from ``american_prices(K, vol, D, F, is_call)`` (vol annual)."""
    import matplotlib.pyplot as plt

    K = np.arange(50.0, 161.0, 5.0)
    true_vol = 0.25 - 0.15 * np.log(K / 100) + 0.3 * np.log(K / 100) ** 2
    D, F = velliq.forward_terms(SPOT, RATE, DIVIDEND_YIELD, YEARS)
    is_call = K >= F  # out of the money
    prices = american_prices(K, true_vol, D, F, is_call)
    fig, ax = plt.subplots(figsize=(8, 5))
    ax.plot(K, true_vol, "k-", lw=1, label="smile the prices were made from")
    for name, implied_vol, style in (("BAW", baw.implied_vol, "o--"), ("velliq.american", american.implied_vol, "s:")):
        ax.plot(
            K, implied_vol(prices, SPOT, K, D, F, is_call) / np.sqrt(YEARS), style, ms=4, label=f"inverted with {name}"
        )
    ax.set_xlabel("strike (spot 100)")
    ax.set_ylabel("implied volatility")
    ax.set_title(title)
    ax.legend()
    return fig
