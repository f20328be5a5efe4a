"""A vendor's end-of-day export made up with known truth and labelled mess.

Two quote dates, three underlyings (no column telling them apart is needed:
one is given), three expiries each; every call and put priced by
velliq.american at a known smile (vol = atm + skew * m + curve * m², m the
log-moneyness over the square root of the years), bid and ask around the
price a spread apart, rounded outwards to ticks. The spot moves 3 % between
the dates. Then the mess, each row labelled with what it is: far out of the
money zero bids, no market (0/0), day-2 rows still carrying day-1 quotes
(stale), strike typos (two digits swapped, filed under a strike that is not
listed), identical and conflicting duplicates, expired rows, a blank side
and a non-positive spot. ``LABEL_STATUSES`` says which statuses each label
may get.
"""

import numpy as np
import pandas as pd

import velliq
from velliq import american

RATE = 0.04
TICK = 0.01
DATES = (pd.Timestamp("2025-06-02"), pd.Timestamp("2025-06-03"))
EXPIRIES = (pd.Timestamp("2025-06-20"), pd.Timestamp("2025-07-18"), pd.Timestamp("2025-09-19"))
# spot on the first date, dividend yield, atm vol, skew, curvature, strike step
UNDERLYINGS = {
    "ALPH": (212.0, 0.01, 0.28, -0.06, 0.02, 2.5),
    "BETA": (584.0, 0.015, 0.18, -0.05, 0.015, 5.0),
    "GAMA": (47.3, 0.0, 0.40, -0.04, 0.03, 1.0),
}
SPOT_MOVE = 1.03  # the second date's spot over the first's

# The statuses each label may get; the goals are checked on the counts.
LABEL_STATUSES = {
    "clean": {
        "ok",
        "no_time_value",
        "no_solution",
        "arbitrage",
    },  # deep puts at exercise value; the goal bounds the rest
    "zero_bid": {"one_sided"},
    "no_market": {"one_sided"},
    "stale": {"arbitrage", "ok"},
    "typo": {"arbitrage", "below_intrinsic", "ok"},  # filed under a higher strike, a call can fall below it
    "duplicate": {"duplicate"},  # the repeats, after the rows they repeat
    "expired": {"expired"},
    "blank_side": {"missing_input"},
    "bad_spot": {"missing_input"},
}


def _smile(S, F, K, years, atm, skew, curve):
    m = np.log(K / F) / np.sqrt(years)
    return atm + skew * m + curve * m * m


def _clean(rng):
    rows = []
    for day, date in enumerate(DATES):
        for name, (spot, q, atm, skew, curve, step) in UNDERLYINGS.items():
            S = round(spot * SPOT_MOVE**day, 2)
            for expiry in EXPIRIES:
                years = (expiry - date).days / 365.0
                D, F = velliq.forward_terms(S, RATE, q, years)
                strikes = np.arange(np.ceil(0.8 * S / step), np.floor(1.2 * S / step) + 1) * step
                for K in strikes:
                    vol = _smile(S, F, K, years, atm, skew, curve)
                    for is_call in (True, False):
                        price = float(american.price(S, K, D, F, vol * np.sqrt(years), is_call))
                        rows.append((date, name, expiry, K, "C" if is_call else "P", S, price))
    table = pd.DataFrame(rows, columns=["quote_date", "underlying", "expiry", "strike", "side", "spot", "price"])
    spread = np.maximum(0.03 * table.price, 2 * TICK) * rng.uniform(0.8, 1.2, len(table))
    table["bid"] = np.maximum(np.floor((table.price - spread / 2) / TICK) * TICK, 0).round(2)
    table["ask"] = (np.ceil((table.price + spread / 2) / TICK) * TICK).round(2)
    table["label"] = np.where(table.bid > 0, "clean", "zero_bid")  # a price under half the spread: a zero bid
    return table


def messy_quotes(seed=20250603):
    """The export, with a ``label`` column (dropped before pricing) saying what each row is."""
    rng = np.random.default_rng(seed)
    table = _clean(rng)
    clean = table.label == "clean"
    far = np.abs(np.log(table.strike / table.spot)) > 0.1
    day2 = table.quote_date == DATES[1]
    taken = ~clean.to_numpy().copy()

    def pick(candidates, n):
        rows = rng.choice(np.flatnonzero(candidates & ~taken), n, replace=False)
        taken[rows] = True
        return np.sort(rows)

    rows = pick(far.to_numpy(), 20)
    table.loc[rows, "bid"] = 0.0
    table.loc[rows, "label"] = "zero_bid"
    rows = pick(far.to_numpy(), 8)
    table.loc[rows, ["bid", "ask"]] = 0.0
    table.loc[rows, "label"] = "no_market"

    # Stale: a day-2 row carrying its day-1 quote.
    rows = pick((day2 & ~far & (table.bid > 0.5)).to_numpy(), 12)
    key = ["underlying", "expiry", "strike", "side"]
    day1 = table[~day2].set_index(key)[["bid", "ask"]]
    table.loc[rows, ["bid", "ask"]] = day1.loc[pd.MultiIndex.from_frame(table.loc[rows, key])].to_numpy()
    table.loc[rows, "label"] = "stale"

    # Typos: the strike's last two digits swapped, where that strike is not listed.
    listed = set(zip(table.underlying, table.quote_date, table.expiry, table.strike))
    swapped = table.strike.map(lambda k: float(f"{int(k)}"[:-2] + f"{int(k)}"[-1] + f"{int(k)}"[-2]) if k >= 10 else k)
    unlisted = np.array(
        [
            (u, d, e, s) not in listed and abs(s - k) >= 3
            for u, d, e, s, k in zip(table.underlying, table.quote_date, table.expiry, swapped, table.strike)
        ]
    )
    inside = (swapped > 0.8 * table.spot) & (swapped < 1.2 * table.spot) & (table.strike == table.strike.round())
    rows = pick((unlisted & inside & (table.bid > 0.5)).to_numpy(), 7)
    table.loc[rows, "strike"] = swapped[rows]
    table.loc[rows, "label"] = "typo"

    # Duplicates: identical repeats (the first stays ok) and conflicting ones (all flagged).
    identical = table.loc[pick(clean.to_numpy(), 3)].assign(label="duplicate")
    conflicting_rows = pick(clean.to_numpy(), 2)
    conflicting = table.loc[conflicting_rows].assign(label="duplicate", ask=lambda t: t.ask + 0.05)
    table.loc[conflicting_rows, "label"] = "duplicate"

    expired = table.loc[pick(clean.to_numpy(), 4)].assign(expiry=lambda t: t.quote_date, label="expired")

    rows = pick(clean.to_numpy(), 1)
    table["side"] = table.side.astype(object)
    table.loc[rows, "side"] = np.nan
    table.loc[rows, "label"] = "blank_side"
    rows = pick(clean.to_numpy(), 1)
    table.loc[rows, "spot"] = -1.0
    table.loc[rows, "label"] = "bad_spot"

    messy = pd.concat([table, identical, conflicting, expired], ignore_index=True)
    return messy.drop(columns="price")
