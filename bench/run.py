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
import ctypes
import json
import math
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import timeit
from datetime import UTC, datetime
from pathlib import Path

import floorlib
import numpy as np
import peers
import scipy
import workload
from floorlib import as_ptr
from timing import interleaved, median_time

import velliq
from velliq.norvane import baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_implied_vol

BENCH = Path(__file__).resolve().parent
RESULTS = BENCH / "results"

# (quotes, reps, QuantLib default-engine sample, QuantLib Brent sample, Python sample,
#  memory-batch quotes, seconds per scalar timing)
SIZES = ("quotes", "reps", "ql_default_sample", "ql_brent_sample", "python_sample", "memory_quotes", "scalar_seconds")
FULL = dict(zip(SIZES, (20_000, 7, 50, 500, 500, 1_000_000, 0.05)))
QUICK = dict(zip(SIZES, (4_000, 5, 10, 100, 100, 200_000, 0.02)))

TARGETS = {  # figure key -> (comparison, bound)
    "floor_over_batch": (">=", 0.97),
    "batch_vs_ql_brent": (">=", 6.0),
    "batch_vs_ql_default": (">=", 1000.0),
    "batch_vs_ql_default_1e-10": (">=", 1000.0),
    "price_call_overhead_ns": ("<=", 150.0),
    "iv_call_overhead_ns": ("<=", 150.0),
    "two_threads_scaling": (">=", 1.8),
    "memory_ratio": ("<=", 1.0),
}


def bits_equal(a, b):
    a, b = np.ascontiguousarray(a, np.float64), np.ascontiguousarray(b, np.float64)
    return a.shape == b.shape and bool(np.array_equal(a.view(np.uint64), b.view(np.uint64)))


class Report:
    def __init__(self):
        self.rows = []
        self.raw = {}

    def add(self, fig, key, label, value, unit="", fmt="{:,.0f}", note=""):
        row = {"figure": fig, "key": key, "label": label, "value": value, "unit": unit, "note": note}
        if key in TARGETS and isinstance(value, (int, float)) and math.isfinite(value):
            op, bound = TARGETS[key]
            row["target"] = f"{op} {bound:g}"
            row["met"] = bool(value >= bound if op == ">=" else value <= bound)
            row["margin"] = value / bound if op == ">=" else bound - value
        if isinstance(value, bool):
            row["text"] = "yes" if value else "NO"
        elif value is None:
            row["text"] = "skipped"
        else:
            row["text"] = fmt.format(value)
        self.rows.append(row)

    def table(self):
        lines = []
        header = f"{'fig':<4}{'measure':<58}{'value':>16} {'unit':<12}{'target':<11}{'status'}"
        lines += [header, "-" * (len(header) + 10)]
        for r in self.rows:
            status = ""
            if "met" in r:
                op = r["target"][:2]
                if r["met"]:
                    status = "met"
                else:
                    status = (
                        f"MISSED ({r['margin']:.2f}x of target)" if op == ">=" else f"MISSED (by {-r['margin']:,.3g})"
                    )
            elif r["value"] is False:
                status = "FAILED"
            lines.append(
                f"{r['figure']:<4}{r['label']:<58}{r['text']:>16} {r['unit']:<12}{r.get('target', ''):<11}{status}"
            )
            if r["note"]:
                lines.append(f"{'':<4}  ({r['note']})")
        return "\n".join(lines)


# --- figures ------------------------------------------------------------------


