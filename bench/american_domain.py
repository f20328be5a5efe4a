"""Where each setting of velliq.american meets its stated price error, measured
against QuantLib's QdFpAmericanEngine (high-precision scheme) far outside the
tested grid of tests/data/american_reference.csv.

    pip install '.[bench]' && python bench/american_domain.py [--quick]

Grid: spot 100, strikes 80/100/120, expiries 1 day to 50 years, vol 1-400 %,
r and q -5..20 %, calls and puts (the two-boundary cases, NaN by design, left
out); --random N draws N options between those points instead. Prints the
QuantLib version, then per setting: options off by more than the stated error
(absolute, spot 100) and by more than 1e-4 relative, the worst of them, and the
same count inside velliq.american.in_verified_domain.
"""

import argparse
import itertools

import numpy as np
import QuantLib as ql

import velliq
from velliq import american

DAYS = (1, 7, 30, 91, 365, 1095, 3650, 7300, 18250)
VOLS = (0.01, 0.05, 0.10, 0.25, 0.50, 1.0, 2.0, 4.0)
RATES = (-0.05, 0.0, 0.05, 0.10, 0.20)
STRIKES = (80.0, 100.0, 120.0)
STATED = {"fast": 6e-5, "default": 9e-6, "high": 4e-8}
TODAY = ql.Date(4, 12, 2026)


def grid(quick):
    days = DAYS[::2] if quick else DAYS
    vols = VOLS[::2] if quick else VOLS
    rows = [
        row
        for row in itertools.product(STRIKES, days, RATES, RATES, vols, (True, False))
        if not (row[2] < 0 and ((row[5] and row[2] < row[3] < 0) or (not row[5] and row[3] < row[2])))
    ]
    K, days, r, q, vol, is_call = (np.array(c) for c in zip(*rows))
    years = days / 365.0
    D, F = velliq.forward_terms(100.0, r, q, years)
    return dict(K=K, days=days, r=r, q=q, vol=vol, is_call=is_call, D=D, F=F, sigma=vol * np.sqrt(years))


def random_grid(n, seed=27):
    """n options drawn between the grid's points: expiry and vol log-uniform,
    r, q and strike uniform; the two-boundary cases left out."""
    rng = np.random.default_rng(seed)
    days = np.rint(np.exp(rng.uniform(0.0, np.log(DAYS[-1]), n))).astype(int)
    vol = np.exp(rng.uniform(np.log(VOLS[0]), np.log(VOLS[-1]), n))
    r, q = rng.uniform(RATES[0], RATES[-1], (2, n))
    K = rng.uniform(60.0, 140.0, n)
    is_call = rng.random(n) < 0.5
    keep = ~((r < 0) & ((is_call & (r < q) & (q < 0)) | (~is_call & (q < r))))
    K, days, r, q, vol, is_call = (x[keep] for x in (K, days, r, q, vol, is_call))
    years = days / 365.0
    D, F = velliq.forward_terms(100.0, r, q, years)
    return dict(K=K, days=days, r=r, q=q, vol=vol, is_call=is_call, D=D, F=F, sigma=vol * np.sqrt(years))


def quantlib_prices(g):
    ql.Settings.instance().evaluationDate = TODAY
    dc = ql.Actual365Fixed()
    r, q, vol = (ql.SimpleQuote(0.0) for _ in range(3))

    def curve(quote):
        return ql.YieldTermStructureHandle(ql.FlatForward(TODAY, ql.QuoteHandle(quote), dc))

    surface = ql.BlackVolTermStructureHandle(ql.BlackConstantVol(TODAY, ql.NullCalendar(), ql.QuoteHandle(vol), dc))
    process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(100.0)), curve(q), curve(r), surface)
    engine = ql.QdFpAmericanEngine(process, ql.QdFpAmericanEngine.highPrecisionScheme())
    out = np.empty(len(g["K"]))
    for i in range(len(out)):
        r.setValue(float(g["r"][i]))
        q.setValue(float(g["q"][i]))
        vol.setValue(float(g["vol"][i]))
        kind = ql.Option.Call if g["is_call"][i] else ql.Option.Put
        option = ql.VanillaOption(
            ql.PlainVanillaPayoff(kind, float(g["K"][i])), ql.AmericanExercise(TODAY, TODAY + int(g["days"][i]))
        )
        option.setPricingEngine(engine)
        try:
            out[i] = option.NPV()
        except RuntimeError:  # QuantLib's own quadrature gives up on a few stiff cases
            out[i] = np.nan
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="every other expiry and vol")
    parser.add_argument("--random", type=int, metavar="N", help="N random options instead of the grid")
    parser.add_argument("--save", help="also save the grid and all prices to this .npz")
    args = parser.parse_args()
    g = random_grid(args.random) if args.random else grid(args.quick)
    reference = quantlib_prices(g)
    failed = np.isnan(reference)
    print(f"QuantLib {ql.__version__} QdFpAmericanEngine.highPrecisionScheme(), {len(reference)} options")
    print(f"QuantLib failed on {failed.sum()} of them, left out below")
    pricing = (100.0, g["K"], g["D"], g["F"], g["sigma"], g["is_call"])
    prices = {}
    for name, model in american.SETTINGS.items():
        prices[name] = ours = model.price(*pricing)
        err = np.abs(ours - reference)
        bad = ~((err <= STATED[name]) | (err <= 1e-4 * np.abs(reference)) | failed)
        rel = np.where(bad, np.where(np.isnan(err), np.inf, err / np.maximum(np.abs(reference), 1e-300)), -1.0)
        worst = int(np.argmax(rel))
        print(
            f"{name:8s} off {bad.sum():5d}  worst rel {rel[worst]:.2e} abs {err[worst]:.2e}"
            f" (T {g['days'][worst] / 365:.3g}y vol {g['vol'][worst]:g} r {g['r'][worst]:g} q {g['q'][worst]:g}"
            f" K {g['K'][worst]:g} {'call' if g['is_call'][worst] else 'put'})"
        )
        ok = american.in_verified_domain(*pricing[:5], name) & ~failed
        print(f"         inside in_verified_domain: {ok.sum()} options, off {(bad & ok).sum()}")
    if args.save:
        np.savez(args.save, reference=reference, **g, **prices)


if __name__ == "__main__":
    main()
