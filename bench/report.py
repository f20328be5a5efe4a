"""The benchmark's table: figures with their targets, raw timings, and the machine they ran on."""

import math
import os
import platform
import subprocess
from pathlib import Path

import numpy as np
import peers
import scipy

BENCH = Path(__file__).resolve().parent
RESULTS = BENCH / "results"

# (quotes, reps, QuantLib default-engine sample, QuantLib Brent sample, Python sample,
#  memory-batch quotes, seconds per scalar timing)
SIZES = ("quotes", "reps", "ql_default_sample", "ql_brent_sample", "python_sample", "memory_quotes", "scalar_seconds")
FULL = dict(zip(SIZES, (20_000, 7, 50, 500, 500, 1_000_000, 0.05)))
QUICK = dict(zip(SIZES, (4_000, 5, 10, 100, 100, 200_000, 0.02)))

# Every benchmark's targets, figure key -> (comparison, bound): run.py's table first,
# then ufuncs.py's, chain.py's, chain_memory.py's and scale.py's figures.
TARGETS = {
    "floor_over_batch": (">=", 0.97),
    "batch_vs_ql_brent": (">=", 6.0),
    "batch_vs_ql_default": (">=", 1000.0),
    "batch_vs_ql_default_1e-10": (">=", 1000.0),
    "price_call_overhead_ns": ("<=", 150.0),
    "iv_call_overhead_ns": ("<=", 150.0),
    "two_threads_scaling": (">=", 1.8),
    "memory_ratio": ("<=", 1.0),
    "american_iv_vs_baw": ("<=", 3.0),
    "american_greeks_vs_price": ("<=", 3.0),
    "american_price_vs_qdfp": (">=", 10.0),
    "floor_over_price": (">=", 0.97),
    "greeks_over_price": ("<=", 3.0),
    "implied_vol_over_batch": ("<=", 1.03),
    "broadcast_extra_bytes_per_element": ("<=", 0.01),
    "chain_two_workers": (">=", 1.9),
    "book_two_workers": (">=", 1.9),
    "table_over_bare_baw": ("<=", 1.2),
    "table_over_bare_american": ("<=", 1.3),
    "table_peak_memory": ("<=", 2.0),
    "table_two_workers": (">=", 1.8),
    "scale_baw_seconds": ("<=", 15.0),
    "scale_american_seconds": ("<=", 45.0),
    "scale_two_workers": (">=", 1.8),
    "cli_peak_memory": ("<=", 2.0),
}


def target_met(key, value):
    """(comparison, bound, met) of a figure that has a target, else None."""
    if key not in TARGETS:
        return None
    op, bound = TARGETS[key]
    return op, bound, bool(value >= bound if op == ">=" else value <= bound)


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
            op, bound, row["met"] = target_met(key, value)
            row["target"] = f"{op} {bound:g}"
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
