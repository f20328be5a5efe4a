"""The slow reference of the cash-dividend kernel (src/kernels/dividends/): American prices
under Black-Scholes with a flat rate, a continuous yield and cash dividends (the spot drops by
the amount at each ex-date, to 0 at most), by a scheme that shares nothing with the kernel's
but the equation. Writes tests/data/dividend_reference.csv:

    python tools/devsupport/dividend_reference.py [--workers 2]

Scheme: x = ln S on a uniform grid with the payoff's kink on a node, Crank-Nicolson with
four implicit half steps (Rannacher) at expiry and after each ex-date, the early exercise by
the penalty method of Forsyth & Vetzal (2002) (each step iterated until the exercise set
settles), V(S) at the ex-date from V(S - d) by linear interpolation in S (linear
extrapolation in S below the grid, S - d < 0 read as 0), d2V/dS2 = 0 at both ends. Three
grids, each with twice the nodes and steps of the last; Richardson's extrapolation of the
last two, and as its error estimate the gap between the extrapolations of the first two and
the last two (third-order convergence of the extrapolated values taken as no better than
the second-order one).

Conventions as the kernel's: time in years from `days / 365`, ex-dates `div_days` days
after valuation; a dividend on the expiry date is kept (the payoff on S - d; the holder may
exercise at S just before it), one after expiry ignored.
"""

import argparse
import csv
import math
import pathlib
from concurrent.futures import ProcessPoolExecutor

import numpy as np
from scipy.linalg import solve_banded

OUT = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "dividend_reference.csv"
PENALTY = 1e8  # the constraint's violation is at most the value's scale / PENALTY
SPAN = 9.0  # standard deviations beyond the spot and the strike on the grid
FLOOR = 1e-5  # the grid ends at this fraction of the smaller of spot and strike
# The penalty iteration stops once no value moves by more than this (relative to the largest):
# nodes on the boundary may flip in and out of the exercise set within about the penalty's
# own error, 1 / PENALTY of the values.
SETTLED = 1e-9
PENALTY_ROUNDS = 12


def intrinsic(S, K, side):
    return np.maximum(S - K, 0.0) if side == 1 else np.maximum(K - S, 0.0)


def operator(x, sigma, r, b):
    """The three diagonals of the generator in x = ln S on a uniform grid, with d2V/dS2 = 0
    (V_xx = V_x) at both ends, where the first derivative is one-sided."""
    h = x[1] - x[0]
    n = len(x)
    a, mu = 0.5 * sigma * sigma, b - 0.5 * sigma * sigma
    lower = np.full(n, a / h**2 - mu / (2 * h))
    upper = np.full(n, a / h**2 + mu / (2 * h))
    diag = np.full(n, -2 * a / h**2 - r)
    # Ends: V_t = b V_x - r V with V_x one-sided (inwards).
    lower[0], diag[0], upper[0] = 0.0, -b / h - r, b / h
    lower[-1], diag[-1], upper[-1] = -b / h, b / h - r, 0.0
    return lower, diag, upper


def step(V, exercise, ops, dt, theta):
    """One theta step with the penalty iteration of the exercise constraint."""
    lower, diag, upper = ops
    rhs = V + (1 - theta) * dt * (diag * V)
    rhs[1:] += (1 - theta) * dt * lower[1:] * V[:-1]
    rhs[:-1] += (1 - theta) * dt * upper[:-1] * V[1:]
    band = np.zeros((3, len(V)))
    band[0, 1:] = -theta * dt * upper[:-1]
    band[2, :-1] = -theta * dt * lower[1:]
    base = 1.0 - theta * dt * diag
    active = V < exercise
    previous = V
    for _ in range(PENALTY_ROUNDS):
        band[1] = base + PENALTY * active
        new = solve_banded((1, 1), band, rhs + PENALTY * active * exercise)
        settled = new < exercise
        # Settled: the same exercise set, or values that no longer move (a node on the
        # boundary may flip back and forth within rounding).
        if np.array_equal(settled, active) or np.max(np.abs(new - previous)) <= SETTLED * (1.0 + np.max(np.abs(new))):
            return new
        active, previous = settled, new
    return new


