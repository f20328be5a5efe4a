"""Writes tests/data/american_reference.csv: American option prices from QuantLib's
QdFpAmericanEngine, the reference of tests/test_american_kernel.py. Run once, by hand
(about half an hour on two cores); the tests read the committed table and never need
QuantLib:

    python tests/data/make_american_reference.py

Two prices a row, both QdFpAmericanEngine on a flat Black-Scholes-Merton process
(continuous rates, Actual/365 Fixed, expiry `days` after the evaluation date, so
T = days / 365):
  ql_high       QdFpAmericanEngine.highPrecisionScheme(), fixed-point equation Auto;
  ql_reference  QdFpTanhSinhIterationScheme(40, 64, 1e-12) with FP_B: 40 iterations on
                64 Chebyshev nodes. It agrees with FP_A on the same scheme to 1e-8
                wherever FP_A converges; FP_A diverges at r = 6 %, q = 0, vol = 10 %,
                T = 3y, where highPrecisionScheme is off by up to 6e-6.
Rows: spot 100; group "grid" crosses strikes 60-140 by 5 and 99, 101, expiries 7, 30,
91, 182, 365, 730 and 1095 days, r 0.5/3/6 %, q 0/2/5 %, vol 10/25/50 %, calls and
puts; group "negative_rates" holds calls at r < 0 (early exercise optimal, one
boundary) and puts at r = 0 < -q.
"""

import csv
import itertools
import pathlib
from multiprocessing import Pool

import QuantLib as ql

OUT = pathlib.Path(__file__).with_name("american_reference.csv")
GRID = [
    ("grid", 100.0, float(K), days, r, q, vol, side)
    for days, K, r, q, vol, side in itertools.product(
        [7, 30, 91, 182, 365, 730, 1095],
        [*range(60, 145, 5), 99, 101],
        [0.005, 0.03, 0.06],
        [0.0, 0.02, 0.05],
        [0.10, 0.25, 0.50],
        ["call", "put"],
    )
]
NEGATIVE = [
    ("negative_rates", 100.0, float(K), days, r, q, vol, side)
    for days, K, vol, (r, q, side) in itertools.product(
        [91, 365, 1095],
        [80, 90, 100, 110, 120],
        [0.15, 0.30],
        [
            (-0.01, 0.0, "call"),
            (-0.005, 0.0, "call"),
            (-0.01, 0.01, "call"),
            (-0.005, 0.01, "call"),
            (0.0, -0.01, "put"),
        ],
    )
]


def price_rows(rows):
    today = ql.Date(2, 1, 2024)
    ql.Settings.instance().evaluationDate = today
    day_count = ql.Actual365Fixed()
    spot, rate, dividend, vol = (ql.SimpleQuote(0.0) for _ in range(4))

    def curve(quote):
        return ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(quote), day_count))

    surface = ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(vol), day_count)
    process = ql.BlackScholesMertonProcess(
        ql.QuoteHandle(spot), curve(dividend), curve(rate), ql.BlackVolTermStructureHandle(surface)
    )
    high = ql.QdFpAmericanEngine(process, ql.QdFpAmericanEngine.highPrecisionScheme())
    reference = ql.QdFpAmericanEngine(
        process, ql.QdFpTanhSinhIterationScheme(40, 64, 1e-12), ql.QdFpAmericanEngine.FP_B
    )
    out = []
    for group, S, K, days, r, q, sigma, side in rows:
        spot.setValue(S), rate.setValue(r), dividend.setValue(q), vol.setValue(sigma)
        kind = ql.Option.Call if side == "call" else ql.Option.Put
        option = ql.VanillaOption(ql.PlainVanillaPayoff(kind, K), ql.AmericanExercise(today, today + days))
        prices = []
        for engine in (high, reference):
            option.setPricingEngine(engine)
            prices.append(option.NPV())
        out.append((group, S, K, days, r, q, sigma, side, *prices))
    return out


def main():
    rows = GRID + NEGATIVE
    with Pool(2) as pool:
        priced = [row for chunk in pool.map(price_rows, [rows[i::16] for i in range(16)]) for row in chunk]
    order = {row[:8]: i for i, row in enumerate(rows)}
    priced.sort(key=lambda row: order[row[:8]])
    with OUT.open("w", newline="") as f:
        f.write(f"# QuantLib {ql.__version__} QdFpAmericanEngine; see tests/data/make_american_reference.py\n")
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["group", "S", "K", "days", "r", "q", "vol", "side", "ql_high", "ql_reference"])
        for row in priced:
            writer.writerow([*row[:8], *(repr(x) for x in row[8:])])


if __name__ == "__main__":
    main()
