"""Whether velliq.american inverts its own prices: random options over the range the model
prices, and the quotes among them whose implied volatility does not give their price back.
Shared by bench/american_inversion.py (1,000,000 options) and tests/test_american.py."""

import numpy as np

import velliq

# The price of the implied volatility against the quote, per unit strike: the search prices
# each volatility from the last one's boundary, so it ends within the scheme's resolution of a
# price that differs from a fresh one by what the setting's iteration leaves (as in
# tests/test_american.py's round trip).
ROUND_TRIP_TOLERANCE = {"fast": 1e-5, "default": 1e-6, "high": 1e-8}
# Quotes whose vega (per unit of total standard deviation) is below this pin no volatility.
MIN_VEGA = 1e-4
# Points of the grid from sigma 0 to 1.5 sigma on which a price must rise to be inverted.
MONOTONE_POINTS = 61
STRIKE = 100.0


def random_options(n, seed):
    """Options of strike 100 over the range the model prices: spots a factor e^±1.5 from the
    strike, 1 day to 30 years, rates and yields -5 % to 20 %, total standard deviations 1e-3
    to 4; half calls. Returns S, K, D, F, sigma, is_call."""
    rng = np.random.default_rng(seed)
    years = np.exp(rng.uniform(np.log(1 / 365), np.log(30.0), n))
    rate, dividend_yield = rng.uniform(-0.05, 0.2, (2, n))
    sigma = np.exp(rng.uniform(np.log(1e-3), np.log(4.0), n))
    S = STRIKE * np.exp(rng.uniform(-1.5, 1.5, n))
    D, F = velliq.forward_terms(S, rate, dividend_yield, years)
    return S, np.full(n, STRIKE), D, F, sigma, rng.random(n) < 0.5


def inversion_failures(model, tolerance, options):
    """Prices `options` with `model` (a velliq.american setting) and inverts them.

    Returns the number of quotes counted (finite price, vega >= MIN_VEGA), the indices of
    those whose implied volatility is NaN or prices further than `tolerance` (per unit
    strike) from the quote although the price rises with sigma, their implied volatilities,
    and the indices of the other misses, whose price does not rise with sigma or jumps over
    the quote: no price to invert (the model outside its accurate range).
    """
    S, K, D, F, sigma, is_call = options
    price = model.price(S, K, D, F, sigma, is_call)
    vega = model.greeks(S, K, D, F, sigma, is_call)[2]
    idx = np.flatnonzero(np.isfinite(price) & (vega >= MIN_VEGA))
    args = (S[idx], K[idx], D[idx], F[idx])
    implied = model.implied_vol(price[idx], *args, is_call[idx])
    back = model.price(*args, implied, is_call[idx])
    with np.errstate(invalid="ignore"):
        ok = np.abs(back - price[idx]) <= tolerance * K[idx]
    missed, implied = idx[~ok], implied[~ok]
    missed_options = tuple(a[missed] for a in options)
    invertible = _rises_with_sigma(model, missed_options) & ~_jumps_over(
        model, tolerance, price[missed], missed_options, implied
    )
    return idx.size, missed[invertible], implied[invertible], missed[~invertible]


def _jumps_over(model, tolerance, quotes, options, implied):
    """Per option, whether its price jumps over the quote at the implied volatility (from
    below to above it within a relative step of 1e-9 in sigma): no sigma gives the quote."""
    S, K, D, F, _, is_call = options
    below = model.price(S, K, D, F, implied * (1 - 1e-9), is_call)
    above = model.price(S, K, D, F, implied * (1 + 1e-9), is_call)
    return (below < quotes - tolerance * K) & (above > quotes + tolerance * K)


def _rises_with_sigma(model, options):
    """Per option, whether its price never falls (beyond rounding) from sigma 0 to 1.5 sigma."""
    S, K, D, F, sigma, is_call = (a[:, None] for a in options)
    grid = sigma * np.linspace(0.0, 1.5, MONOTONE_POINTS)
    prices = model.price(S, K, D, F, grid, is_call)
    return np.all(np.diff(prices, axis=1) >= -1e-12 * K, axis=1)
