"""The accurate American model against Barone-Adesi-Whaley and QuantLib, side by
side in one run.

    pip install '.[bench]' && python bench/american.py [--quick] [--plot PNG]

Reference: QuantLib's QdFpAmericanEngine with its high-precision scheme on a
flat Black-Scholes-Merton process (continuous rates, Actual/365 Fixed), over
spot 100, strikes 60-140 every 10 (every 20 with --quick), expiries 7 days to
3 years, r 0.5/3/6 %, q 0/2/5 %, vol 10/25/50 %, calls and puts.

Prints: price errors of BAW and of each velliq.american setting; implied-vol
errors, in basis points of annual volatility, of BAW and the default setting
when inverting the reference prices (quotes with vega >= 0.01 per vol point);
both by expiry; then speed: the default price against QdFp's accurate scheme
(Python loop over NPV), the default implied vol against a Brent search over
QdFp's fast scheme, and two workers against one. --plot draws one long-dated
smile inverted both ways.
"""

import argparse
import itertools

import numpy as np
import QuantLib as ql
import smile
from scipy.optimize import brentq
from timing import median_time

import velliq
from velliq import american, baw

DAYS = (7, 30, 91, 182, 365, 730, 1095)
RATES, YIELDS, VOLS = (0.005, 0.03, 0.06), (0.0, 0.02, 0.05), (0.10, 0.25, 0.50)
TODAY = ql.Date(4, 12, 2026)


class QdFp:
    """One QuantLib American option whose inputs are quotes, priced by QdFp."""

    def __init__(self, scheme):
        ql.Settings.instance().evaluationDate = TODAY
        dc = ql.Actual365Fixed()
        self.spot, self.r, self.q, self.vol = (ql.SimpleQuote(x) for x in (100.0, 0.0, 0.0, 0.2))
        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(self.spot),
            ql.YieldTermStructureHandle(ql.FlatForward(TODAY, ql.QuoteHandle(self.q), dc)),
            ql.YieldTermStructureHandle(ql.FlatForward(TODAY, ql.QuoteHandle(self.r), dc)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), ql.QuoteHandle(self.vol), dc)),
        )
        self.engine = ql.QdFpAmericanEngine(process, scheme)
        self.options = {}

    def option(self, strike, days, is_call):
        key = (strike, days, is_call)
        if key not in self.options:
            payoff = ql.PlainVanillaPayoff(ql.Option.Call if is_call else ql.Option.Put, strike)
            option = ql.VanillaOption(payoff, ql.AmericanExercise(TODAY, TODAY + days))
            option.setPricingEngine(self.engine)
            self.options[key] = option
        return self.options[key]

    def price(self, strike, days, r, q, vol, is_call):
        self.r.setValue(r)
        self.q.setValue(q)
        self.vol.setValue(vol)
        return self.option(strike, days, is_call).NPV()


def grid(quick):
    strikes = np.arange(60.0, 141.0, 20.0 if quick else 10.0)
    rows = list(itertools.product(strikes, DAYS, RATES, YIELDS, VOLS, (True, False)))
    K, days, r, q, vol, is_call = (np.array(c) for c in zip(*rows))
    years = days / 365.0
    D, F = velliq.forward_terms(100.0, r, q, years)
    return dict(K=K, days=days, r=r, q=q, vol=vol, is_call=is_call, years=years, D=D, F=F, sigma=vol * np.sqrt(years))


def timed(fn, reps=5):
    return median_time(fn, reps)[0]


def accuracy(g):
    high = QdFp(ql.QdFpAmericanEngine.highPrecisionScheme())
    reference = np.array([high.price(*row) for row in zip(g["K"], g["days"], g["r"], g["q"], g["vol"], g["is_call"])])
    args = (100.0, g["K"], g["D"], g["F"], g["sigma"], g["is_call"])
    prices = {"BAW": baw.price(*args), **{f"american {n}": s.price(*args) for n, s in american.SETTINGS.items()}}
    vega = american.high.greeks(*args)[2] * np.sqrt(g["years"]) / 100  # per vol point
    exercise = np.where(g["is_call"], np.maximum(100.0 - g["K"], 0), np.maximum(g["K"] - 100.0, 0))
    usable = (vega >= 0.01) & (reference - exercise > 1e-6)
    root_t = np.sqrt(g["years"])
    vol_errors = {}
    for name, ufunc in (("BAW", baw.implied_vol), ("american default", american.implied_vol)):
        implied = ufunc(reference, 100.0, g["K"], g["D"], g["F"], g["is_call"]) / root_t
        vol_errors[name] = np.where(usable, (implied - g["vol"]) * 1e4, np.nan)  # basis points
    print(f"Price error against QdFp high precision, {len(reference):,} options, largest |error| by expiry:")
    print(f"{'days':>6} " + " ".join(f"{n:>18}" for n in prices))
    for d in DAYS:
        sel = g["days"] == d
        print(f"{d:>6} " + " ".join(f"{np.max(np.abs(p[sel] - reference[sel])):>18.2e}" for p in prices.values()))
    print("all    " + " ".join(f"{np.max(np.abs(p - reference)):>18.2e}" for p in prices.values()))
    print(f"\nImplied vol error inverting the reference prices, bp, quotes with vega >= 0.01/pt ({usable.sum():,}):")
    print(f"{'days':>6} {'BAW mean':>10} {'BAW max':>10} {'amer. mean':>11} {'amer. max':>10}")
    for d in DAYS:
        sel = (g["days"] == d) & usable
        b, a = np.abs(vol_errors["BAW"][sel]), np.abs(vol_errors["american default"][sel])
        print(f"{d:>6} {np.nanmean(b):>10.2f} {np.nanmax(b):>10.2f} {np.nanmean(a):>11.4f} {np.nanmax(a):>10.4f}")
    return reference, usable


