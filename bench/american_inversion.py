"""Whether velliq.american inverts its own prices: a seeded sweep of random options.

    python bench/american_inversion.py [--quotes N] [--seed S] [--settings fast default high]
                                        [--workers W] [--show K]

Draws N options (default 1,000,000; tools/devsupport/inversion.py), prices each at every
setting and inverts the price at that setting. A quote counts where the price is finite and
its vega (per unit of total standard deviation, the model's own) is at least 1e-4; it fails
where its implied volatility is NaN or its price is further from the quote than the
setting's tolerance (per unit strike) while the price rises with sigma. A price that does
not rise, or jumps over the quote, is no price to invert (the model outside its accurate
range: small total standard deviations under large rates, and at `fast` a few deep calls
whose price leaves the exercise value with a jump); those are counted apart. Prints, per setting, the quotes
counted, the failures and the first few failing inputs; exits 1 on any failure.
"""

import argparse
import sys
import time
from pathlib import Path

import velliq
from velliq import american

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from devsupport.inversion import MIN_VEGA, ROUND_TRIP_TOLERANCE, inversion_failures, random_options  # noqa: E402


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
            counted, failures, implied, not_rising = inversion_failures(
                american.SETTINGS[setting], ROUND_TRIP_TOLERANCE[setting], options
            )
            seconds = time.perf_counter() - start
            print(
                f"{setting:8s} {counted:>9,d} quotes with vega >= {MIN_VEGA:g}: {failures.size:,d} failures; "
                f"{not_rising.size:,d} prices not rising with sigma or jumping over the quote ({seconds:.0f} s)",
                flush=True,
            )
            for i, v in zip(failures[: args.show], implied[: args.show]):
                S, K, D, F, sigma, is_call = (float(a[i]) for a in options)
                print(f"    S={S!r} K={K!r} D={D!r} F={F!r} sigma={sigma!r} is_call={bool(is_call)} -> {v!r}")
            failed += failures.size
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
