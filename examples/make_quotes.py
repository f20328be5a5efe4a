"""Write the sample quote table examples/data/quotes.csv.gz and its truth.

The table is what a data vendor sends at the close of Friday 2026-12-04 (the
valuation date: run ``velliq vols examples/data/quotes.csv.gz
--valuation-date 2026-12-04 --rate 0.04``): American equity options on four
made-up underlyings, one row per quote, with columns underlying, expiry (ISO
date), strike, side ("C" or "P"), bid, ask and spot.

How it is made: one rate (4 %, continuously compounded, Actual/365 Fixed)
for all, and per underlying a spot, a dividend yield and a volatility
surface (an at-the-money term structure times a skewed, curved smile in
standardised moneyness). Each call and put is priced by velliq.baw.price;
the bid and ask sit around that price, a spread apart that widens out of the
money and at short expiries, rounded outwards to 0.01 ticks. Then the usual
mess, in known rows: zero bids (far out of the money, where the price is
under half the spread), crossed quotes, stale quotes (priced from an older
spot), missing bids or asks, exact duplicate rows, and quotes below their
exercise value.

examples/data/quotes_truth.json records what was used: per underlying the
spot, rate and dividend yield; per (underlying, expiry) the years, discount
factor, forward and at-the-money volatility; per kind of mess the count and
the 0-based row numbers in the file; and the statuses velliq.chain.implied_vols
gives, in all and per kind of mess, which the script checks before it
writes anything: each kind its own status (a missing bid or ask
``one_sided``, both ``missing_input``; a zero bid ``one_sided``; the second
of two identical rows ``duplicate``), at least 75 % of stale quotes flagged
(``arbitrage``: each breaks a bound against its neighbours), at most 0.5 %
of the clean rows.

Seeded and deterministic: running it again rewrites the same bytes.
"""

import datetime as dt
import json
import math
import sys
from pathlib import Path

import numpy as np
import pandas as pd

from velliq import baw, chain

VALUATION_DATE = dt.date(2026, 12, 4)
RATE = 0.04
TICK = 0.01
YEAR_DAYS = chain.YEAR_DAYS  # Actual/365 Fixed, as velliq.chain reads dates
SEED = 20261204
OUT = Path(__file__).resolve().parent / "data"

# spot, dividend yield, ATM vol short and long end, smile skew and curvature per
# standard deviation of log-moneyness, strike steps (near, far, beyond one year),
# near band (fraction of spot), weeklies listed
_FIELDS = ("spot", "q", "vol_short", "vol_long", "skew", "curv", "steps", "band", "weeklies")
UNDERLYINGS = {
    "ALDR": dict(zip(_FIELDS, (512.37, 0.013, 0.13, 0.18, -0.1, 0.02, (2.5, 5.0, 10.0), 0.06, True))),
    "BRNT": dict(zip(_FIELDS, (187.42, 0.005, 0.36, 0.31, -0.05, 0.025, (1.0, 2.5, 5.0), 0.1, True))),
    "CRVL": dict(zip(_FIELDS, (63.18, 0.032, 0.17, 0.21, -0.07, 0.015, (1.0, 2.5, 2.5), 0.15, False))),
    "DMTK": dict(zip(_FIELDS, (23.74, 0.0, 0.62, 0.48, -0.02, 0.03, (0.5, 1.0, 2.5), 0.25, False))),
}
# Listed strikes: within these standard deviations of log-moneyness and fractions of spot.
Z_RANGE = (-4.0, 3.25)
MONEYNESS_RANGE = (0.3, 2.2)

MESS = {"crossed": 37, "missing": 53, "stale": 41, "duplicate": 29, "below_intrinsic": 23}


