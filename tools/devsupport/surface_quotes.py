"""Synthetic bid/ask vols for velliq.surface's tests and benchmark: an SSVI surface
(Gatheral & Jacquier 2014, "Arbitrage-free SVI volatility surfaces", eq. 4.1 with the
power-law phi of their section 4.2; eta (1 + |rho|) <= 2 makes it free of butterfly and
calendar arbitrage, their Corollary 4.1) widened by a spread."""

import numpy as np

EXPIRIES = np.array([0.02, 0.05, 0.1, 0.25, 0.5, 1.0, 2.0])


def ssvi_vol(x, years, rho=-0.4, eta=1.0, gamma=0.5, atm_variance_rate=0.04):
    """The annual SSVI vol at log forward moneyness x."""
    theta = atm_variance_rate * years
    phi = eta / (theta**gamma * (1.0 + theta) ** (1.0 - gamma))
    w = theta / 2.0 * (1.0 + rho * phi * x + np.sqrt((phi * x + rho) ** 2 + 1.0 - rho**2))
    return np.sqrt(w / years)


# 24 expiries of a listed index ETF: weeklies, monthlies, quarterlies to two years.
DESK_EXPIRIES = (
    np.array([2, 5, 9, 12, 16, 23, 30, 44, 58, 72, 86, 100, 121, 149, 184, 212, 275, 366, 457, 548, 639, 730, 821, 912])
    / 365.0
)


def ssvi_quotes(expiries=EXPIRIES, per_slice=60, seed=1, half_spread=(0.002, 0.005), shift=None, noise=0.0):
    """Columns years, forward, discount, strike, vol_bid, vol_ask, vol (the SSVI vol) as
    arrays; ``shift(years)`` moves a slice's band up (vol units) to make bands inconsistent;
    ``noise``: the band's centre moved off the SSVI by up to this share of its half-width
    (uniform), as quotes' mids are."""
    rng = np.random.default_rng(seed)
    parts = []
    for years in expiries:
        forward, discount = 100.0 * np.exp(0.02 * years), np.exp(-0.04 * years)
        x = np.linspace(-4.0, 3.0, per_slice) * 0.2 * np.sqrt(years)
        half = half_spread[0] + (half_spread[1] - half_spread[0]) * rng.random(x.size)
        vol = ssvi_vol(x, years) + (shift(years) if shift else 0.0)
        vol = vol + noise * half * rng.uniform(-1.0, 1.0, x.size)
        n = x.size
        parts.append(
            (
                np.full(n, years),
                np.full(n, forward),
                np.full(n, discount),
                forward * np.exp(x),
                vol - half,
                vol + half,
                vol,
            )
        )
    names = ("years", "forward", "discount", "strike", "vol_bid", "vol_ask", "vol")
    return dict(zip(names, (np.concatenate(c) for c in zip(*parts))))
