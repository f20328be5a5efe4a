"""The accurate American price kernel (src/kernels/alo/) through tests/american_probe.cpp,
against QuantLib's QdFpAmericanEngine prices committed in tests/data/american_reference.csv
(written by tests/data/make_american_reference.py; QuantLib is not needed here)."""

import csv
import ctypes
import functools
import math
import pathlib

import numpy as np
import pytest
from scipy.special import ndtr
from support import probe_library

NAN, CALL, PUT = math.nan, 1, -1
FAST, DEFAULT, HIGH = 0, 1, 2
TABLE = pathlib.Path(__file__).parent / "data" / "american_reference.csv"
d, i, P = ctypes.c_double, ctypes.c_int, ctypes.POINTER(ctypes.c_double)
SIGNATURES = {
    "american_price": (d, [d] * 5 + [i, i]),
    "american_price_scheme": (d, [d] * 5 + [i] * 6 + [d]),
    "american_exercise_spot": (d, [d] * 4 + [i, i]),
    "american_price_warm": (d, [d] * 6 + [i, i]),
    "american_prices": (None, [ctypes.c_long] + [P] * 5 + [ctypes.POINTER(i), i, P]),
    "american_boundary_end": (None, [d] * 3 + [i, P]),
}


@functools.cache
def load():
    """The probe over the kernels in one library, built by CMake as the extension builds them."""
    return probe_library("american_probe", SIGNATURES)


@pytest.fixture(scope="module")
def k():
    return load()


def forward_terms(S, K, T, r, q, vol):
    return S, K, math.exp(-r * T), S * math.exp((r - q) * T), vol * math.sqrt(T)


def black(S, K, D, F, sigma, side):
    d1 = math.log(F / K) / sigma + sigma / 2
    sign = 1 if side == CALL else -1
    return D * sign * (F * ndtr(sign * d1) - K * ndtr(sign * (d1 - sigma)))


@functools.cache
def table():
    with TABLE.open() as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    col = {name: np.array([row[name] for row in rows]) for name in rows[0]}
    T = col["days"].astype(float) / 365
    r, q = col["r"].astype(float), col["q"].astype(float)
    S, K = col["S"].astype(float), col["K"].astype(float)
    inputs = [S, K, np.exp(-r * T), S * np.exp((r - q) * T), col["vol"].astype(float) * np.sqrt(T)]
    side = np.where(col["side"] == "call", CALL, PUT).astype(np.int32)
    return col["group"], inputs, side, col["ql_high"].astype(float), col["ql_reference"].astype(float)


def prices(k, setting, inputs, side):
    arrays = [np.ascontiguousarray(x, dtype=float) for x in inputs]
    out = np.empty(len(side))
    k.probe_american_prices(
        len(side),
        *(a.ctypes.data_as(P) for a in arrays),
        side.ctypes.data_as(ctypes.POINTER(ctypes.c_int)),
        setting,
        out.ctypes.data_as(P),
    )
    return out


# Largest absolute error (spot 100) allowed against ql_reference, and against QuantLib's own
# highPrecisionScheme, which is itself up to 6e-6 off (see make_american_reference.py).
@pytest.mark.parametrize("group", ["grid", "negative_rates"])
@pytest.mark.parametrize("setting, tol, tol_high", [(FAST, 1e-4, 1e-4), (DEFAULT, 1e-5, 1e-5), (HIGH, 1e-7, 1e-5)])
def test_prices_match_quantlib(k, group, setting, tol, tol_high):
    groups, inputs, side, ql_high, ql_reference = table()
    rows = groups == group
    got = prices(k, setting, [x[rows] for x in inputs], side[rows])
    assert np.abs(got - ql_reference[rows]).max() <= tol
    assert np.abs(got - ql_high[rows]).max() <= tol_high


def test_error_falls_as_intervals_grow(k):
    # Long expiries, where the boundary has the most shape; everything but the interval count converged.
    groups, inputs, side, _, ql_reference = table()
    rows = np.flatnonzero((groups == "grid") & (inputs[4] > 0.3))[::7]
    errors = [
        max(
            abs(
                k.probe_american_price_scheme(*(x[j] for x in inputs), side[j], n, 40, 32, 32, 32, 1e-12)
                - ql_reference[j]
            )
            for j in rows
        )
        for n in (4, 8, 16, 32)
    ]
    assert errors == sorted(errors, reverse=True) and errors[-1] < 1e-7, errors