def fig_batch_and_floor(rep, chain, reps, lib):
    n = len(chain)
    args = chain.arrays()
    q = np.ascontiguousarray([1 if f == "c" else -1 for f in chain.flags], dtype=np.intc)
    out = np.empty(n)
    price_out = np.empty(n)
    p = [as_ptr(a) for a in (chain.prices, chain.S, chain.K, chain.D, chain.F)]

    def batch():
        vectorized_baw_implied_vol(*args)

    def floor():
        return lib.floor_time_implied_vol(n, *p, as_ptr(q, ctypes.c_int), as_ptr(out))

    (t_batch, t_floor), samples = interleaved([batch, floor], reps)
    rep.raw["batch_s"], rep.raw["floor_s"] = samples
    rep.add(
        "1",
        "batch_throughput",
        "vectorized_baw_implied_vol, one thread",
        n / t_batch,
        "quotes/s",
        note=f"{n:,} quotes, median of {reps}: {t_batch * 1e3:,.1f} ms",
    )
    rep.add(
        "2",
        "floor_throughput",
        "floor: C++ loop over _baw_implied_vol_value",
        n / t_floor,
        "quotes/s",
        note="timed inside C++ with steady_clock",
    )
    rep.add(
        "2", "floor_over_batch", "floor / batch (time): batch speed as share of floor", t_floor / t_batch, "", "{:.3f}"
    )

    floor_result = out.copy()
    batch_result = vectorized_baw_implied_vol(*args)
    rep.add(
        "2", "floor_bits_equal", "floor results equal batch results bit for bit", bits_equal(floor_result, batch_result)
    )

    def prices():
        return lib.floor_time_price(n, *p[1:], as_ptr(chain.sigma), as_ptr(q, ctypes.c_int), as_ptr(price_out))

    (t_price,), (rep.raw["kernel_price_s"],) = interleaved([prices], reps)
    rep.add("2", "kernel_price_ns", "kernel _baw_price_value over the chain", t_price / n * 1e9, "ns/call")
    rep.add("2", "kernel_iv_ns", "kernel _baw_implied_vol_value over the chain", t_floor / n * 1e9, "ns/call")
    rep.add(
        "2",
        "floor_prices_reproduce_quotes",
        "kernel prices at the quoting sigma equal the quotes",
        bits_equal(price_out, chain.prices),
    )
    return batch_result


def batch_per_quote(rep, sub, key, reps):
    """Batch seconds per quote on the peer's quotes, the raw timings kept under key."""
    t, rep.raw[key] = median_time(lambda: vectorized_baw_implied_vol(*sub.arrays()), max(reps, 15))
    return t / len(sub)


def fig_peers(rep, chain, cfg, batch_result):
    """Peers on random samples of the chain; each ratio against the batch on the same sample."""
    order = np.random.default_rng(workload.SEED + 1).permutation(len(chain))
    annual = batch_result / np.sqrt(chain.T)
    if peers.ql is None:
        for fig, key, label in (
            ("3b", "batch_vs_ql_brent", "batch vs QuantLib Brent on BAW NPV"),
            ("3a", "batch_vs_ql_default", "batch vs QuantLib impliedVolatility"),
        ):
            rep.add(fig, key, label, None, note="QuantLib not installed: pip install '.[bench]'")
    else:
        fig_ql_brent(rep, chain, cfg, np.sort(order[: cfg["ql_brent_sample"]]), annual)
        fig_ql_default(rep, chain, cfg, np.sort(order[: cfg["ql_default_sample"]]), annual)
    fig_python(rep, chain, cfg, np.sort(order[: cfg["python_sample"]]), batch_result)


