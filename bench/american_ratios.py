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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quotes", type=int, default=3000)
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    c = build_chain(args.quotes)
    p, S, K, D, F, flags = c.arrays()
    is_call = np.array([f == "c" for f in flags])
    n = len(p)
    ql_count = min(n, 1000)
    with velliq.workers(1):
        print(f"{n} quotes of bench/workload.py's book, one worker; microseconds per quote")
        columns = ("iv", "baw iv", "ratio", "greeks", "price", "ratio", "QdFp", "ratio")
        print(f"{'setting':8} " + " ".join(f"{c:>8}" if c != "ratio" else f"{c:>6}" for c in columns))
        for name, u in american.SETTINGS.items():
            fns = [
                lambda u=u: u.implied_vol(p, S, K, D, F, is_call),
                lambda: baw.implied_vol(p, S, K, D, F, is_call),
                lambda u=u: u.greeks(S, K, D, F, c.sigma, is_call),
                lambda u=u: u.price(S, K, D, F, c.sigma, is_call),
                quantlib_per_price(c, ql_count),
                lambda u=u: u.price(*(x[:ql_count] for x in (S, K, D, F, c.sigma, is_call))),
            ]
            iv, baw_iv, greeks, price, qdfp, price_ql = (t * 1e6 for t in interleaved(fns, args.reps)[0])
            iv, baw_iv, greeks, price = iv / n, baw_iv / n, greeks / n, price / n
            qdfp, price_ql = qdfp / ql_count, price_ql / ql_count
            print(
                f"{name:8} {iv:8.2f} {baw_iv:8.2f} {iv / baw_iv:6.2f} {greeks:8.2f} {price:8.2f} {greeks / price:6.2f}"
                f" {qdfp:8.2f} {qdfp / price_ql:6.2f}"
            )


if __name__ == "__main__":
    main()
