"""The one fixed workload behind every benchmark figure.

A seeded book of American options on many underlyings: each underlying has its
own spot, rate (0 to 5 %), dividend yield (0 to 3 %) and volatility smile;
twelve expiries from a week to two years; strikes from 50 % to 150 % of spot;
a call and a put at every strike. Each option is priced with
``velliq.norvane.baw_price`` at its smile volatility, and only quotes that can
be inverted are kept: time value above 1e-6, at least one tick (0.01), and a
finite positive ``baw_implied_vol``. Quotes are kept in book order
(underlying, expiry, strike, call before put) up to the requested count.
"""

import math
from dataclasses import dataclass

import numpy as np

from velliq.norvane import baw_implied_vol, baw_price

SEED = 20240601
EXPIRY_DAYS = (7, 14, 30, 45, 61, 91, 122, 182, 273, 365, 547, 730)
STRIKE_PCTS = np.round(np.arange(0.50, 1.50 + 1e-9, 0.025), 3)
YEAR_DAYS = 365.0  # Actual/365 Fixed: T = days / 365
TICK = 0.01


@dataclass
class Chain:
    """Quotes in forward terms plus what the peers need to rebuild them."""

    prices: np.ndarray
    S: np.ndarray
    K: np.ndarray
    D: np.ndarray
    F: np.ndarray
    sigma: np.ndarray  # total standard deviation the quote was priced at
    days: np.ndarray  # calendar days to expiry
    flags: list  # "c" or "p"

    def __len__(self):
        return len(self.prices)

    @property
    def T(self):
        return self.days / YEAR_DAYS

    def take(self, index):
        index = np.asarray(index)
        return Chain(
            *(
                np.ascontiguousarray(a[index])
                for a in (self.prices, self.S, self.K, self.D, self.F, self.sigma, self.days)
            ),
            [self.flags[i] for i in index],
        )

    def arrays(self):
        """The batch entry point's arguments: C-contiguous float64 arrays, flags as a list of str."""
        return self.prices, self.S, self.K, self.D, self.F, self.flags


def smile(strike, forward, years, level, skew, curvature):
    """Annual volatility: skewed and curved in log-moneyness, flattening with maturity."""
    m = math.log(strike / forward) / math.sqrt(max(years, 1 / 12))
    vol = level + skew * m + curvature * m * m + 0.03 * math.exp(-4 * years)
    return min(max(vol, 0.05), 2.0)


def build_chain(n_quotes, seed=SEED):
    rng = np.random.default_rng(seed)
    rows = []
    while len(rows) < n_quotes:
        spot = float(np.round(np.exp(rng.uniform(np.log(10.0), np.log(500.0))), 2))
        rate = float(rng.uniform(0.0, 0.05))
        dividend = float(rng.uniform(0.0, 0.03))
        level = float(rng.uniform(0.15, 0.45))
        skew = float(rng.uniform(-0.12, -0.01))
        curvature = float(rng.uniform(0.01, 0.06))
        for days in EXPIRY_DAYS:
            T = days / YEAR_DAYS
            D = math.exp(-rate * T)
            F = spot * math.exp((rate - dividend) * T)
            for pct in STRIKE_PCTS:
                K = float(np.round(spot * pct, 2))
                sigma = smile(K, F, T, level, skew, curvature) * math.sqrt(T)
                for flag in ("c", "p"):
                    price = baw_price(spot, K, D, F, sigma, flag)
                    intrinsic = max(spot - K, 0.0) if flag == "c" else max(K - spot, 0.0)
                    if price <= intrinsic + 1e-6 or price < TICK:
                        continue
                    implied = baw_implied_vol(price, spot, K, D, F, flag)
                    if not (math.isfinite(implied) and implied > 0):
                        continue
                    rows.append((price, spot, K, D, F, sigma, days, flag))
    rows = rows[:n_quotes]
    columns = list(zip(*rows))
    arrays = [np.ascontiguousarray(columns[i], dtype=np.float64) for i in range(6)]
    days = np.ascontiguousarray(columns[6], dtype=np.int64)
    return Chain(*arrays, days, list(columns[7]))


def forward_expiry(n_strikes=20):
    """One expiry with n_strikes listed strikes 1 apart around spot 100, priced with BAW."""
    spot, rate, dividend, days = 100.0, 0.03, 0.01, 91
    T = days / YEAR_DAYS
    D = math.exp(-rate * T)
    F = spot * math.exp((rate - dividend) * T)
    strikes = np.arange(n_strikes, dtype=np.float64) + (spot - n_strikes // 2)
    sigmas = [smile(k, F, T, 0.25, -0.08, 0.03) * math.sqrt(T) for k in strikes]
    calls = np.array([baw_price(spot, k, D, F, s, "c") for k, s in zip(strikes, sigmas)])
    puts = np.array([baw_price(spot, k, D, F, s, "p") for k, s in zip(strikes, sigmas)])
    return calls, puts, strikes, spot, D, F
