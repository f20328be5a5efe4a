"""Whether velliq.american inverts its own prices: a seeded sweep of random options.

    python bench/american_inversion.py [--quotes N] [--seed S] [--settings fast default high]
                                        [--workers W] [--show K]

Draws N options (default 1,000,000; spot 100), prices each at every setting and inverts
the price at that setting. A quote counts where the price is finite and its vega (per
unit of total standard deviation, the model's own) is at least 1e-4; it fails where the
implied volatility is NaN or its price is further from the quote than the setting's
tolerance (``ROUND_TRIP_TOLERANCE``, per unit strike), and the price rises with sigma
from 0 to 1.5 sigma (on a grid of ``MONOTONE_POINTS``). A price that does not is no price
to invert (the model outside its accurate range: small total standard deviations under
large rates); those are counted apart. Prints, per setting, the quotes counted, the
failures and the first few failing inputs; exits 1 on any failure.
"""

import argparse
import sys
import time

import numpy as np

import velliq
from velliq import american

# The price of the implied volatility against the quote, per unit strike: the search prices
# each volatility from the last one's boundary, so it ends within the scheme's resolution of a
# price that differs from a fresh one by what the setting's iteration leaves (as in
# tests/test_american.py).
ROUND_TRIP_TOLERANCE = {"fast": 1e-5, "default": 1e-6, "high": 1e-8}
MIN_VEGA = 1e-4
MONOTONE_POINTS = 61
STRIKE = 100.0


def random_options(n, seed):
    """Options on a spot of 100 over the range the model prices: strikes a factor e^±1.5 from
    the spot, 1 day to 30 years, rates and yields -5 % to 20 %, total standard deviations
    1e-3 to 4; half calls. Returns S, K, D, F, sigma, is_call."""
    rng = np.random.default_rng(seed)
    years = np.exp(rng.uniform(np.log(1 / 365), np.log(30.0), n))
    rate, dividend_yield = rng.uniform(-0.05, 0.2, (2, n))
    sigma = np.exp(rng.uniform(np.log(1e-3), np.log(4.0), n))
    S = STRIKE * np.exp(rng.uniform(-1.5, 1.5, n))
    D, F = velliq.forward_terms(S, rate, dividend_yield, years)
    return S, np.full(n, STRIKE), D, F, sigma, rng.random(n) < 0.5


def sweep(setting, options):
    """Counted quotes and the indices of the failures at one setting."""
    model = american.SETTINGS[setting]
    S, K, D, F, sigma, is_call = options
    price = model.price(S, K, D, F, sigma, is_call)
    vega = model.greeks(S, K, D, F, sigma, is_call)[2]
    counted = np.isfinite(price) & (vega >= MIN_VEGA)
    idx = np.flatnonzero(counted)
    args = (S[idx], K[idx], D[idx], F[idx])
    implied = model.implied_vol(price[idx], *args, is_call[idx])
    back = model.price(*args, implied, is_call[idx])
    with np.errstate(invalid="ignore"):
        ok = np.abs(back - price[idx]) <= ROUND_TRIP_TOLERANCE[setting] * K[idx]
    missed, implied = idx[~ok], implied[~ok]
    rising = rises_with_sigma(model, tuple(a[missed] for a in options))
    return idx.size, missed[rising], implied[rising], missed[~rising]


def rises_with_sigma(model, options):
    """Per option, whether its price never falls (beyond rounding) from sigma 0 to 1.5 sigma."""
    S, K, D, F, sigma, is_call = (a[:, None] for a in options)
    grid = sigma * np.linspace(0.0, 1.5, MONOTONE_POINTS)
    prices = model.price(S, K, D, F, grid, is_call)
    return np.all(np.diff(prices, axis=1) >= -1e-12 * K, axis=1)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quotes", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--settings", nargs="+", default=list(ROUND_TRIP_TOLERANCE), choices=list(ROUND_TRIP_TOLERANCE))
    parser.add_argument("--workers", type=int, default=None, help="native threads (all cores by default)")
    parser.add_argument("--show", type=int, default=5, help="failing inputs printed per setting")
    args = parser.parse_args(argv)
    options = random_options(args.quotes, args.seed)
    failed = 0
    with velliq.workers(args.workers):
        for setting in args.settings:
            start = time.perf_counter()
            counted, failures, implied, not_rising = sweep(setting, options)
            seconds = time.perf_counter() - start
            print(
                f"{setting:8s} {counted:>9,d} quotes with vega >= {MIN_VEGA:g}: {failures.size:,d} failures; "
                f"{not_rising.size:,d} prices not rising with sigma ({seconds:.0f} s)"
            )
            for i, v in zip(failures[: args.show], implied[: args.show]):
                S, K, D, F, sigma, is_call = (float(a[i]) for a in options)
                print(f"    S={S!r} K={K!r} D={D!r} F={F!r} sigma={sigma!r} is_call={bool(is_call)} -> {v!r}")
            failed += failures.size
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