CASES = [(100, 120, 1.0, 0.06, 0.0, 0.25), (100, 110, 2.0, 0.03, 0.05, 0.4), (100, 80, 0.5, 0.05, 0.1, 0.2)]


@pytest.mark.parametrize("setting", [FAST, DEFAULT, HIGH])
@pytest.mark.parametrize("case", CASES)
def test_put_call_symmetry(k, setting, case):
    S, K, T, r, q, vol = case  # C(S, K, r, q) = P(K, S, q, r)
    call = k.probe_american_price(*forward_terms(S, K, T, r, q, vol), CALL, setting)
    put = k.probe_american_price(*forward_terms(K, S, T, q, r, vol), PUT, setting)
    assert call == pytest.approx(put, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("setting", [FAST, HIGH])
@pytest.mark.parametrize(
    "side, r, q",
    [
        (PUT, 0.0, 0.02),
        (PUT, -0.01, 0.0),
        (PUT, -0.02, -0.01),
        (PUT, -0.01, -0.01),
        (CALL, 0.02, 0.0),
        (CALL, 0.0, -0.01),
        (CALL, -0.01, -0.02),
        (CALL, 0.03, 1e-17),
    ],
)
def test_european_where_early_exercise_never_pays(k, setting, side, r, q):
    for K in (80.0, 100.0, 125.0):
        args = forward_terms(100.0, K, 1.5, r, q, 0.3)
        assert k.probe_american_price(*args, side, setting) == pytest.approx(black(*args, side), rel=1e-13)


@pytest.mark.parametrize("side, r, q", [(PUT, -0.01, -0.02), (PUT, -1e-3, -0.5), (CALL, -0.02, -0.01)])
def test_two_exercise_boundaries_are_nan(k, side, r, q):
    assert math.isnan(k.probe_american_price(*forward_terms(100.0, 100.0, 1.0, r, q, 0.2), side, DEFAULT))
    assert math.isnan(k.probe_american_exercise_spot(100.0, math.exp(-r), math.exp(r - q), 0.2, side, DEFAULT))


@pytest.mark.parametrize("setting", [FAST, DEFAULT, HIGH])
@pytest.mark.parametrize(
    "side, T, r, q, vol",
    [
        (PUT, 1.0, 0.06, 0.0, 0.25),
        (PUT, 3.0, 0.03, 0.05, 0.1),
        (CALL, 2.0, 0.02, 0.06, 0.3),
        (CALL, 0.5, -0.01, 0.0, 0.2),
    ],
)
def test_exercise_region_prices_exactly_the_exercise_value(k, setting, side, T, r, q, vol):
    K, D, carry, sigma = 100.0, math.exp(-r * T), math.exp((r - q) * T), vol * math.sqrt(T)
    spot = k.probe_american_exercise_spot(K, D, carry, sigma, side, setting)
    assert (spot < K) if side == PUT else (spot > K)
    inside, outside = (spot * (1 - 1e-3), spot) if side == PUT else (spot * (1 + 1e-3), spot)
    for S in (inside, outside):
        assert k.probe_american_price(S, K, D, S * carry, sigma, side, setting) == abs(K - S)
    S = spot * (1 + 1e-3) if side == PUT else spot * (1 - 1e-3)  # just outside: time value
    assert k.probe_american_price(S, K, D, S * carry, sigma, side, setting) > abs(K - S)


# Largest difference per unit strike between a boundary iterated from a nearby sigma's and
# one from QD+: each stops once no node moves by the setting's tolerance.
@pytest.mark.parametrize("setting, tol", [(FAST, 1e-5), (DEFAULT, 1e-6), (HIGH, 1e-8)])
@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("move", [0.5, 0.98, 1.001, 1.5])
def test_warm_started_and_cold_boundaries_agree(k, setting, tol, case, move):
    S, K, T, r, q, vol = case
    args = forward_terms(S, K, T, r, q, vol)
    for side in (CALL, PUT):
        cold = k.probe_american_price(*args, side, setting)
        warm = k.probe_american_price_warm(*args[:4], args[4] * move, args[4], side, setting)
        assert warm == pytest.approx(cold, abs=tol * K)


def boundary_end(k, r, q, v):
    """ln(B(1)/X) of the put at the high setting, then its derivatives in v, r and q."""
    out = (ctypes.c_double * 4)()
    k.probe_american_boundary_end(r, q, v, HIGH, out)
    return list(out)


# The put's rates and volatility over T = 1: FP-A (q < r, q > r, q = 0) and FP-B (r^2 > 2 v^2, q < 0).
@pytest.mark.parametrize(
    "r, q, v", [(0.05, 0.02, 0.3), (0.02, 0.04, 0.25), (0.06, 0.0, 0.2), (0.10, 0.0, 0.05), (0.03, -0.01, 0.3)]
)
def test_boundary_derivatives_agree_with_differences_of_solved_boundaries(k, r, q, v):
    # Reference: fourth-order central differences of boundaries solved afresh, relative step 1e-3.
    slopes = boundary_end(k, r, q, v)[1:]
    point = [v, r, q]
    for p, slope in enumerate(slopes):
        if point[p] == 0.0:
            continue  # the iteration's form changes with the sign of q: the boundary has a kink there
        h = 1e-3 * point[p]

        def end(t, p=p):
            shifted = list(point)
            shifted[p] += t
            return boundary_end(k, shifted[1], shifted[2], shifted[0])[0]

        reference = (8 * (end(h) - end(-h)) - (end(2 * h) - end(-2 * h))) / (12 * h)
        assert slope == pytest.approx(reference, rel=1e-6, abs=1e-9), p


@pytest.mark.parametrize("side, S, r, q", [(PUT, 90.0, 0.05, 0.02), (PUT, 90.0, 0.05, 0.08), (CALL, 110.0, 0.02, 0.05)])
def test_zero_volatility_is_the_best_deterministic_exercise(k, side, S, r, q):
    t = np.linspace(0, 1, 100_001)
    sign = 1 if side == CALL else -1
    best = max(0.0, (sign * (S * np.exp(-q * t) - 100 * np.exp(-r * t))).max())
    assert k.probe_american_price(*forward_terms(S, 100.0, 1.0, r, q, 0.0), side, DEFAULT) == pytest.approx(best, 1e-9)


@pytest.mark.parametrize(
    "args",
    [
        (NAN, 100, 0.98, 101, 0.2),
        (100, 100, 0.98, 101, -0.1),
        (0.0, 100, 0.98, 101, 0.2),
        (100, 100, math.inf, 101, 0.2),
        (100, 100, 0.98, NAN, 0.2),
        (100, 100, 0.98, 101, math.inf),
    ],
)
def test_invalid_inputs_are_nan(k, args):
    assert math.isnan(k.probe_american_price(*args, PUT, DEFAULT))


def test_unknown_settings_and_scheme_sizes_are_nan(k):
    args = (100.0, 100.0, 0.98, 101.0, 0.2, PUT)
    assert all(math.isnan(k.probe_american_price(*args, s)) for s in (-1, 3))
    for scheme in [
        (0, 4, 8, 8, 8, 0.0),
        (33, 4, 8, 8, 8, 0.0),
        (8, -1, 8, 8, 8, 0.0),
        (8, 4, 7, 8, 8, 0.0),
        (8, 4, 8, 8, 64, 0.0),
    ]:
        assert math.isnan(k.probe_american_price_scheme(*args, *scheme))


def test_prices_stay_between_their_bounds(k):
    # Extreme rates, yields, volatilities and moneyness: the exercise value <= price <= the
    # most the option can pay, discounted from its best date.
    rng = np.random.default_rng(7)
    for _ in range(3000):
        K, T = np.exp(rng.uniform(-3, 3)) * 100, rng.uniform(0.001, 10)
        r, q, vol, side = (
            rng.uniform(-0.05, 0.3),
            rng.uniform(-0.1, 0.3),
            np.exp(rng.uniform(-9, 1)),
            rng.choice([CALL, PUT]),
        )
        price = k.probe_american_price(*forward_terms(100.0, K, T, r, q, vol), side, rng.integers(3))
        if (side == PUT and q < r < 0) or (side == CALL and r < q < 0):
            assert math.isnan(price)
            continue
        upper = 100 * max(1, math.exp(-q * T)) if side == CALL else K * max(1, math.exp(-r * T))
        assert max(0.0, (100 - K) if side == CALL else (K - 100)) <= price <= upper * (1 + 1e-12)
