"""A plain grid of option chains for the forward finder: every chain is priced
by the package's own BAW kernel at a known forward, so a sound search recovers
that forward from the prices.

Spot 100; rates 0.5/3/6 %; dividend yields 0/2/5 %; vols 10/25/50 %; expiries
from 7 days to 3 years; strikes 60-140 every 1, 2.5 or 5; windows 1 % and 5 %:
810 chains.
"""

import itertools
import math

import numpy as np

from velliq.norvane import baw_price

SPOT = 100.0
RATES = (0.005, 0.03, 0.06)
YIELDS = (0.0, 0.02, 0.05)
VOLS = (0.10, 0.25, 0.50)
YEARS = (7 / 365, 0.25, 0.5, 1.0, 3.0)
STRIKE_STEPS = (1.0, 2.5, 5.0)
WINDOWS = (0.01, 0.05)

CASES = list(itertools.product(RATES, YIELDS, VOLS, YEARS, STRIKE_STEPS, WINDOWS))


def chain(r, q, vol, years, step):
    """(calls, puts, strikes, S, D, F) of one chain, priced at forward F."""
    D = math.exp(-r * years)
    F = SPOT * math.exp((r - q) * years)
    sigma = vol * math.sqrt(years)
    strikes = np.arange(60.0, 140.0 + step / 2, step)
    calls = np.array([baw_price(SPOT, k, D, F, sigma, "c") for k in strikes])
    puts = np.array([baw_price(SPOT, k, D, F, sigma, "p") for k in strikes])
    return calls, puts, strikes, SPOT, D, F


def case_id(case):
    r, q, vol, years, step, window = case
    return f"r{r:g}-q{q:g}-v{vol:g}-T{years:.4g}-dK{step:g}-w{window:g}"
