"""A vendor's end-of-day file of a million quotes through velliq.chain: time on
one and two workers, and the command line's peak memory against the table's.

    python bench/scale.py                    # 1,000,000 rows, both models, 3 repetitions
    python bench/scale.py --rows 100000 --models baw --reps 1
    python bench/scale.py --file big.parquet --column expiry=expiration ... # a file of yours

The table (``vendor_table``) is shaped like a vendor's export of American
single-stock chains: many underlyings (about 2,100 quotes each), 21 expiries
from 4 days to 2.3 years, strikes from 2 % to 175 % of spot (wide, stale-looking
deep in-the-money quotes, zero bids far out of the money), the vendor's own
columns (contract symbols, trade times, volumes, its implied volatility) beside
velliq's inputs, dates as text and no rate column. Mids are Barone-Adesi-Whaley
prices on a skewed smile. Timings are medians of interleaved repetitions; the
two-worker ratios compare timings of the same run. The command's memory is
measured in a fresh process: its peak resident size (``VmHWM``) over the
table's ``memory_usage(deep=True)``, in all and above the resident size of the
process once it has imported what the command imports (what the command adds
to an idle Python; the target is on this one).
"""

import argparse
import functools
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
from report import target_met

import velliq
from velliq import baw, chain

RATE, VALUATION = 0.04, pd.Timestamp("2025-10-06")  # a Monday
# Expiries: the Fridays this many weeks ahead, from 4 days to 2.3 years.
WEEKS = np.array([1, 2, 3, 4, 5, 6, 7, 8, 11, 15, 19, 24, 28, 37, 50, 63, 76, 89, 102, 115, 120])
EXPIRIES = WEEKS.size
VENDOR_COLUMNS = {"expiry": "expiration", "side": "type"}
# Strikes per side of one expiry as fractions of the spot, and a tick.
STRIKE_RATIOS = np.r_[np.linspace(0.02, 0.6, 12), np.linspace(0.62, 1.4, 40), np.linspace(1.45, 1.75, 6)]
TICK = 0.01

# Run in the child: the command's imports, the resident size, the command, the peak.
_CHILD = """
import json, re, sys
import numpy, pandas, pyarrow, pyarrow.parquet, velliq.chain, velliq.cli
kib = lambda field: int(re.search(field + r":\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
imported = kib("VmRSS")
status = velliq.cli.main(sys.argv[1:])
peak = kib("VmHWM")  # this program's own peak: ru_maxrss would count the parent's at the fork
print(json.dumps({"status": status, "imported": imported, "peak": peak}), file=sys.stderr)
"""