def fig_ql_brent(rep, chain, cfg, sample, annual):
    """3b: Brent on the BAW engine's NPV, objects built once per option and their prices
    checked against ours before any timing."""
    reps = cfg["reps"]
    sub = chain.take(sample)
    vols = sub.sigma / np.sqrt(sub.T)
    start = time.perf_counter()
    options = peers.ql_options(sub, vols)
    build_us = (time.perf_counter() - start) / len(options) * 1e6
    ql_prices = np.array([o.npv(v) for o, v in zip(options, vols)])
    rel = np.abs(ql_prices / sub.prices - 1)
    rep.add(
        "3b",
        "ql_baw_price_max_rel_diff",
        "QuantLib BAW price vs ours, max relative diff",
        float(rel.max()),
        "",
        "{:.2e}",
        note=f"{len(sub)} quotes at their quoting vol; median {np.median(rel):.1e}",
    )
    solver = peers.ql.Brent()
    ql_vols = np.array(peers.ql_brent_implied_vols(options, sub.prices, solver))
    diff = np.abs(ql_vols - annual[sample])
    solved = np.isfinite(ql_vols)
    # Timed on the quotes QuantLib can solve: a failed bracket returns early and would flatter it.
    options_t = [o for o, ok in zip(options, solved) if ok]
    prices_t = sub.prices[solved]
    t, rep.raw["ql_brent_s"] = median_time(lambda: peers.ql_brent_implied_vols(options_t, prices_t, solver), reps)
    per_quote = t / len(options_t)
    batch = batch_per_quote(rep, chain.take(sample[solved]), "batch_on_ql_brent_sample_s", reps)
    rep.add(
        "3b",
        "ql_brent_throughput",
        "QuantLib: Python loop, Brent on BAW NPV",
        1 / per_quote,
        "quotes/s",
        note=f"timed on the {len(options_t)} of {len(sub)} sampled quotes it "
        f"solves; accuracy 1e-10, bracket [{peers.BRENT_MIN_VOL}, {peers.QL_MAX_VOL}] annual; "
        f"objects prebuilt ({build_us:,.0f} us/option, not timed); full chain ~"
        f"{per_quote * len(chain):,.1f} s",
    )
    rep.add(
        "3b",
        "ql_brent_vol_diff",
        "QuantLib Brent vol vs ours, median |diff| (annual)",
        float(np.nanmedian(diff)),
        "",
        "{:.1e}",
        note=f"{int((diff > 1e-4).sum())} quotes differ "
        f"by more than 1e-4 (max {np.nanmax(diff):.2g}); {int((~solved).sum())} not bracketed"
        + (" (deep in the money, price nearly flat in vol)" if (~solved).any() else ""),
    )
    rep.add(
        "3b",
        "batch_vs_ql_brent",
        "batch vs 3b, per core (speed ratio)",
        per_quote / batch,
        "x",
        "{:,.1f}",
        note="batch timed on the same quotes",
    )


def fig_ql_default(rep, chain, cfg, sample, annual):
    """3a: VanillaOption.impliedVolatility. For American exercise QuantLib ignores the
    attached engine and inverts the price of its own finite-difference engine."""
    reps = cfg["reps"]
    sub = chain.take(sample)
    options = peers.ql_options(sub, sub.sigma / np.sqrt(sub.T))
    batch = batch_per_quote(rep, sub, "batch_on_ql_default_sample_s", reps)
    for accuracy, suffix, label in ((1e-4, "", "default accuracy 1e-4"), (1e-10, "_1e-10", "accuracy 1e-10")):
        t, rep.raw["ql_default_s" + suffix] = median_time(
            lambda: peers.ql_default_implied_vols(options, sub.prices, accuracy), reps
        )
        per_quote = t / len(options)
        vols = np.array(peers.ql_default_implied_vols(options, sub.prices, accuracy))
        diff = np.abs(vols - annual[sample])
        rep.add(
            "3a",
            "ql_default_throughput" + suffix,
            f"QuantLib impliedVolatility, {label}",
            1 / per_quote,
            "quotes/s",
            "{:,.1f}",
            note=f"sample {len(options)}; {per_quote * 1e3:,.1f} ms/quote; full chain ~"
            f"{per_quote * len(chain) / 60:,.1f} min; {int(np.isnan(vols).sum())} failed; "
            f"FD vol vs ours median |diff| {np.nanmedian(diff):.1e}",
        )
        rep.add("3a", "batch_vs_ql_default" + suffix, f"batch vs 3a ({label})", per_quote / batch, "x", "{:,.0f}")


def fig_python(rep, chain, cfg, sample, batch_result):
    """3c: the same algorithm in plain Python over scipy.optimize.brentq."""
    reps = cfg["reps"]
    sub = chain.take(sample)
    t, rep.raw["python_scipy_s"] = median_time(lambda: peers.python_implied_vols(sub), reps)
    vols = np.array(peers.python_implied_vols(sub))
    per_quote = t / len(sub)
    batch = batch_per_quote(rep, sub, "batch_on_python_sample_s", reps)
    rep.add(
        "3c",
        "python_throughput",
        "plain Python BAW + scipy.optimize.brentq",
        1 / per_quote,
        "quotes/s",
        "{:,.0f}",
        note=f"sample {len(sub)}; max |vol diff| vs ours "
        f"{np.nanmax(np.abs(vols - batch_result[sample])):.1e}; full chain ~"
        f"{per_quote * len(chain):,.1f} s",
    )
    rep.add(
        "3c",
        "batch_vs_python",
        "batch vs 3c (speed ratio)",
        per_quote / batch,
        "x",
        "{:,.0f}",
        note="batch timed on the same quotes",
    )


