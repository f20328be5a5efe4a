"""Invert a realistic American option chain with velliq.

Builds a chain on one underlying (spot 100, a 4 % rate, a 1.5 % dividend
yield) with six expiries from a week to two years, strikes from 50 % to 150 %
of spot and a volatility smile; prices every call and put with the
Barone-Adesi-Whaley approximation; then, per expiry, recovers the forward with
``find_forward_baw`` and the volatilities with ``vectorized_baw_implied_vol``,
and prints recovered against true values. With matplotlib installed it also
writes the recovered smiles to ``option_chain_smiles.png``.

Quotes below one tick (0.01) are left out, as no market quotes them. The smile
is read, as desks do, from out-of-the-money options (puts below the forward,
calls above): deep in the money the price barely moves with volatility, so a
tiny error in the forward becomes a large one in volatility.
"""

import math
import sys

import numpy as np

from velliq.norvane import baw_price, find_forward_baw, vectorized_baw_implied_vol

SPOT = 100.0
RATE = 0.04
DIVIDEND_YIELD = 0.015
EXPIRIES_DAYS = [7, 30, 91, 182, 365, 730]
STRIKES = np.arange(50.0, 150.0 + 1e-9, 2.5)
TICK = 0.01


def smile(strike, forward, years):
    """Annual volatility: a skewed, curved smile that flattens with maturity."""
    moneyness = math.log(strike / forward) / math.sqrt(max(years, 1 / 12))
    return 0.22 - 0.06 * moneyness + 0.05 * moneyness**2 + 0.02 * math.exp(-4 * years)


def build_expiry(days):
    years = days / 365.0
    discount = math.exp(-RATE * years)
    forward = SPOT * math.exp((RATE - DIVIDEND_YIELD) * years)
    vols = np.array([smile(k, forward, years) for k in STRIKES])
    sigmas = vols * math.sqrt(years)
    calls = np.array([baw_price(SPOT, k, discount, forward, s, "c") for k, s in zip(STRIKES, sigmas)])
    puts = np.array([baw_price(SPOT, k, discount, forward, s, "p") for k, s in zip(STRIKES, sigmas)])
    return years, discount, forward, vols, calls, puts


def main():
    print(
        f"{'expiry':>7} {'true F':>10} {'found F':>10} {'rel err':>9} {'quotes':>6} "
        f"{'solved':>6} {'no time value':>13} {'max |vol err| OTM':>17}"
    )
    smiles = []
    worst = 0.0
    for days in EXPIRIES_DAYS:
        years, discount, forward, vols, calls, puts = build_expiry(days)
        found_forward = find_forward_baw(calls, puts, STRIKES, SPOT, discount)

        prices = np.concatenate([calls, puts])
        strikes = np.concatenate([STRIKES, STRIKES])
        flags = np.array(["c"] * len(STRIKES) + ["p"] * len(STRIKES))
        true_vols = np.concatenate([vols, vols])
        quoted = prices >= TICK
        prices, strikes, flags, true_vols = (a[quoted] for a in (prices, strikes, flags, true_vols))
        n = len(prices)

        sigmas = vectorized_baw_implied_vol(
            prices, np.full(n, SPOT), strikes, np.full(n, discount), np.full(n, found_forward), list(flags)
        )
        recovered = sigmas / math.sqrt(years)
        # A quote at its exercise value carries no volatility: 0.0 comes back.
        solved = recovered > 0
        otm = solved & (((flags == "c") & (strikes >= found_forward)) | ((flags == "p") & (strikes < found_forward)))
        vol_error = np.abs(recovered[otm] - true_vols[otm]).max()
        worst = max(worst, vol_error)
        print(
            f"{days:>6}d {forward:>10.5f} {found_forward:>10.5f} "
            f"{abs(found_forward / forward - 1):>9.1e} {n:>6} {solved.sum():>6} "
            f"{(recovered == 0).sum():>13} {vol_error:>17.1e}"
        )
        smiles.append((days, strikes[otm], recovered[otm], true_vols[otm]))
    print(f"largest out-of-the-money volatility error over the chain: {worst:.1e}")
    plot(smiles)
    return 0


def plot(smiles):
    try:
        import matplotlib
    except ImportError:
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 5))
    for days, strikes, recovered, true_vols in smiles:
        order = np.argsort(strikes)
        (line,) = ax.plot(strikes[order], true_vols[order], label=f"{days}d")
        ax.plot(strikes, recovered, "o", ms=3, color=line.get_color())
    ax.set_xlabel("strike")
    ax.set_ylabel("volatility (lines true, dots recovered)")
    ax.legend(fontsize="small")
    fig.savefig("option_chain_smiles.png", dpi=100)
    print("wrote option_chain_smiles.png")


if __name__ == "__main__":
    sys.exit(main())