def vendor_table(rows, seed=11):
    """About ``rows`` quotes of a vendor-like file (see the module's docstring)."""
    rng = np.random.default_rng(seed)
    per_name = EXPIRIES * STRIKE_RATIOS.size * 2
    names = -(-rows // per_name)
    days = 4 + 7 * (WEEKS - 1)
    name, expiry, ratio, call = (
        a.ravel() for a in np.meshgrid(np.arange(names), np.arange(EXPIRIES), STRIKE_RATIOS, [1, 0], indexing="ij")
    )
    spot = rng.uniform(10, 600, names)[name]
    dividend_yield = rng.uniform(0, 0.03, names)[name]
    atm = rng.uniform(0.15, 0.6, names)[name]
    years = days[expiry] / 365.0
    strike = np.round(spot * ratio, 2)
    is_call = call == 1
    D, F = velliq.forward_terms(spot, RATE, dividend_yield, years)
    m = np.clip(np.log(strike / F) / np.sqrt(years), -4, 4)  # the smile flat beyond 4 standard deviations
    vol = atm * (1 - 0.1 * m + 0.1 * m**2)
    mid = baw.price(spot, strike, D, F, vol * np.sqrt(years), is_call)
    # Spreads: a few ticks near the money, wide and stale in the money.
    exercise = np.maximum(np.where(is_call, spot - strike, strike - spot), 0)
    half = np.maximum(TICK, 0.01 * mid + 0.02 * exercise * rng.random(mid.size))
    bid = np.maximum(np.floor((mid - half) / TICK) * TICK, 0)
    bid[mid < 0.01] = 0.0  # far out of the money: no bid
    ask = np.ceil((mid + 1.25 * half) / TICK) * TICK  # dealers lean on the ask
    expiration = (VALUATION + pd.to_timedelta(days, unit="D")).strftime("%Y-%m-%d").to_numpy()[expiry]
    symbol = np.char.add(np.char.add("U", name.astype(str)), expiration.astype(str))
    symbol = np.char.add(np.char.add(symbol, np.where(is_call, "C", "P")), (strike * 1000).astype(int).astype(str))
    table = pd.DataFrame(
        {
            "contract_symbol": symbol,
            "last_trade_date": "2025-10-03 19:59:59+00:00",
            "strike": strike,
            "last_price": np.round(mid, 2),
            "bid": bid,
            "ask": ask,
            "change": np.round(rng.normal(0, 0.5, mid.size), 2),
            "volume": np.where(rng.random(mid.size) < 0.3, np.nan, rng.integers(1, 5000, mid.size)),
            "open_interest": rng.integers(0, 20000, mid.size),
            "implied_volatility": vol,
            "in_the_money": exercise > 0,
            "currency": "USD",
            "expiration": expiration,
            "type": np.where(is_call, "C", "P"),
            "date_pulled": f"{VALUATION:%Y-%m-%d}",
            "underlying": np.char.add("U", name.astype(str)),
            "spot": spot,
        }
    )
    return table.iloc[:rows].reset_index(drop=True)


def alternate(fns, reps):
    """Median seconds of each callable over ``reps`` runs, run in turn (no warm-up:
    a run takes seconds to minutes), and the last result of each."""
    samples, results = [[] for _ in fns], [None] * len(fns)
    for _ in range(reps):
        for i, fn in enumerate(fns):
            start = time.perf_counter()
            results[i] = fn()
            samples[i].append(time.perf_counter() - start)
    return [statistics.median(t) for t in samples], results


def same_bits(a, b):
    """Whether two results hold the same columns, values and bits."""
    if list(a.columns) != list(b.columns):
        return False
    for name in a.columns:
        x, y = a[name].to_numpy(), b[name].to_numpy()
        if x.dtype == np.float64 and not np.array_equal(x.view(np.uint64), y.view(np.uint64)):
            return False
        if x.dtype != np.float64 and not a[name].equals(b[name]):
            return False
    return True


def command_memory(path, model, workers):
    """The command's peak resident bytes on the file at ``path``, and its resident bytes once imported."""
    with tempfile.TemporaryDirectory() as folder:
        argv = [*("vols", str(path), "--valuation-date", "date_pulled", "--rate", str(RATE), "--model", model)]
        argv += [*("--workers", str(workers), "-o", str(Path(folder) / "out.parquet"))]
        for name, column in VENDOR_COLUMNS.items():
            argv += ["--column", f"{name}={column}"]
        run = subprocess.run([sys.executable, "-c", _CHILD, *argv], capture_output=True, text=True)
    if run.returncode != 0:
        raise RuntimeError(f"velliq vols failed: {run.stderr[-2000:]}")
    figures = json.loads(run.stderr.strip().splitlines()[-1])
    return figures["peak"], figures["imported"]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the made-up table (default 1,000,000)")
    parser.add_argument("--file", type=Path, help="a Parquet file with the made-up table's columns instead")
    parser.add_argument("--models", nargs="+", choices=("baw", "american"), default=["baw", "american"])
    parser.add_argument("--reps", type=int, default=3, help="repetitions per timing (default 3)")
    args = parser.parse_args(argv)
    if os.getloadavg()[0] > 0.5:
        print(f"warning: load average {os.getloadavg()[0]:.1f} at start: other work disturbs the timings")
    with tempfile.TemporaryDirectory() as folder:
        path = args.file
        if path is None:
            path = Path(folder) / "quotes.parquet"
            vendor_table(args.rows).to_parquet(path, index=False)
        quotes = pd.read_parquet(path)  # as the command reads it
        size = int(quotes.memory_usage(deep=True).sum())
        print(
            f"{len(quotes):,} rows, {quotes[VENDOR_COLUMNS['expiry']].nunique()} expiries, "
            f"{quotes['underlying'].nunique()} underlyings; {size / 2**20:,.0f} MiB in memory"
        )
        options = dict(valuation_date="date_pulled", rate=RATE, **VENDOR_COLUMNS)
        figures = []
        full = len(quotes) >= 1_000_000  # the time targets are for a million quotes
        for model in args.models:
            runs = [functools.partial(chain.implied_vols, quotes, model=model, workers=w, **options) for w in (1, 2)]
            (one, two), (by_one, by_two) = alternate(runs, args.reps)
            figures += [
                (f"{model}: implied_vols, one worker", one, "s", None),
                (f"{model}: implied_vols, two workers", two, "s", f"scale_{model}_seconds" if full else None),
                (f"{model}: two workers vs one", one / two, "x", "scale_two_workers"),
                (f"{model}: two workers' result, bit for bit that of one", same_bits(by_one, by_two), "", None),
            ]
            del by_one, by_two
        del quotes
        peak, imported = command_memory(path, args.models[0], 2)
    figures += [
        (f"velliq vols --model {args.models[0]}: peak resident size / table", peak / size, "", None),
        ("  the same above the imported command's size / table", (peak - imported) / size, "", "cli_peak_memory"),
    ]
    for label, value, unit, key in figures:
        verdict = ""
        if key and isinstance(value, float):
            op, bound, met = target_met(key, value)
            verdict = f"  target {op} {bound}: {'met' if met else 'MISSED'}"
        shown = f"{value:>10.3g}" if isinstance(value, float) else f"{value!s:>10}"
        print(f"{label:<58} {shown} {unit:<2}{verdict}")


if __name__ == "__main__":
    main()
