"""velliq.chain with a dividend table against the bare dividend ufunc calls it is built on.

    python bench/chain_dividends.py              # 50 copies of the synthetic chain: 10,800 rows
    python bench/chain_dividends.py --copies 10

The table: tools/devsupport/dividend_quotes.py's two underlyings (six expiries
before, on and after ex-dates, priced by velliq.dividends), repeated under new
names, each copy with its own dividends. The baseline is what the table costs
without velliq.chain: the three implied volatilities and the Greeks (for vega)
at the true forwards, as bare calls of velliq.dividends on ready float64
arrays and ready schedules. The issue's goal: the table at most 1.3 times its
bare calls (one worker). Figures are medians of interleaved repetitions.
"""

import argparse
import sys
from pathlib import Path

import numpy as np
import pandas as pd
from timing import interleaved

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from devsupport import dividend_quotes  # noqa: E402

from velliq import chain, dividends  # noqa: E402
from velliq.chain.dividend_inputs import dividend_table  # noqa: E402

GOAL = 1.3  # the table over its bare ufunc calls


def copies_of_chain(copies):
    quotes, table, truth = dividend_quotes.dividend_chain()
    names = [f"{copy}" for copy in range(copies)]
    frame = pd.concat([quotes.assign(underlying=quotes["underlying"] + name) for name in names], ignore_index=True)
    paid = pd.concat([table.assign(underlying=table["underlying"] + name) for name in names], ignore_index=True)
    return frame, paid, pd.concat([truth] * copies, ignore_index=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=50, help="copies of the two-underlying chain (216 rows each)")
    args = parser.parse_args(argv)
    frame, paid, truth = copies_of_chain(args.copies)
    market = dict(valuation_date=dividend_quotes.VALUATION, rate=dividend_quotes.RATE, model="american", workers=1)
    result = chain.implied_vols(frame, dividends=paid, **market)
    read = dividend_table(paid)
    schedule = read.for_rows(frame["underlying"], dividend_quotes.VALUATION, result["years"].to_numpy())
    S, K, D, T = (result[c].to_numpy() for c in ("spot", "strike", "discount", "years"))
    F, is_call = truth["forward"].to_numpy(), (frame["side"] == "C").to_numpy()
    bid, ask = frame["bid"].to_numpy(), frame["ask"].to_numpy()
    quotes = {"bid": bid, "mid": 0.5 * (bid + ask), "ask": ask}
    paid_rows = (schedule.fractions, schedule.amounts)

    def bare():
        sig = {k: dividends.implied_vol(quotes[k], S, K, D, F, is_call, *paid_rows) for k in quotes}
        dividends.greeks(S, K, D, F, sig["mid"], is_call, *paid_rows)

    (t_table, t_bare, t_plain), _ = interleaved(
        [
            lambda: chain.implied_vols(frame, dividends=paid, **market),
            bare,
            lambda: chain.implied_vols(frame, **market),
        ],
        3,
    )
    ratio = t_table / t_bare
    ok = (result["status"] == "ok") & (result["vega"] >= 1.0)
    vol_error = float(np.max(np.abs(result["iv_mid"] - truth["vol"])[ok]))
    figures = [
        (f"implied_vols with dividends over {len(frame):,} rows, one worker", t_table, "s"),
        ("bare velliq.dividends calls on the same arrays", t_bare, "s"),
        (f"table / bare calls (goal <= {GOAL})", ratio, "MISSED" if ratio > GOAL else "met"),
        ("the same table without dividends (velliq.american)", t_plain, "s"),
        ("worst mid vol error where vega >= 1, bp", 1e4 * vol_error, ""),
        ("worst forward error, bp", 1e4 * float(np.max(np.abs(result["forward"] / truth["forward"] - 1))), ""),
    ]
    for label, value, unit in figures:
        print(f"{label:<60} {value:>12.4g} {unit}")


if __name__ == "__main__":
    main()
