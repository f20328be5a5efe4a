"""The accurate model's costs as ratios, both sides of each timed in this run on one worker.

    python bench/american_ratios.py [--quotes N] [--reps R]

On bench/workload.py's book (BAW quotes of a realistic chain), per quote, for each
setting of velliq.american: implied_vol against velliq.baw.implied_vol, greeks (all five
outputs) against price, and price against QuantLib's QdFpAmericanEngine with its accurate
scheme (a Python loop over NPV, so QuantLib's figure includes that loop's overhead).
Medians of interleaved repetitions.
"""

import argparse

import numpy as np
import peers
from timing import interleaved
from workload import build_chain

import velliq
from velliq import american, baw


def quantlib_per_price(c, count):
    """Microseconds per QdFp accurate-scheme price over the first `count` quotes."""
    import QuantLib as ql
    from american import QdFp

    engine = QdFp(ql.QdFpAmericanEngine.accurateScheme())
    T = c.days[:count] / 365.0
    r = -np.log(c.D[:count]) / T
    q = r - np.log(c.F[:count] / c.S[:count]) / T
    vol = c.sigma[:count] / np.sqrt(T)
    rows = list(zip(c.S[:count], c.K[:count], c.days[:count], r, q, vol, [f == "c" for f in c.flags[:count]]))

    def run():
        for S, K, days, rate, yld, v, is_call in rows:
            engine.spot.setValue(S)
            engine.price(K, int(days), rate, yld, v, is_call)

    return run


def setting_ratios(c, setting, reps, ql_count=1000):
    """Microseconds per quote of one setting and its ratios, all timed in one interleaved run:
    iv, baw_iv, greeks, price, and (with QuantLib installed) qdfp and price_ql, the setting's
    price on QdFp's sample."""
    p, S, K, D, F, flags = c.arrays()
    is_call = np.array([f == "c" for f in flags])
    n, ql_count = len(p), min(len(p), ql_count)
    u = american.SETTINGS[setting]
    fns = [
        lambda: u.implied_vol(p, S, K, D, F, is_call),
        lambda: baw.implied_vol(p, S, K, D, F, is_call),
        lambda: u.greeks(S, K, D, F, c.sigma, is_call),
        lambda: u.price(S, K, D, F, c.sigma, is_call),
    ]
    if peers.ql is not None:
        fns += [
            quantlib_per_price(c, ql_count),
            lambda: u.price(*(x[:ql_count] for x in (S, K, D, F, c.sigma, is_call))),
        ]
    with velliq.workers(1):
        seconds = interleaved(fns, reps)[0]
    us = dict(zip(("iv", "baw_iv", "greeks", "price", "qdfp", "price_ql"), (t * 1e6 for t in seconds)))
    for key in ("iv", "baw_iv", "greeks", "price"):
        us[key] /= n
    for key in ("qdfp", "price_ql"):
        if key in us:
            us[key] /= ql_count
    return us


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quotes", type=int, default=3000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    c = build_chain(args.quotes)
    print(f"{len(c)} quotes of bench/workload.py's book, one worker; microseconds per quote")
    columns = ("iv", "baw iv", "ratio", "greeks", "price", "ratio", "QdFp", "ratio")
    print(f"{'setting':8} " + " ".join(f"{c:>8}" if c != "ratio" else f"{c:>6}" for c in columns))
    for name in american.SETTINGS:
        t = setting_ratios(c, name, args.reps)
        qdfp = f" {t['qdfp']:8.2f} {t['qdfp'] / t['price_ql']:6.2f}" if "qdfp" in t else "  (no QuantLib)"
        print(
            f"{name:8} {t['iv']:8.2f} {t['baw_iv']:8.2f} {t['iv'] / t['baw_iv']:6.2f}"
            f" {t['greeks']:8.2f} {t['price']:8.2f} {t['greeks'] / t['price']:6.2f}" + qdfp
        )


if __name__ == "__main__":
    main()