def speed(g, reference, usable, quick):
    n_ql = 100 if quick else 300
    pick = np.random.default_rng(3).choice(np.flatnonzero(usable), n_ql, replace=False)
    rows = [tuple(g[c][i] for c in ("K", "days", "r", "q", "vol", "is_call")) for i in pick]
    accurate = QdFp(ql.QdFpAmericanEngine.accurateScheme())
    fast = QdFp(ql.QdFpAmericanEngine.fastScheme())
    t_ql_price = timed(lambda: [accurate.price(*row) for row in rows], 3) / n_ql

    def ql_brent():
        out = []
        for (K, days, r, q, _vol, is_call), target in zip(rows, reference[pick]):
            out.append(brentq(lambda v: fast.price(K, days, r, q, v, is_call) - target, 1e-4, 4.0, xtol=1e-10))
        return out

    t_ql_iv = timed(ql_brent, 3) / n_ql
    brent_vols = np.array(ql_brent())
    args = (100.0, g["K"], g["D"], g["F"], g["sigma"], g["is_call"])
    with velliq.workers(1):
        t_price = timed(lambda: american.price(*args)) / len(reference)
        t_high = timed(lambda: american.high.price(*args)) / len(reference)
        t_iv = timed(lambda: american.implied_vol(reference, *args[:4], g["is_call"])) / len(reference)
    ours = american.implied_vol(reference[pick], 100.0, g["K"][pick], g["D"][pick], g["F"][pick], g["is_call"][pick])
    ours = ours / np.sqrt(g["years"][pick])
    brent_err = np.nanmax(np.abs(brent_vols - g["vol"][pick])) * 1e4
    ours_err = np.nanmax(np.abs(ours - g["vol"][pick])) * 1e4
    big = 20_000 if quick else 100_000
    tile = np.arange(big) % len(reference)
    big_args = (100.0, g["K"][tile], g["D"][tile], g["F"][tile], g["sigma"][tile], g["is_call"][tile])

    def on(workers):
        with velliq.workers(workers):
            american.price(*big_args)

    t_one, t_two = timed(lambda: on(1), 3), timed(lambda: on(2), 3)
    print("\nSpeed, medians, one thread unless said:")
    print(f"  velliq.american.price (default)            {t_price * 1e6:8.2f} us/price")
    print(f"  velliq.american.high.price                 {t_high * 1e6:8.2f} us/price")
    print(
        f"  QuantLib QdFp accurate scheme (NPV loop)   {t_ql_price * 1e6:8.2f} us/price"
        f"   ratio {t_ql_price / t_price:6.1f}x"
    )
    print(f"  velliq.american.implied_vol (default)      {t_iv * 1e6:8.2f} us/quote   max error {ours_err:.4f} bp")
    print(
        f"  Brent over QdFp fast scheme (1e-10)        {t_ql_iv * 1e6:8.2f} us/quote   max error {brent_err:.4f} bp"
        f"   ratio {t_ql_iv / t_iv:6.1f}x"
    )
    print(f"  {big:,} prices, workers=2 vs 1             {t_one / t_two:8.2f}x")


def plot(path):
    import matplotlib

    matplotlib.use("Agg")

    high = QdFp(ql.QdFpAmericanEngine.highPrecisionScheme())

    def qdfp_prices(K, vol, D, F, is_call):
        return np.array(
            [high.price(k, smile.DAYS, smile.RATE, smile.DIVIDEND_YIELD, v, c) for k, v, c in zip(K, vol, is_call)]
        )

    fig = smile.figure(qdfp_prices, "2-year smile, r = 6 %, q = 0: out-of-the-money QuantLib QdFp prices inverted")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--plot", metavar="PNG")
    args = parser.parse_args(argv)
    g = grid(args.quick)
    reference, usable = accuracy(g)
    speed(g, reference, usable, args.quick)
    if args.plot:
        plot(args.plot)


if __name__ == "__main__":
    main()
