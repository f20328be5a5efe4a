"""The cash-dividend kernel's probe library (tests/dividend_probe.cpp, built by CMake as the
extension builds the kernels: cmake/kernel_libraries) loaded with ctypes, with SciPy's real
brentq bound, and the helpers its tests and bench/dividends.py share: schedules as arrays,
forwards of the spot-drop model, the reference table."""

import csv
import ctypes
import functools
import math
import pathlib

import numpy as np
from support import probe_library, scipy_brentq_pointer

NAN, INF, CALL, PUT = math.nan, math.inf, 1, -1
FAST, DEFAULT, HIGH = 0, 1, 2
MISSING_INPUT, BELOW_INTRINSIC, NO_TIME_VALUE, NO_SOLUTION, OK = 0, 3, 4, 5, 6
TABLE = pathlib.Path(__file__).parent / "data" / "dividend_reference.csv"
# The price's error per unit strike against the reference, per setting: the median within the
# goal (default and high as the issue sets them, fast as stated in dividends/solver.hpp), the
# largest within the measured bound (options with 48-60 % of the spot paid out over five years
# at 25-100 % vol, where the stretched grid is coarse at spots below the amounts; measured by
# bench/dividends.py: 5.0e-4, 1.6e-4, 1.6e-5).
GOAL = {FAST: 2e-4, DEFAULT: 2e-5, HIGH: 2e-7}
BOUND = {FAST: 1e-3, DEFAULT: 2.5e-4, HIGH: 3e-5}
RESOLUTION = {FAST: 1e-7, DEFAULT: 1e-8, HIGH: 1e-10}
d, i, long, P = ctypes.c_double, ctypes.c_int, ctypes.c_long, ctypes.POINTER(ctypes.c_double)
IP = ctypes.POINTER(ctypes.c_int)
SIGNATURES = {
    "set_brentq": (None, [ctypes.c_void_p]),
    "dividend_price": (d, [d] * 5 + [i, P, P, long, long, i]),
    "dividend_implied_vol": (None, [d] * 5 + [i, P, P, long, i, P, IP]),
    "dividend_greeks": (None, [d] * 5 + [i, P, P, long, i, P]),
    "dividend_amount_sensitivity": (d, [d] * 5 + [i, P, P, long, long, i]),
    "dividend_carry": (d, [d, d, P, P, long]),
    "american_price": (d, [d] * 5 + [i, i]),
    "american_implied_vol": (None, [d] * 5 + [i, i, P, IP]),
    "american_greeks": (None, [d] * 5 + [i, i, P]),
    "dividend_forward_pair": (None, [d] * 3 + [P, P, P, long, P]),
    "american_forward_pair": (None, [d] * 3 + [P, P]),
}


@functools.cache
def load():
    lib = probe_library("dividend_probe", SIGNATURES)
    lib.probe_set_brentq(scipy_brentq_pointer())
    return lib


def declared(path):
    """The probe library at `path`, built already (for a child process)."""
    lib = ctypes.CDLL(path)
    for name, (restype, argtypes) in SIGNATURES.items():
        fn = getattr(lib, "probe_" + name)
        fn.restype, fn.argtypes = restype, argtypes
    lib.probe_set_brentq(scipy_brentq_pointer())
    return lib


def schedule(fractions, amounts):
    t = np.ascontiguousarray(fractions, dtype=float)
    a = np.ascontiguousarray(amounts, dtype=float)
    return t, a, t.ctypes.data_as(P), a.ctypes.data_as(P), len(t)


def price(k, S, K, D, F, sigma, side, fractions, amounts, setting=DEFAULT):
    t, a, tp, ap, n = schedule(fractions, amounts)
    return k.probe_dividend_price(S, K, D, F, sigma, side, tp, ap, n, 1, setting)


def implied_vol(k, quote, S, K, D, F, side, fractions, amounts, setting=DEFAULT):
    t, a, tp, ap, n = schedule(fractions, amounts)
    sigma, reason = d(), i()
    k.probe_dividend_implied_vol(quote, S, K, D, F, side, tp, ap, n, setting, ctypes.byref(sigma), ctypes.byref(reason))
    return sigma.value, reason.value


def greeks(k, S, K, D, F, sigma, side, fractions, amounts, setting=DEFAULT):
    t, a, tp, ap, n = schedule(fractions, amounts)
    out = np.empty(5)
    k.probe_dividend_greeks(S, K, D, F, sigma, side, tp, ap, n, setting, out.ctypes.data_as(P))
    return out


def forward(S, r, q, T, div_times, amounts):
    """F of the spot-drop model (time in years)."""
    kept = [(t, a) for t, a in zip(div_times, amounts, strict=True) if 0 < t <= T]
    return S * math.exp((r - q) * T) - sum(a * math.exp((r - q) * (T - t)) for t, a in kept)


def carry_forward(S, b, fractions, amounts):
    """F of a residual carry b in kernel time (expiry 1)."""
    return S * math.exp(b) - sum(
        a * math.exp(b * (1 - t)) for t, a in zip(fractions, amounts, strict=True) if 0 < t <= 1
    )


@functools.cache
def table():
    with TABLE.open() as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    out = []
    for row in rows:
        days = int(row["days"])
        T = days / 365
        div_days = [int(x) for x in row["div_days"].split(";") if x]
        amounts = [float(x) for x in row["amounts"].split(";") if x]
        S, K, r, q, vol = (float(row[c]) for c in ("S", "K", "r", "q", "vol"))
        inputs = (
            S,
            K,
            math.exp(-r * T),
            forward(S, r, q, T, [x / 365 for x in div_days], amounts),
            vol * math.sqrt(T),
            CALL if row["side"] == "call" else PUT,
            [x / days for x in div_days],
            amounts,
        )
        out.append((inputs, float(row["price"]), float(row["error"])))
    return out
