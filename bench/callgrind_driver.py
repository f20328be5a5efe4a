"""Driver of bench/callgrind.sh: a small fixed workload through the floor library.

prepare DIR N   build the floor library and save N quotes of the benchmark chain
                (every tenth quote of its first 10 N) to DIR/workload.npz
run DIR         load them and run floor_price_loop and floor_implied_vol_loop once
                each through floor_run_loops (only the loops are counted)
report DIR      instructions per call from DIR/callgrind.<loop>, one callgrind run
                per loop with counting toggled on inside that loop only
"""

import re
import sys
from pathlib import Path

import floorlib
import numpy as np


def prepare(directory, n):
    import workload

    floorlib.build()
    chain = workload.build_chain(10 * n).take(np.arange(0, 10 * n, 10))
    np.savez(
        Path(directory) / "workload.npz",
        prices=chain.prices,
        S=chain.S,
        K=chain.K,
        D=chain.D,
        F=chain.F,
        sigma=chain.sigma,
        q=np.array([1 if f == "c" else -1 for f in chain.flags], dtype=np.intc),
    )


def run(directory):
    import ctypes

    w = np.load(Path(directory) / "workload.npz")
    lib = floorlib.load()
    n = len(w["prices"])
    ptr = {
        k: np.ascontiguousarray(w[k]).ctypes.data_as(ctypes.POINTER(ctypes.c_double))
        for k in ("prices", "S", "K", "D", "F", "sigma")
    }
    q = np.ascontiguousarray(w["q"]).ctypes.data_as(ctypes.POINTER(ctypes.c_int))
    outs = [np.empty(n), np.empty(n)]
    lib.floor_run_loops(
        n,
        ptr["prices"],
        ptr["S"],
        ptr["K"],
        ptr["D"],
        ptr["F"],
        ptr["sigma"],
        q,
        *(o.ctypes.data_as(ctypes.POINTER(ctypes.c_double)) for o in outs),
    )
    (Path(directory) / "count").write_text(str(n))


def report(directory):
    directory = Path(directory)
    n = int((directory / "count").read_text())
    counts = {}
    for loop in ("floor_price_loop", "floor_implied_vol_loop"):
        text = (directory / f"callgrind.{loop}").read_text(errors="replace")
        total = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
        counts[loop] = int(total.group(1)) if total else 0
    price, iv = counts["floor_price_loop"], counts["floor_implied_vol_loop"]
    if not price or not iv:
        sys.exit(f"callgrind counted nothing inside the loops: {counts}")
    print(f"callgrind, {n} quotes of the benchmark chain (instructions executed, Ir):")
    print(f"  American price (_baw_price):              {price / n:>10,.0f} per call")
    print(f"  implied volatility (_baw_implied_vol_c):  {iv / n:>10,.0f} per call")
    print(f"  implied volatility / price:               {iv / price:>10.1f}")


if __name__ == "__main__":
    command, directory, *rest = sys.argv[1:]
    if command == "prepare":
        prepare(directory, int(rest[0]))
    elif command == "run":
        run(directory)
    else:
        report(directory)
