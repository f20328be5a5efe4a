"""The figures of velliq itself: the batch against its C++ floor, call overhead, threads, the
forward finder and memory."""

import ctypes
import json
import statistics
import subprocess
import sys
import tempfile
import threading
import timeit
from pathlib import Path

import numpy as np
import workload
from floorlib import as_ptr
from report import BENCH, bits_equal
from timing import interleaved, median_time

import velliq
from velliq.norvane import baw_implied_vol, baw_price, find_forward_baw, vectorized_baw_implied_vol

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
    rep.add("2", "kernel_price_ns", "kernel Baw::price over the chain", t_price / n * 1e9, "ns/call")
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
