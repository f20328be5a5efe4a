"""Write examples/data/vendor_quotes.csv.gz: a week of end-of-day quotes
shaped as a data vendor exports them, for the guide "Your vendor file".

One made-up underlying, XYZ, quoted at the close of each business day from
Monday 2026-03-02 to Friday 2026-03-06, in one file with the vendor's own
column names: quotedate, underlying_symbol, expiration, type ("call" or
"put"), strike, bid, ask, underlying_bid and underlying_ask. No spot column
(the underlying's bid and ask instead), no rate column. The monthly
expirations are dated on the Saturday after the third Friday, as some
vendors still date them; the options expire on that Friday, and are priced
so: the weekly of 2026-03-13 is a Friday.

How it is made: a 4.25 % rate (continuously compounded, Actual/365 Fixed),
a 1.2 % dividend yield, a spot drifting from 100 by 0.4 % a day, and a
volatility surface (a skew in ln(K/F), higher at short expiries). Each call
and put is priced by velliq.baw.price at the true expiry (the Friday); its
bid and ask sit 1.5 % of the price (at least a cent) either side, rounded
outwards to cents, a bid under a cent quoted as 0. Deterministic: running it
again rewrites the same bytes.
"""

from pathlib import Path

import numpy as np
import pandas as pd

import velliq
from velliq import baw

OUT = Path(__file__).resolve().parent / "data" / "vendor_quotes.csv.gz"
RATE, DIVIDEND_YIELD = 0.0425, 0.012
QUOTE_DATES = pd.bdate_range("2026-03-02", "2026-03-06")
# The vendor's expiration dates; the monthlies' Saturdays expire the day before.
EXPIRATIONS = ("2026-03-13", "2026-03-21", "2026-04-18", "2026-06-20", "2026-09-19", "2026-12-19")
STRIKE_RATIOS = np.arange(0.8, 1.2001, 0.025)


def true_expiry(expiration: str) -> pd.Timestamp:
    day = pd.Timestamp(expiration)
    return day - pd.Timedelta(days=1) if day.day_of_week == 5 else day


def quotes() -> pd.DataFrame:
    rows = []
    for n, date in enumerate(QUOTE_DATES):
        spot = round(100.0 * (1.004**n), 2)
        for expiration in EXPIRATIONS:
            years = (true_expiry(expiration) - date).days / 365.0
            D, F = velliq.forward_terms(spot, RATE, DIVIDEND_YIELD, years)
            strikes = np.round(STRIKE_RATIOS * 100.0 / 2.5) * 2.5
            vol = 0.22 + 0.06 * np.exp(-6.0 * years) - 0.25 * np.log(strikes / F)
            for side in ("call", "put"):
                mid = baw.price(spot, strikes, D, F, vol * np.sqrt(years), side == "call")
                half = np.maximum(0.01, 0.015 * mid)
                bid = np.floor((mid - half) * 100.0) / 100.0
                for K, b, a in zip(strikes, np.where(bid < 0.01, 0.0, bid), np.ceil((mid + half) * 100.0) / 100.0):
                    rows.append((f"{date:%Y-%m-%d}", "XYZ", expiration, side, K, b, a, spot - 0.01, spot + 0.01))
    columns = ["quotedate", "underlying_symbol", "expiration", "type", "strike", "bid", "ask"]
    return pd.DataFrame(rows, columns=[*columns, "underlying_bid", "underlying_ask"])


if __name__ == "__main__":
    table = quotes()
    table.to_csv(OUT, index=False, float_format="%.2f", compression={"method": "gzip", "mtime": 0})
    print(f"wrote {len(table)} quotes to {OUT}")