def fig_scalar(rep, chain, cfg, lib):
    """Per-call cost from Python against the kernel's own cost, on the same inputs."""
    picks = np.linspace(0, len(chain) - 1, 5).astype(int)
    results = {"price": [], "iv": []}
    for i in picks:
        S, K, D, F, sigma, price = (
            float(a[i]) for a in (chain.S, chain.K, chain.D, chain.F, chain.sigma, chain.prices)
        )
        flag = chain.flags[i]
        q = 1 if flag == "c" else -1
        cases = (
            (
                "price",
                timeit.Timer(
                    "f(S, K, D, F, sigma, flag)", globals=dict(f=baw_price, S=S, K=K, D=D, F=F, sigma=sigma, flag=flag)
                ),
                lambda calls: lib.floor_repeat_price(S, K, D, F, sigma, q, calls),
            ),
            (
                "iv",
                timeit.Timer(
                    "f(price, S, K, D, F, flag)",
                    globals=dict(f=baw_implied_vol, price=price, S=S, K=K, D=D, F=F, flag=flag),
                ),
                lambda calls: lib.floor_repeat_implied_vol(price, S, K, D, F, q, calls),
            ),
        )
        for name, timer, kernel in cases:
            one = timer.timeit(10) / 10
            calls = max(100, int(cfg["scalar_seconds"] / one))
            py, cpp = [], []
            for _ in range(cfg["reps"]):
                py.append(timer.timeit(calls) / calls * 1e9)
                cpp.append(kernel(calls) / calls)
            results[name].append((statistics.median(py), statistics.median(cpp)))
    rep.raw["scalar_ns"] = {k: [list(v) for v in vals] for k, vals in results.items()}
    for name, fn in (("price", "baw_price"), ("iv", "baw_implied_vol")):
        py = statistics.median(p for p, _ in results[name])
        cpp = statistics.median(c for _, c in results[name])
        diffs = [p - c for p, c in results[name]]
        rep.add(
            "4",
            f"{name}_python_ns",
            f"{fn} from Python (timeit)",
            py,
            "ns/call",
            note=f"kernel alone in C++ on the same {len(picks)} inputs: {cpp:,.0f} ns/call",
        )
        rep.add(
            "4",
            f"{name}_call_overhead_ns",
            f"{fn} call overhead (Python - kernel)",
            statistics.median(diffs),
            "ns/call",
            note=f"median of the per-input differences, "
            f"which range {min(diffs):,.0f} to {max(diffs):,.0f}; includes the timeit loop",
        )


