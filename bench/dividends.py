"""The cash-dividend kernel (src/kernels/dividends/) through its probe library
(tests/dividend_probe.cpp, built as the extension builds the kernels), one thread:

    python bench/dividends.py            # about 3 minutes on two idle cores
    python bench/dividends.py --quick    # smaller samples

1. Accuracy against tests/data/dividend_reference.csv (tools/devsupport/dividend_reference.py):
   max and median |price - reference| / K per setting, with the reference's own error.
2. Speed per setting with 1, 2 and 4 dividends against the continuous accurate price
   (_american_price at the same setting) on the same options: medians of interleaved runs.
3. QuantLib's FdBlackScholesVanillaEngine with the same cash dividends at 200 x 400 (time
   steps x space nodes; skipped without QuantLib): time per price and its error against the
   reference, against the kernel's at each setting.
4. Implied vol / price and all Greeks / price at each setting; the grid's stack per element.
"""

import argparse
import csv
import ctypes
import pathlib
import sys
import time

import numpy as np

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "tools")]

from devsupport import kernel_library  # noqa: E402
from dividend_probe import carry_forward, declared, table  # noqa: E402

SETTINGS = {"fast": 0, "default": 1, "high": 2}
d, i, long, P = ctypes.c_double, ctypes.c_int, ctypes.c_long, ctypes.POINTER(ctypes.c_double)
IP = ctypes.POINTER(ctypes.c_int)
BATCHES = {
    "dividend_prices": (None, [long] + [P] * 5 + [IP, P, P, long, i, P]),
    "dividend_implied_vols": (None, [long] + [P] * 5 + [IP, P, P, long, i, P]),
    "dividend_greeks_batch": (None, [long] + [P] * 5 + [IP, P, P, long, i, P]),
    "american_prices": (None, [long] + [P] * 5 + [IP, i, P]),
    "dividend_grid_bytes": (long, []),
}


def library():
    path, _ = kernel_library.build("dividend_probe", ROOT / "bench" / "build")
    lib = declared(str(path))
    for name, (restype, argtypes) in BATCHES.items():
        fn = getattr(lib, "probe_" + name)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


def ptr(a):
    return a.ctypes.data_as(IP if a.dtype == np.int32 else P)


def book(n, dividends, seed=3):
    """n options, spot 100, K 70-130, 0.1-2 years, r 0-8 %, borrow 0-3 %, vol 10-60 %, and
    `dividends` cash dividends of 1.5 evenly spread over (0, 1] of each expiry."""
    rng = np.random.default_rng(seed)
    S = np.full(n, 100.0)
    K = rng.uniform(70, 130, n)
    T = rng.uniform(0.1, 2, n)
    r, q, vol = rng.uniform(0, 0.08, n), rng.uniform(0, 0.03, n), rng.uniform(0.1, 0.6, n)
    side = np.where(rng.random(n) < 0.5, 1, -1).astype(np.int32)
    fractions = (np.arange(dividends) + 0.5) / dividends if dividends else np.array([np.inf])
    amounts = np.full(len(fractions), 1.5 if dividends else 0.0)
    b = (r - q) * T
    F = np.array([carry_forward(100.0, bi, fractions, amounts) for bi in b])
    return [S, K, np.exp(-r * T), F, vol * np.sqrt(T), side], fractions, amounts, T


def interleaved(fns, reps):
    times = [[] for _ in fns]
    for _ in range(reps):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            times[k].append(time.perf_counter() - start)
    return [float(np.median(t)) for t in times]


def accuracy(lib):
    print("1. Accuracy against tests/data/dividend_reference.csv (error / K)")
    print(f"   {'setting':8} {'max':>9} {'median':>9}   reference error / K: max, median")
    ref_err = np.array([e / inputs[1] for inputs, _, e in table()])
    for name, setting in SETTINGS.items():
        errs = []
        for inputs, reference, _ in table():
            S, K, D, F, sigma, side, fractions, amounts = inputs
            t = np.array(fractions or [np.inf], dtype=float)
            a = np.array(amounts or [0.0], dtype=float)
            got = lib.probe_dividend_price(S, K, D, F, sigma, side, ptr(t), ptr(a), len(t), 1, setting)
            errs.append(abs(got - reference) / K)
        errs = np.array(errs)
        print(f"   {name:8} {errs.max():9.1e} {np.median(errs):9.1e}   {ref_err.max():.1e}, {np.median(ref_err):.1e}")


def speed(lib, n, reps):
    print(f"\n2. Speed, one thread, {n} options (us per price; ratio to the continuous accurate price)")
    for dividends in (1, 2, 4):
        args, t, a, _ = book(n, dividends)
        out = np.empty(n)
        for name, setting in SETTINGS.items():

            def dividend(setting=setting):
                lib.probe_dividend_prices(n, *map(ptr, args), ptr(t), ptr(a), len(t), setting, ptr(out))

            def continuous(setting=setting):
                lib.probe_american_prices(n, *map(ptr, args), setting, ptr(out))

            t_div, t_cont = interleaved([dividend, continuous], reps)
            print(
                f"   {dividends} dividend(s) {name:8} {t_div / n * 1e6:8.1f} us   continuous "
                f"{t_cont / n * 1e6:7.1f} us   ratio {t_div / t_cont:5.1f}"
            )