def solve(S, K, T, r, q, vol, side, dividends, nodes, steps, level):
    """The price on grid `level` (1, 2, 4): `nodes` intervals and `steps` steps per year (at
    least 8 per interval between ex-dates) times the level, nested in the coarser grids."""
    sigma = vol
    b = r - q
    kept = [(t, d) for t, d in dividends if 0 < t <= T and d > 0]
    at_expiry = sum(d for t, d in kept if t == T)
    kink = K if side == 1 else K + at_expiry
    paid = sum(d for _, d in kept)
    total = sigma * math.sqrt(T)
    lo = max(min(S, K) * math.exp(-SPAN * total - abs(b) * T) - paid, FLOOR * min(S, K))
    hi = max(S, kink) * math.exp(SPAN * total + abs(b) * T) + paid
    h = (math.log(hi) - math.log(lo)) / nodes
    below = math.ceil((math.log(kink) - math.log(lo)) / h)
    x = math.log(kink) + h / level * (np.arange(nodes * level + 1) - below * level)
    s = np.exp(x)
    exercise = intrinsic(s, K, side)
    V = np.maximum(intrinsic(np.maximum(s - at_expiry, 0.0), K, side), exercise)
    ops = operator(x, sigma, r, b)
    events = sorted({T - t for t, _ in kept if t < T} | {T})
    tau = 0.0
    for until in events:
        count = max(8, math.ceil(steps * (until - tau))) * level
        dt = (until - tau) / count
        for k in range(count):
            if k < 2:  # Rannacher: two implicit half steps for each of the first two steps
                V = step(V, exercise, ops, dt / 2, 1.0)
                V = step(V, exercise, ops, dt / 2, 1.0)
            else:
                V = step(V, exercise, ops, dt, 0.5)
        tau = until
        for t, d in kept:
            if abs((T - t) - tau) < 1e-14 and t < T:
                V = np.maximum(drop(s, V, d), exercise)
    return cubic_at(x, V, math.log(S))


def drop(s, V, d):
    """V at max(S - d, 0) by linear interpolation in S, linear extrapolation below the grid."""
    target = np.maximum(s - d, 0.0)
    inside = np.interp(target, s, V)
    slope = (V[1] - V[0]) / (s[1] - s[0])
    return np.where(target < s[0], V[0] + slope * (target - s[0]), inside)


def cubic_at(x, V, at):
    """The cubic through the four nodes around `at`."""
    j = min(max(int(np.searchsorted(x, at)) - 2, 0), len(x) - 4)
    xs, vs = x[j : j + 4], V[j : j + 4]
    total = 0.0
    for k in range(4):
        weight = np.prod([(at - xs[m]) / (xs[k] - xs[m]) for m in range(4) if m != k])
        total += vs[k] * weight
    return float(total)


def converged(row):
    """Richardson over three grids: the price and its error estimate."""
    S, K, T = row["S"], row["K"], row["days"] / 365
    dividends = [(dd / 365, a) for dd, a in zip(row["div_days"], row["amounts"], strict=True)]
    base_nodes, base_steps = row["nodes"], row["steps"]
    prices = [
        solve(S, K, T, row["r"], row["q"], row["vol"], row["side"], dividends, base_nodes, base_steps, m)
        for m in (1, 2, 4)
    ]
    first, second = (4 * prices[1] - prices[0]) / 3, (4 * prices[2] - prices[1]) / 3
    return second, abs(second - first), prices


