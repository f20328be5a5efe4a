"""Per-strike forwards: the forward_pair ufuncs against velliq.chain.strike_forwards
(NumPy-vectorised Newton steps over the implied_vol and greeks ufuncs) on the same
strike pairs, one worker each. Figures are medians of interleaved repetitions.

    python bench/forward_pair.py              # 5,000 pairs, BAW and the American default
    python bench/forward_pair.py --pairs 1000 --reps 3

The pairs: 40 underlyings (spot 20-500, dividend yield 0-4 %, rate 4 %), expiries
from a week to two years, strikes 60-140 % of spot on a skewed smile, call and put
priced by the model timed, bid and ask a cent either side. forward_pair computes
F_mid and the band interval [F_lo, F_hi] (three roots); with NaN bids and asks it
computes F_mid alone, the work strike_forwards does.
"""

import argparse

import numpy as np
from run import interleaved

import velliq
from velliq import american, baw, chain

MODELS = {"baw": baw, "american": american}
RATE = 0.04


def pairs(model, n, seed=7):
    rng = np.random.default_rng(seed)
    under = rng.integers(0, 40, n)
    spot = rng.uniform(20, 500, 40)[under]
    q = rng.uniform(0, 0.04, 40)[under]
    years = np.geomspace(7 / 365, 2, 25)[rng.integers(0, 25, n)]
    K = np.round(spot * rng.uniform(0.6, 1.4, n), 2)
    D, F = velliq.forward_terms(spot, RATE, q, years)
    vol = 0.25 - 0.1 * np.log(K / F) + 0.2 * np.log(K / F) ** 2
    sigma = vol * np.sqrt(years)
    C, P = (model.price(spot, K, D, F, sigma, is_call) for is_call in (True, False))
    return spot, K, D, C, P


def figures(name, n, reps):
    model = MODELS[name]
    S, K, D, C, P = pairs(model, n)
    nan = np.full(n, np.nan)
    last = {}  # each contender's latest result

    def python():
        last["python"] = chain.strike_forwards(C, P, K, S, D, model=name)

    def full():
        last["full"] = model.forward_pair(S, K, D, C - 0.01, C, C + 0.01, P - 0.01, P, P + 0.01)

    def mid_only():
        model.forward_pair(S, K, D, nan, C, nan, nan, P, nan)

    with velliq.workers(1):
        (t_python, t_full, t_mid), _ = interleaved([python, full, mid_only], reps)
    F_python, (F_mid, _, _, reason) = last["python"], last["full"]
    both = np.isfinite(F_python) & np.isfinite(F_mid)
    agreement = np.max(np.abs(F_mid[both] / F_python[both] - 1)) if both.any() else np.nan
    print(f"{name}: {n:,} pairs, medians of {reps} (one worker)")
    print(f"  strike_forwards (Python Newton, F_mid)   {t_python:8.3f} s")
    print(f"  forward_pair F_mid only                  {t_mid:8.3f} s   python / ufunc = {t_python / t_mid:5.2f}")
    print(f"  forward_pair F_mid, F_lo, F_hi           {t_full:8.3f} s   python / ufunc = {t_python / t_full:5.2f}")
    counts = dict(zip(*np.unique(np.array(model.REASONS)[reason], return_counts=True)))
    print(f"  F_mid finite: python {np.isfinite(F_python).sum():,}, ufunc {np.isfinite(F_mid).sum():,}; ", end="")
    print(f"largest relative difference where both are {agreement:.1e}; reasons {counts}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=5000)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--models", nargs="+", default=list(MODELS), choices=list(MODELS))
    args = parser.parse_args()
    for name in args.models:
        figures(name, args.pairs, args.reps)


if __name__ == "__main__":
    main()