def ratios(lib, n, reps):
    print(f"\n4. Implied vol / price and all Greeks / price, 4 dividends, {n} options")
    args, t, a, years = book(n, 4)
    prices, vols, gk = np.empty(n), np.empty(n), np.empty(5 * n)
    for name, setting in SETTINGS.items():
        lib.probe_dividend_prices(n, *map(ptr, args), ptr(t), ptr(a), len(t), setting, ptr(prices))
        quote_args = [prices, *args[:4], args[5]]

        def price(setting=setting):
            lib.probe_dividend_prices(n, *map(ptr, args), ptr(t), ptr(a), len(t), setting, ptr(prices))

        def implied(setting=setting):
            lib.probe_dividend_implied_vols(n, *map(ptr, quote_args), ptr(t), ptr(a), len(t), setting, ptr(vols))

        def greeks(setting=setting):
            lib.probe_dividend_greeks_batch(n, *map(ptr, args), ptr(t), ptr(a), len(t), setting, ptr(gk))

        t_price, t_iv, t_greeks = interleaved([price, implied, greeks], reps)
        # Annual vols where the vega is at least 0.01 per vol point (the goal).
        vega_per_point = gk[2::5] * np.sqrt(years) / 100
        ok = np.isfinite(vols) & (vega_per_point >= 0.01)
        err = np.abs(vols - args[4])[ok] / np.sqrt(years[ok]) * 1e4  # bp of annual vol
        print(
            f"   {name:8} iv/price {t_iv / t_price:5.2f}   greeks/price {t_greeks / t_price:5.2f}   "
            f"iv where vega >= 0.01/point ({ok.sum()} of {n}): max error {err.max():.1e} bp"
        )
    print(f"   stack of the grid solver per element: {lib.probe_dividend_grid_bytes()} bytes")


def quantlib(lib):
    try:
        import QuantLib as ql
    except ImportError:
        print("\n3. QuantLib: not installed, skipped")
        return
    print("\n3. QuantLib FdBlackScholesVanillaEngine 200 x 400 on the reference table's rows, timed")
    print("   alternately with the kernel on the same row (medians over the rows)")
    today = ql.Date(8, 12, 2026)
    ql.Settings.instance().evaluationDate = today
    dc = ql.Actual365Fixed()
    errs, times, kernel_times = [], [], {name: [] for name in SETTINGS}
    with open(ROOT / "tests" / "data" / "dividend_reference.csv") as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    for row, (inputs, _, _) in zip(rows, table(), strict=True):
        S, K, r, q, vol = (float(row[c]) for c in ("S", "K", "r", "q", "vol"))
        days = int(row["days"])
        div_days = [int(x) for x in row["div_days"].split(";") if x]
        amounts = [float(x) for x in row["amounts"].split(";") if x]
        payoff = ql.PlainVanillaPayoff(ql.Option.Call if row["side"] == "call" else ql.Option.Put, K)
        option = ql.VanillaOption(payoff, ql.AmericanExercise(today, today + days))
        process = ql.BlackScholesMertonProcess(
            ql.QuoteHandle(ql.SimpleQuote(S)),
            ql.YieldTermStructureHandle(ql.FlatForward(today, q, dc)),
            ql.YieldTermStructureHandle(ql.FlatForward(today, r, dc)),
            ql.BlackVolTermStructureHandle(ql.BlackConstantVol(today, ql.NullCalendar(), vol, dc)),
        )
        schedule = ql.DividendVector([today + x for x in div_days], amounts)
        option.setPricingEngine(ql.FdBlackScholesVanillaEngine(process, schedule, 200, 400))
        start = time.perf_counter()
        value = option.NPV()
        times.append(time.perf_counter() - start)
        errs.append(abs(value - float(row["price"])) / K)
        t = np.array(inputs[6] or [np.inf], dtype=float)
        a = np.array(inputs[7] or [0.0], dtype=float)
        for name, setting in SETTINGS.items():
            start = time.perf_counter()
            lib.probe_dividend_price(*inputs[:6], ptr(t), ptr(a), len(t), 1, setting)
            kernel_times[name].append(time.perf_counter() - start)
    t_ql = float(np.median(times))
    print(f"   QuantLib {t_ql * 1e6:8.0f} us per price, error / K max {max(errs):.1e} median {np.median(errs):.1e}")
    for name in SETTINGS:
        t_kernel = float(np.median(kernel_times[name]))
        print(f"   {name:8} {t_kernel * 1e6:8.0f} us per price: QuantLib / kernel {t_ql / t_kernel:6.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, reps = (200, 3) if args.quick else (1000, 5)
    lib = library()
    accuracy(lib)
    speed(lib, n, reps)
    quantlib(lib)
    ratios(lib, n // 4, reps)


if __name__ == "__main__":
    main()