def scenarios():
    """The table's options: the corners of calls and puts, K/S 0.7-1.3, 3 days to 5 years,
    vol 5-100 %, r 0-8 %, borrow 0-3 %, 0/1/2/4/12 dividends of 5 % or 15 % of the spot on the
    day after valuation, the day before expiry, on it and between."""
    quarterly = [91 * k for k in range(1, 13)]
    # (K, days, r, q, vol, ex-dates in days, amount)
    rows = [
        (100, 3, 0.08, 0.0, 0.05, [1], 5.0),
        (70, 3, 0.0, 0.03, 1.0, [2], 15.0),
        (130, 3, 0.05, 0.0, 0.25, [3], 5.0),
        (100, 3, 0.0, 0.0, 0.05, [1], 15.0),
        (100, 30, 0.05, 0.01, 0.25, [29], 15.0),
        (100, 30, 0.08, 0.0, 0.05, [30], 5.0),
        (110, 91, 0.03, 0.0, 0.5, [1], 15.0),
        (90, 365, 0.05, 0.0, 0.25, [91, 273], 5.0),
        (100, 365, 0.08, 0.03, 1.0, [1, 364], 15.0),
        (100, 365, 0.08, 0.0, 0.05, [182], 15.0),
        (120, 365, 0.04, 0.02, 0.15, [91, 182, 273, 364], 5.0),
        (100, 730, 0.04, 0.0, 0.15, [91, 273, 456, 638], 5.0),
        (80, 730, 0.08, 0.0, 0.25, [365], 15.0),
        (130, 1825, 0.08, 0.0, 0.25, [152 * k for k in range(1, 13)], 5.0),
        (70, 1825, 0.0, 0.0, 0.05, quarterly, 5.0),
        (100, 1825, 0.03, 0.03, 1.0, [365, 730, 1095, 1460], 15.0),
        (100, 1825, 0.08, 0.02, 0.05, [1, 1824, 1825], 5.0),
        (100, 182, 0.05, 0.0, 0.25, [], 0.0),
        (95, 91, 0.02, 0.0, 0.35, [45], 5.0),
        (105, 182, 0.06, 0.01, 0.2, [90], 15.0),
        (100, 1825, 0.05, 0.0, 0.4, quarterly, 5.0),
    ]
    for K, days, r, q, vol, div_days, amount in rows:
        for side in (1, -1):
            yield {
                "side": side,
                "S": 100.0,
                "K": float(K),
                "days": days,
                "r": r,
                "q": q,
                "vol": vol,
                "div_days": div_days,
                "amounts": [amount] * len(div_days),
            }


def price_row(row, nodes, steps):
    price, error, _ = converged({**row, "nodes": nodes, "steps": steps})
    return {**row, "price": price, "error": error}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--nodes", type=int, default=4000)
    parser.add_argument("--steps", type=int, default=1600)
    args = parser.parse_args()
    rows = list(scenarios())
    with ProcessPoolExecutor(args.workers) as pool:
        done = []
        for row in pool.map(price_row, rows, [args.nodes] * len(rows), [args.steps] * len(rows)):
            done.append(row)
            print(len(done), "of", len(rows), row["price"], row["error"], flush=True)
    with OUT.open("w", newline="") as f:
        f.write(
            "# Written by: python tools/devsupport/dividend_reference.py "
            f"--nodes {args.nodes} --steps {args.steps}\n"
            "# Crank-Nicolson in ln S with Rannacher starts, penalty early exercise, linear "
            "jumps at ex-dates;\n"
            f"# grids of {args.nodes}, {2 * args.nodes}, {4 * args.nodes} intervals and "
            f"{args.steps}, {2 * args.steps}, {4 * args.steps} steps a year (at least 8 "
            "between ex-dates),\n"
            "# Richardson over the last two; error = gap to the extrapolation over the first "
            "two. T = days / 365.\n"
        )
        writer = csv.writer(f)
        writer.writerow(["side", "S", "K", "days", "r", "q", "vol", "div_days", "amounts", "price", "error"])
        for row in done:
            writer.writerow(
                [
                    "call" if row["side"] == 1 else "put",
                    row["S"],
                    row["K"],
                    row["days"],
                    row["r"],
                    row["q"],
                    row["vol"],
                    ";".join(map(str, row["div_days"])),
                    ";".join(map(str, row["amounts"])),
                    repr(row["price"]),
                    f"{row['error']:.2e}",
                ]
            )


if __name__ == "__main__":
    main()