def fig_threads(rep, chain, reps):
    args = chain.arrays()
    n, half = len(chain), len(chain) // 2
    halves = [
        tuple(np.ascontiguousarray(a[s]) for a in args[:5]) + (args[5][s],) for s in (slice(0, half), slice(half, n))
    ]
    results = [None, None]

    def one():
        vectorized_baw_implied_vol(*args)

    def two():
        def work(k):
            results[k] = vectorized_baw_implied_vol(*halves[k])

        threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def pool():
        velliq.implied_vol_parallel(*args, workers=None)

    (t_one, t_two, t_pool), samples = interleaved([one, two, pool], reps)
    rep.raw["one_thread_s"], rep.raw["two_threads_s"], rep.raw["implied_vol_parallel_s"] = samples
    t_halves = [median_time(lambda h=h: vectorized_baw_implied_vol(*h), max(3, reps // 2))[0] for h in halves]
    single = vectorized_baw_implied_vol(*args)
    rep.add(
        "5",
        "two_threads_scaling",
        "two threads on half the chain each vs one thread",
        t_one / t_two,
        "x",
        "{:.2f}",
        note=f"balance bound t_one / max(half) = "
        f"{t_one / max(t_halves):.2f}x (halves {t_halves[0] * 1e3:,.0f} / {t_halves[1] * 1e3:,.0f} ms)",
    )
    rep.add(
        "5",
        "two_threads_bits_equal",
        "two-thread results equal one call bit for bit",
        bits_equal(np.concatenate(results), single),
    )
    from velliq.parallel import available_cores

    rep.add(
        "5",
        "implied_vol_parallel_scaling",
        "implied_vol_parallel(workers=None) vs one call",
        t_one / t_pool,
        "x",
        "{:.2f}",
        note=f"{available_cores()} cores available",
    )
    rep.add(
        "5",
        "implied_vol_parallel_bits_equal",
        "implied_vol_parallel equals one call bit for bit",
        bits_equal(velliq.implied_vol_parallel(*args, workers=None), single),
    )


def fig_forward(rep, reps):
    calls, puts, strikes, S, D, F = workload.forward_expiry(20)
    timer = timeit.Timer(lambda: find_forward_baw(calls, puts, strikes, S, D))
    one = timer.timeit(3) / 3
    number = max(3, int(0.1 / one))
    times = [timer.timeit(number) / number for _ in range(reps)]
    rep.raw["find_forward_s"] = times
    found = find_forward_baw(calls, puts, strikes, S, D)
    selected = int(((strikes >= S * 0.99) & (strikes <= S * 1.01)).sum())
    rep.add(
        "6",
        "find_forward_ms",
        "find_forward_baw, 20-strike expiry",
        statistics.median(times) * 1e3,
        "ms/call",
        "{:,.3f}",
        note=f"{selected} strikes in the default +-1 % window; "
        f"found F {found:.6f} vs true {F:.6f} (rel err {abs(found / F - 1):.1e})",
    )


def fig_memory(rep, chain, n):
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "chain.npz"
        np.savez(
            path,
            prices=chain.prices,
            S=chain.S,
            K=chain.K,
            D=chain.D,
            F=chain.F,
            is_call=np.array([f == "c" for f in chain.flags]),
        )
        done = subprocess.run(
            [sys.executable, str(BENCH / "memory_child.py"), str(path), str(n)], capture_output=True, text=True
        )
    if done.returncode != 0:
        rep.add("7", "memory_ratio", "peak memory / bound", None, note=done.stderr.strip()[-200:])
        return
    m = json.loads(done.stdout.strip().splitlines()[-1])
    rep.raw["memory"] = m
    # Inputs are C-contiguous float64 and used in place: the only converted
    # copy is the flags' int side array (4 bytes/quote), beside the output.
    bound = n * (8 + 4)
    rep.add(
        "7",
        "memory_peak_mb",
        f"peak traced memory during one {n:,}-quote batch",
        m["peak_bytes"] / 2**20,
        "MiB",
        "{:,.1f}",
        note=f"{m['peak_bytes'] / n:.1f} bytes/quote; "
        f"{m['retained_bytes'] / n:.1f} bytes/quote retained (the output); batch took "
        f"{m['seconds']:.1f} s",
    )
    rep.add(
        "7",
        "memory_ratio",
        "peak / (output 8 + converted flags 4 bytes/quote)",
        m["peak_bytes"] / bound,
        "",
        "{:.2f}",
        note=f"bound {bound / 2**20:,.1f} MiB; the rest is the 1-byte mask of result < 0 that marks failures NaN",
    )


# --- main -----------------------------------------------------------------------


def machine():
    cpu = ""
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        commit = subprocess.run(
            ["git", "-C", str(BENCH.parent), "describe", "--always", "--dirty"], capture_output=True, text=True
        ).stdout.strip()
    except OSError:
        commit = ""
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "load_average_at_start": os.getloadavg(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "scipy": scipy.__version__,
        "quantlib": peers.ql_version(),
        "velliq_commit": commit,
    }


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