def third_friday(year, month):
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def expiries(weeklies):
    """Monthlies for a year, then January, June and December of 2028; weeklies
    for five weeks. A Friday holiday moves to the Thursday."""
    dates = {third_friday(2026 + (11 + k) // 12, (11 + k) % 12 + 1) for k in range(13)}
    dates |= {third_friday(2028, m) for m in (1, 6, 12)}
    if weeklies:
        dates |= {VALUATION_DATE + dt.timedelta(weeks=w) for w in range(1, 6)}
    holidays = {dt.date(2026, 12, 25), dt.date(2027, 1, 1)}
    dates = {d - dt.timedelta(days=1) if d in holidays else d for d in dates}
    return sorted(d for d in dates if d > VALUATION_DATE)


def atm_vol(u, years):
    return u["vol_long"] + (u["vol_short"] - u["vol_long"]) * math.exp(-years / 0.4)


def strikes(u, forward, years, atm):
    """Fine steps near the spot, coarser further out, coarser still beyond a year."""
    width = atm * math.sqrt(years)
    lo, hi = (forward * math.exp(z * width) for z in Z_RANGE)
    lo, hi = max(lo, MONEYNESS_RANGE[0] * u["spot"]), min(hi, MONEYNESS_RANGE[1] * u["spot"])
    near, far, long_dated = u["steps"]
    far = long_dated if years > 1 else far
    grid = np.arange(math.ceil(lo / far) * far, hi, far)
    fine = np.arange(math.ceil(u["spot"] * (1 - u["band"]) / near) * near, u["spot"] * (1 + u["band"]), near)
    grid = np.union1d(grid, fine[(fine >= lo) & (fine <= hi)])
    return np.round(grid[grid > 0], 2)


def clean_quotes(rng):
    rows, groups = [], []
    for name, u in UNDERLYINGS.items():
        for expiry in expiries(u["weeklies"]):
            days = (expiry - VALUATION_DATE).days
            years = days / YEAR_DAYS
            D = math.exp(-RATE * years)
            F = u["spot"] * math.exp((RATE - u["q"]) * years)
            atm = atm_vol(u, years)
            groups.append(
                dict(
                    underlying=name,
                    expiry=expiry.isoformat(),
                    days=days,
                    years=years,
                    discount=D,
                    forward=F,
                    atm_vol=atm,
                )
            )
            K = strikes(u, F, years, atm)
            z = np.log(K / F) / (atm * math.sqrt(years))
            vol = np.maximum(atm * (1 + u["skew"] * z + u["curv"] * z**2), 0.3 * atm)
            for is_call in (True, False):
                rows.append(
                    pd.DataFrame(
                        dict(
                            underlying=name,
                            expiry=expiry.isoformat(),
                            strike=K,
                            is_call=is_call,
                            spot=u["spot"],
                            days=days,
                            D=D,
                            F=F,
                            sigma=vol * math.sqrt(years),
                            z=z,
                        )
                    )
                )
    table = pd.concat(rows, ignore_index=True)
    table["price"] = baw.price(table.spot, table.strike, table.D, table.F, table.sigma, table.is_call)
    # A quote never sits below what the option is worth at no volatility (its
    # exercise value, or the discounted forward payoff when that is more).
    payoff = np.where(table.is_call, 1, -1) * (table.F - table.strike)
    floor = np.maximum(table.D * payoff, intrinsic(table)).clip(0)
    table["quoted"] = np.maximum(table.price, floor + TICK)
    table["bid"], table["ask"] = bid_ask(table, table.quoted, rng)
    return table, pd.DataFrame(groups)


def intrinsic(table):
    return np.where(table.is_call, table.spot - table.strike, table.strike - table.spot).clip(0)


def bid_ask(table, price, rng):
    """Outward-rounded quotes a spread apart: a share of the price capped by a
    share of the spot, wider away from the money and near expiry."""
    away = 1 + 0.25 * np.abs(table.z)
    short = 1 + 0.5 * np.sqrt(7 / table.days)
    noise = rng.uniform(0.8, 1.25, len(table))
    spread = np.minimum(0.04 * price, 0.0008 * table.spot + 0.02) * away * short * noise
    spread = np.maximum(spread, TICK)
    bid = np.maximum(np.floor((price - spread / 2) / TICK + 1e-9) * TICK, 0.0)
    ask = np.ceil((price + spread / 2) / TICK - 1e-9) * TICK
    return np.round(bid, 2), np.round(ask, 2)


def add_mess(table, rng):
    """Rows spoilt in place, each kind on rows of its own; duplicates are appended."""
    taken = np.zeros(len(table), bool)

    def pick(candidates, n):
        chosen = rng.choice(np.flatnonzero(candidates & ~taken), n, replace=False)
        taken[chosen] = True
        return np.sort(chosen)

    exercise = intrinsic(table)
    otm = np.where(table.is_call, table.z > 0.3, table.z < -0.3)
    spoilt = {}

    # Stale: quoted when the spot was 1-3 % away; out of the money, so still above exercise value.
    rows = pick(otm & (np.abs(table.z) < 2.5) & (table.bid >= 0.10), MESS["stale"])
    moved = 1 + rng.choice([-1, 1], len(rows)) * rng.uniform(0.01, 0.03, len(rows))
    old = table.loc[rows]
    price = baw.price(old.spot * moved, old.strike, old.D, old.F * moved, old.sigma, old.is_call)
    table.loc[rows, "bid"], table.loc[rows, "ask"] = bid_ask(old, price, rng)
    spoilt["stale"] = rows

    rows = pick(table.ask >= 0.05, MESS["crossed"])
    table.loc[rows, "bid"] = np.round(table.ask[rows] + TICK * rng.integers(1, 6, len(rows)), 2)
    spoilt["crossed"] = rows

    rows = pick(np.ones(len(table), bool), MESS["missing"])
    which = rng.choice(["bid", "ask", "both"], len(rows), p=[0.4, 0.4, 0.2])
    table.loc[rows[which != "ask"], "bid"] = np.nan
    table.loc[rows[which != "bid"], "ask"] = np.nan
    spoilt["missing"] = rows

    rows = pick(exercise >= 1.0, MESS["below_intrinsic"])
    ask = np.floor((exercise[rows] - rng.uniform(0.02, 0.5, len(rows))) / TICK) * TICK
    table.loc[rows, "ask"] = np.round(ask, 2)
    table.loc[rows, "bid"] = np.round(np.maximum(ask - TICK * rng.integers(1, 20, len(rows)), 0), 2)
    spoilt["below_intrinsic"] = rows

    rows = pick(np.ones(len(table), bool), MESS["duplicate"])
    table["row"] = np.arange(len(table), dtype=float)
    copies = table.loc[rows].assign(row=lambda t: t.row + 0.5)  # right after the original
    table = pd.concat([table, copies]).sort_values("row", kind="stable").reset_index(drop=True)
    # Row numbers in the file: the copies shift everything below them.
    new_position = pd.Series(np.arange(len(table)), index=table.row)
    spoilt = {k: new_position[v.astype(float)].to_numpy() for k, v in spoilt.items()}
    spoilt["duplicate"] = new_position[rows + 0.5].to_numpy()
    others = np.concatenate([spoilt[k] for k in ("stale", "crossed", "missing", "below_intrinsic")])
    spoilt["zero_bid"] = np.setdiff1d(np.flatnonzero((table.bid == 0).to_numpy()), others)
    return table, spoilt


def main():
    rng = np.random.default_rng(SEED)
    table, groups = clean_quotes(rng)
    table, spoilt = add_mess(table, rng)
    quotes = pd.DataFrame(
        {
            "underlying": table.underlying,
            "expiry": table.expiry,
            "strike": table.strike,
            "side": np.where(table.is_call, "C", "P"),
            "bid": table.bid,
            "ask": table.ask,
            "spot": table.spot,
        }
    )

    result = chain.implied_vols(quotes, valuation_date=VALUATION_DATE, rate=RATE)
    statuses = result.status.value_counts().reindex(list(chain.STATUSES), fill_value=0)
    by_kind = {k: result.status.iloc[v].astype(str).value_counts().to_dict() for k, v in spoilt.items()}
    both_missing = int((result.bid.isna() & result.ask.isna()).iloc[spoilt["missing"]].sum())
    expected = {
        "missing": {"missing_input": both_missing, "one_sided": len(spoilt["missing"]) - both_missing},
        "crossed": {"crossed": len(spoilt["crossed"])},
        "below_intrinsic": {"below_intrinsic": len(spoilt["below_intrinsic"])},
        "duplicate": {"duplicate": len(spoilt["duplicate"])},
    }
    wrong = {k: by_kind[k] for k in expected if {s: n for s, n in by_kind[k].items() if n} != expected[k]}
    flagged = {k: 1 - by_kind[k].get("ok", 0) / len(spoilt[k]) for k in ("stale", "zero_bid")}
    clean = np.ones(len(quotes), bool)
    clean[np.concatenate(list(spoilt.values()))] = False
    clean_flagged = (result.status[clean] != "ok").mean()
    if wrong or flagged["zero_bid"] < 1 or flagged["stale"] < 0.75 or clean_flagged > 0.005:
        sys.exit(f"statuses {by_kind} are not the mess; clean rows flagged {clean_flagged:.2%}")

    OUT.mkdir(exist_ok=True)
    quotes.to_csv(OUT / "quotes.csv.gz", index=False, float_format="%.2f", compression={"method": "gzip", "mtime": 0})
    truth = {
        "valuation_date": VALUATION_DATE.isoformat(),
        "rate": RATE,
        "tick": TICK,
        "day_count": "Actual/365 Fixed",
        "compounding": "continuous",
        "seed": SEED,
        "rows": len(quotes),
        "underlyings": {k: {"spot": u["spot"], "rate": RATE, "dividend_yield": u["q"]} for k, u in UNDERLYINGS.items()},
        "expiries": groups.to_dict("records"),
        "mess": {k: {"count": len(v), "rows": [int(i) for i in v]} for k, v in spoilt.items()},
        "statuses": {k: int(n) for k, n in statuses.items()},
        "statuses_by_kind": by_kind,
    }
    (OUT / "quotes_truth.json").write_text(json.dumps(truth, indent=1) + "\n")
    print(
        f"wrote {len(quotes)} quotes on {len(groups)} expiries to {OUT / 'quotes.csv.gz'}; "
        + ", ".join(f"{k} {len(v)}" for k, v in spoilt.items())
    )


if __name__ == "__main__":
    main()
