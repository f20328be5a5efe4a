"""velliq benchmark suite: one command, one fixed workload, one table.

    python bench/run.py            # full run (a few minutes at most on 2 cores)
    python bench/run.py --quick    # smaller chain, samples and memory batch

Every figure is the median of several repetitions and every comparison is a
ratio of timings taken in the same run. The table is printed and written, with
the raw timings, to bench/results/latest.json (latest-quick.json for --quick)
and a timestamped copy, which git ignores; bench/results/baseline.json is the
curated run that README.md quotes. The record names files relative to the
repository root only. See bench/README.md for what each figure means.
"""

import argparse
import json
import os
import sys
import time
from datetime import UTC, datetime

import floorlib
import workload
from figures import fig_batch_and_floor, fig_forward, fig_memory, fig_scalar, fig_threads
from figures_peers import fig_american, fig_peers
from report import FULL, QUICK, RESULTS, Report, machine

# --- main -----------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller chain, samples and memory batch")
    parser.add_argument("--reps", type=int, help="repetitions per timing (at least 5)")
    opts = parser.parse_args(argv)
    cfg = dict(QUICK if opts.quick else FULL)
    if opts.reps:
        cfg["reps"] = max(5, opts.reps)

    started = time.perf_counter()
    meta = machine()
    if meta["load_average_at_start"][0] > 0.5 * (os.cpu_count() or 1):
        print(
            f"note: load average {meta['load_average_at_start'][0]:.1f} at start: "
            "other work on this machine will disturb the timings",
            file=sys.stderr,
        )
    command = floorlib.build()
    lib = floorlib.load()
    chain = workload.build_chain(cfg["quotes"])
    rep = Report()

    batch_result = fig_batch_and_floor(rep, chain, cfg["reps"], lib)
    fig_peers(rep, chain, cfg, batch_result)
    fig_scalar(rep, chain, cfg, lib)
    fig_threads(rep, chain, cfg["reps"])
    fig_forward(rep, cfg["reps"])
    fig_memory(rep, chain, cfg["memory_quotes"])
    fig_american(rep, cfg)

    mode = "quick" if opts.quick else "full"
    title = (
        f"velliq benchmarks ({mode}): {len(chain):,} American quotes "
        f"({chain.flags.count('c'):,} calls), medians of {cfg['reps']} repetitions"
    )
    table = rep.table()
    print(title)
    print(table)
    elapsed = time.perf_counter() - started
    print(f"({elapsed:.0f} s; results in bench/results/)")

    stamp = datetime.now(UTC).strftime("%Y%m%dT%H%M%SZ")
    doc = {
        "mode": mode,
        "timestamp": stamp,
        "seconds": elapsed,
        "config": cfg,
        "workload": {
            "quotes": len(chain),
            "calls": chain.flags.count("c"),
            "seed": workload.SEED,
            "expiry_days": list(workload.EXPIRY_DAYS),
        },
        "floor_build": command,
        "machine": meta,
        "figures": rep.rows,
        "raw": rep.raw,
        "table": table,
    }
    RESULTS.mkdir(exist_ok=True)
    text = json.dumps(doc, indent=1, default=float)
    (RESULTS / ("latest.json" if mode == "full" else "latest-quick.json")).write_text(text)
    (RESULTS / f"{stamp}-{mode}.json").write_text(text)


if __name__ == "__main__":
    main()
