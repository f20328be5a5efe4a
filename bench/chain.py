"""velliq.chain end to end against the bare ufunc calls it is built on.

    python bench/chain.py            # a 1,000,000-row quote table
    python bench/chain.py --quick    # 200,000 rows
    python bench/chain.py --given-forwards   # forward and discount columns: nothing estimated
    python bench/chain.py --model american --rows 20000 --given-forwards

The table: 40 underlyings, 25 expiries from a week to two years, 500 strikes
per expiry (250 calls and 250 puts), BAW mids on a smile with a spread of two
ticks. The baseline is what the table costs without velliq.chain: the three
implied volatilities and the Greeks (for vega) at the true forwards, as bare
calls of the model's ufuncs on ready float64 arrays; the table's own work on top of
them is mostly the forward estimate (timed alone as chain.forwards). Figures
are medians of interleaved repetitions, ratios of timings taken in this run.
"""

import argparse
import tracemalloc

import numpy as np
import pandas as pd
from report import target_met
from timing import interleaved

import velliq
from velliq import american, baw, chain

RATE = 0.04
MODELS = {"baw": baw, "american": american}


def table(rows):
    rng = np.random.default_rng(7)
    n_under, n_exp = 40, 25
    per_expiry = rows // (n_under * n_exp)
    strikes_per_side = per_expiry // 2
    under = np.repeat(np.arange(n_under), n_exp * per_expiry)
    spot = np.repeat(rng.uniform(20, 500, n_under), n_exp * per_expiry)
    q = np.repeat(rng.uniform(0, 0.04, n_under), n_exp * per_expiry)
    years = np.tile(np.repeat(np.geomspace(7 / 365, 2, n_exp), per_expiry), n_under)
    moneyness = np.tile(np.repeat(np.linspace(0.6, 1.4, strikes_per_side), 2), n_under * n_exp)
    is_call = np.tile(np.array([True, False]), rows // 2)
    K = np.round(spot * moneyness, 2)
    D, F = velliq.forward_terms(spot, RATE, q, years)
    vol = 0.25 - 0.1 * np.log(K / F) + 0.2 * np.log(K / F) ** 2
    mid = baw.price(spot, K, D, F, vol * np.sqrt(years), is_call)
    frame = pd.DataFrame(
        {
            "underlying": pd.Categorical(under.astype(str)),
            "expiry": years,
            "strike": K,
            "side": np.where(is_call, "c", "p"),
            "bid": mid - 0.01,
            "ask": mid + 0.01,
            "spot": spot,
        }
    )
    return frame, dict(S=spot, K=K, D=D, F=F, is_call=is_call, bid=mid - 0.01, mid=mid, ask=mid + 0.01)


def bare(a, model):
    sig = {k: model.implied_vol(a[k], a["S"], a["K"], a["D"], a["F"], a["is_call"]) for k in ("bid", "mid", "ask")}
    model.greeks(a["S"], a["K"], a["D"], a["F"], sig["mid"], a["is_call"])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--rows", type=int, default=None, help="rows of the table (default 1,000,000; --quick 200,000)")
    parser.add_argument("--model", choices=sorted(MODELS), default="baw")
    parser.add_argument(
        "--forward-strikes",
        type=int,
        default=None,
        help="at most N pairs per expiry for the forward (default: the informative ones, at most 6)",
    )
    parser.add_argument(
        "--given-forwards", action="store_true", help="the table holds forward and discount: the forwards are given"
    )
    args = parser.parse_args(argv)
    rows = args.rows or (200_000 if args.quick else 1_000_000)
    model = MODELS[args.model]
    frame, arrays = table(rows)
    reps = 3
    options = dict(rate=RATE, forward_pairs=args.forward_strikes, model=args.model)
    if args.given_forwards:
        frame = frame.assign(forward=arrays["F"], discount=arrays["D"])
        options = dict(model=args.model)

    (t_chain, t_bare, t_forwards), _ = interleaved(
        [
            lambda: chain.implied_vols(frame, **options, workers=1),
            lambda: bare(arrays, model),
            lambda: chain.forwards(frame, **options, workers=1),
        ],
        reps,
    )
    (t_two,), _ = interleaved([lambda: chain.implied_vols(frame, **options, workers=2)], reps)
    tracemalloc.start()
    result = chain.implied_vols(frame, **options, workers=1)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    size = frame.memory_usage(deep=True).sum()
    forward_error = np.nanmax(np.abs(result["forward"] / arrays["F"] - 1))
    figures = [
        (f"implied_vols over {rows:,} rows, one worker", t_chain, "s", None),
        ("model", args.model, "", None),
        ("forwards", "given" if args.given_forwards else "estimated", "", None),
        ("pairs per expiry for the forward, at most", args.forward_strikes or "default", "", None),
        (f"bare velliq.{args.model} calls on the same arrays", t_bare, "s", None),
        ("implied_vols / bare calls, time", t_chain / t_bare, "", f"table_over_bare_{args.model}"),
        ("forward estimate alone (forwards) / bare calls", t_forwards / t_bare, "", None),
        ("peak memory / input table", peak / size, "", "table_peak_memory"),
        ("workers=2 vs one worker", t_chain / t_two, "x", "table_two_workers"),
        ("worst forward error, relative", forward_error, "", None),
        ("rows with status ok", float((result["status"] == "ok").mean()), "", None),
    ]
    for label, value, unit, key in figures:
        verdict = ""
        if key:
            op, bound, met = target_met(key, value)
            verdict = f"  target {op} {bound}: {'met' if met else 'MISSED'}"
        shown = f"{value:>12.4g}" if isinstance(value, float) else f"{value!s:>12}"
        print(f"{label:<48} {shown} {unit:<2}{verdict}")


if __name__ == "__main__":
    main()
