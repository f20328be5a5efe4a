"""velliq.surface: the fit's time, its quotes in band, its distance to the mids, the
dense-grid arbitrage check and the queries' time, on one worker.

    python bench/surface.py                     # a synthetic 24-expiry chain (about 4,300 quotes)
    python bench/surface.py --result FILE       # also a result table of `velliq vols` (parquet/csv)

The synthetic chain: an SSVI surface (tools/devsupport/surface_quotes.py) at 24 expiries
from 2 days to 2.5 years, 180 strikes each from -4 to +3 ATM standard deviations,
bid/ask half-spreads of 0.03 to 0.6 vol points with the band's centre moved off the SSVI
by up to half its half-width. Twenty dates are twenty seeds. Targets: a slice <= 2 ms,
a surface <= 50 ms, 20 dates <= 1 s, queries <= 200 ns per point; >= 99 % of quotes
within 20 % of the forward in band, >= 97 % of all, RMSE to mid <= 0.25 vol points;
dense-grid violations <= 1e-10.
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from devsupport.surface_quotes import DESK_EXPIRIES, ssvi_quotes  # noqa: E402

import velliq  # noqa: E402
from velliq.surface import Surface  # noqa: E402

COLUMNS = ("years", "forward", "discount", "strike", "vol_bid", "vol_ask")


def median_time(fn, reps):
    """Median CPU seconds of this process for fn() over reps runs, after one warm-up: on
    one worker the time it used, whatever else shares the machine (wall time beside it)."""
    fn()
    cpu, wall = [], []
    for _ in range(reps):
        start, start_wall = time.process_time(), time.perf_counter()
        fn()
        cpu.append(time.process_time() - start)
        wall.append(time.perf_counter() - start_wall)
    return statistics.median(cpu), statistics.median(wall)


def quotes(seed):
    return ssvi_quotes(DESK_EXPIRIES, per_slice=180, seed=seed, half_spread=(0.0003, 0.006), noise=0.5)


def fit(q):
    return Surface.fit(*(np.asarray(q[c]) for c in COLUMNS))


def shares(surface, q):
    """In-band shares (within 20 % of the forward, all) and RMSE to mid in vol points."""
    strike, years = np.asarray(q["strike"], float), np.asarray(q["years"], float)
    bid = np.nan_to_num(np.asarray(q["vol_bid"], float), nan=0.0)
    ask = np.asarray(q["vol_ask"], float)
    vol = surface.implied_vol(strike, years)
    inside = (vol >= bid - 1e-6) & (vol <= ask + 1e-6)
    near = np.abs(np.log(strike / np.asarray(q["forward"], float))) <= np.log(1.2)
    mid = np.where(bid > 0, (bid + ask) / 2.0, np.nan)
    rmse = float(np.sqrt(np.nanmean((vol - mid) ** 2)) * 100.0)
    return float(inside[near].mean()), float(inside.mean()), rmse


def slice_time(surface_quotes):
    """Median seconds per slice: the surface's fit over its slices."""
    seconds, _ = median_time(lambda: fit(surface_quotes), 5)
    return seconds, seconds / np.unique(surface_quotes["years"]).size


def query_time(surface, points=200_000):
    rng = np.random.default_rng(7)
    K = 100.0 * np.exp(rng.normal(0.0, 0.3, points))
    T = rng.uniform(0.005, 2.5, points)
    times = {}
    for name in ("implied_vol", "call_price", "density", "local_vol"):
        query = getattr(surface, name)
        times[name] = median_time(lambda q=query: q(K, T), 5)[0] / points * 1e9
    return times


def report(title, surface, q, seconds):
    near, everything, rmse = shares(surface, q)
    checks = surface.check_arbitrage(strikes=200, expiries=50)
    print(
        f"{title}: {np.unique(np.asarray(q['years'])).size} expiries, {len(q['strike'])} quotes, "
        f"fit {seconds * 1e3:.1f} ms"
    )
    print(f"  in band: {near:.2%} within 20 % of the forward, {everything:.2%} all; RMSE to mid {rmse:.3f} vol points")
    print(
        f"  dense grid ({checks['strikes']} strikes x {checks['expiries']} expiries): "
        f"butterfly {checks['butterfly']:.1e}, calendar {checks['calendar']:.1e}"
    )
    print("  determined:", dict(surface.slices["determined"].value_counts()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--result", help="a result table of velliq vols (parquet or csv)")
    args = parser.parse_args()
    with velliq.workers(1):
        q = quotes(1)
        surface_seconds, per_slice = slice_time(q)
        surface = fit(q)
        report("synthetic", surface, q, surface_seconds)
        print(f"  per slice {per_slice * 1e3:.2f} ms (target 2), surface {surface_seconds * 1e3:.1f} ms (target 50)")
        dates = [quotes(seed) for seed in range(20)]
        start, start_wall = time.process_time(), time.perf_counter()
        for d in dates:
            fit(d)
        print(
            f"  20 dates: {time.process_time() - start:.2f} s CPU (target 1), "
            f"{time.perf_counter() - start_wall:.2f} s wall"
        )
        times = query_time(surface)
        print("  queries (ns/point, target 200):", {k: round(v) for k, v in times.items()})
        if args.result:
            table = pd.read_parquet(args.result) if args.result.endswith(".parquet") else pd.read_csv(args.result)
            ok = table[table["status"] == "ok"]
            real = {c: ok[c].to_numpy(float) for c in ("years", "forward", "discount", "strike")}
            real["vol_bid"], real["vol_ask"] = ok["iv_bid"].to_numpy(float), ok["iv_ask"].to_numpy(float)
            seconds = median_time(lambda: fit(real), 3)[0]
            report(f"result {Path(args.result).name}", fit(real), real, seconds)


if __name__ == "__main__":
    main()
