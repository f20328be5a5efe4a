"""A quote file shaped like a vendor's end-of-day export: many quote dates in
one table, its own column names (``quotedate``, ``expiration``, ``type``,
``underlying_last``), headers padded with spaces (`` bid``, ``ask ``), dates
as text. Mids are exact Barone-Adesi-Whaley prices (velliq.baw) at the
forward S·exp((r - q)·T), T in days/365 to each expiration, quoted a cent
either side: the forwards they imply are known."""

import numpy as np
import pandas as pd

import velliq
from velliq import baw

RATE, YIELD, VOL = 0.04, 0.015, 0.3
EXPIRATIONS = ("2026-09-18", "2026-12-18", "2027-03-19", "2027-09-17")
STRIKE_RATIOS = np.arange(0.75, 1.2501, 0.005)
# The vendor's column of each input velliq reads, as `velliq vols --column NAME=COLUMN` maps them.
VENDOR_COLUMNS = {"expiry": "expiration", "side": "type", "spot": "underlying_last", "bid": " bid", "ask": "ask "}


def quote_dates(count):
    return [f"{day:%Y-%m-%d}" for day in pd.bdate_range("2026-03-02", periods=count)]


def vendor_quotes(dates):
    """The quotes of every date in `dates`, and the true forward of each row."""
    grid = pd.MultiIndex.from_product(
        [range(len(dates)), EXPIRATIONS, STRIKE_RATIOS, ("C", "P")], names=["day", "expiration", "ratio", "type"]
    ).to_frame(index=False)
    quotedate = np.asarray(dates)[grid["day"]]
    spot = 100.0 * (1.0 + 0.004 * grid["day"].to_numpy())
    years = (pd.to_datetime(grid["expiration"]) - pd.to_datetime(quotedate)).dt.days.to_numpy() / 365.0
    strike = np.round(spot * grid["ratio"].to_numpy(), 2)
    D, F = velliq.forward_terms(spot, RATE, YIELD, years)
    is_call = (grid["type"] == "C").to_numpy()
    mid = baw.price(spot, strike, D, F, VOL * np.sqrt(years), is_call)
    quotes = pd.DataFrame(
        {
            "quotedate": quotedate,
            "expiration": grid["expiration"].to_numpy(),
            "type": grid["type"].to_numpy(),
            "strike": strike,
            " bid": mid - 0.01,
            "ask ": mid + 0.01,
            "underlying_last": spot,
        }
    )
    return quotes, F
