"""Pricing kernels tested through tests/kernel_probe.cpp, whose root searches run SciPy's
real brentq. Values are compared with mpmath's evaluation of the same formulas committed in
tests/data/normal_reference.csv and tests/data/baw_reference.csv (written by
tests/data/make_baw_reference.py; mpmath is not needed here), each within the error its
computation in doubles can have; the other tests check special values, identities and
round trips."""

import csv
import ctypes
import functools
import math
import pathlib
import threading

import kernel_probe
import numpy as np
import pytest

NAN, INF, EPS = math.nan, math.inf, 2.0**-52
GOLDEN = 0.3819660112501051  # (3 - sqrt(5)) / 2, the golden-section fraction
CALL, PUT = 1, -1
ATM = (100.0, 100.0, 0.98, 99.0)  # S, K, D, F of the running American example
DP = ctypes.POINTER(ctypes.c_double)
DATA = pathlib.Path(__file__).parent / "data"


@pytest.fixture(scope="session")
def k():
    return kernel_probe.load()


@functools.cache
def reference(name):
    """Rows of a table of tests/data as dicts of floats (the side as +1 / -1; NaN where empty)."""
    with (DATA / name).open() as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    side = {"call": CALL, "put": PUT}
    return [{key: side[v] if key == "side" else float(v or "nan") for key, v in row.items()} for row in rows]


def returns_within(seconds, fn, *args):
    """fn(*args), run on a thread so that a kernel which never returns fails the test."""
    result = []
    worker = threading.Thread(target=lambda: result.append(fn(*args)), daemon=True)
    worker.start()
    worker.join(timeout=seconds)
    assert not worker.is_alive(), f"{fn.__name__}{args} did not return within {seconds} s"
    return result[0]


# --- Values against the mpmath reference tables --------------------------------


def option(row):
    return row["S"], row["K"], row["D"], row["F"]


def critical(k, row):
    return k.probe_solve_critical(row["side"], row["K"], row["D"], row["F"] / row["S"], row["sigma"], row["exponent"])


def price_less_critical_error(k, row):
    # The critical price is the one root found to a tolerance (1e-10) rather than to rounding:
    # its error, times the price's slope in it, is taken out to first order.
    price = k.probe_baw_price(*option(row), row["sigma"], row["side"])
    if math.isnan(row["critical"]):
        return price
    return price - row["price_per_critical"] * (critical(k, row) - row["critical"])


def american_price_tolerance(row):
    # The Black price's, and where early exercise pays 2 (1 + |q|) EPS of the premium: the
    # rounding of S / S* grows |q|-fold in A (S / S*)^q.
    tol = 4 * EPS * row["black_terms"]
    if not math.isnan(row["critical"]):
        tol += 2 * (1 + abs(row["exponent"])) * EPS * abs(row["price"] - row["black"])
    return tol


# column: (table, the kernel's value for a row, the largest error allowed for the row)
COLUMNS = {
    # Relative error at most (1 + z^2) EPS: the rounding of z / sqrt(2) (erfc) or of z^2 / 2
    # (the density's exponent, and the tail series through it) grows z^2-fold in the result.
    "cdf": ("normal", lambda k, row: k.probe_norm_cdf(row["z"]), lambda row: (1 + row["z"] ** 2) * EPS * row["cdf"]),
    "pdf": ("normal", lambda k, row: k.probe_norm_pdf(row["z"]), lambda row: (1 + row["z"] ** 2) * EPS * row["pdf"]),
    # 4 EPS of the two terms whose difference the Black price is.
    "black": (
        "baw",
        lambda k, row: k.probe_bsm_price(*option(row)[1:], row["sigma"], row["side"]),
        lambda row: 4 * EPS * row["black_terms"],
    ),
    # brentq stops once its bracket is narrower than xtol + rtol S*, both 1e-10.
    "critical": ("baw", critical, lambda row: 1e-10 * (1 + row["critical"])),
    "price": ("baw", price_less_critical_error, american_price_tolerance),
    # brentq to 1e-10 + 1e-10 sigma; the rows' vega (>= 0.01) keeps the price's own error below that.
    "implied": (
        "baw",
        lambda k, row: k.probe_baw_iv(row["price"], *option(row), row["side"]),
        lambda row: 1e-10 * (1 + row["implied"]),
    ),
}


@pytest.mark.parametrize("column", COLUMNS)
def test_matches_reference(k, column):
    table, kernel, tolerance = COLUMNS[column]
    rows = [row for row in reference(f"{table}_reference.csv") if not math.isnan(row[column])]
    off = [(row, got) for row in rows if not abs((got := kernel(k, row)) - row[column]) <= tolerance(row)]
    assert rows and not off


# --- Normal distribution --------------------------------------------------------


@pytest.mark.parametrize("z, exact", [(-40.0, 0.0), (-1e8, 0.0), (-INF, 0.0), (INF, 1.0), (0.0, 0.5)])
def test_norm_cdf_special_values(k, z, exact):
    assert k.probe_norm_cdf(z) == exact  # Phi(-40) = 3.7e-350 is below the smallest double


def test_normal_nan(k):
    assert math.isnan(k.probe_norm_cdf(NAN)) and math.isnan(k.probe_norm_pdf(NAN))


# --- Black price ------------------------------------------------------------------


@pytest.mark.parametrize(
    "F, sigma, side, expected",
    [
        (110, 0.0, CALL, 9.5),
        (110, 0.0, 0, 0.0),
        (110, 0.0, PUT, 0.0),
        (90, -0.1, PUT, 9.5),
        (90, -0.1, 2, 9.5),
        (110, -INF, CALL, 9.5),
        (NAN, 0.0, CALL, 0.0),
    ],
)
def test_bsm_price_without_volatility(k, F, sigma, side, expected):
    assert k.probe_bsm_price(100, 0.95, F, sigma, side) == expected


@pytest.mark.parametrize("sigma", [1e-4, 0.05, 0.3, 1.0, 4.0])
@pytest.mark.parametrize("F", [50.0, 95.0, 100.0, 103.0, 250.0])
def test_bsm_put_call_parity(k, F, sigma):
    call = k.probe_bsm_price(100, 0.93, F, sigma, CALL)
    puts = {k.probe_bsm_price(100, 0.93, F, sigma, side) for side in (0, PUT, 2)}
    assert len(puts) == 1  # every side other than 1 is a put
    assert call - puts.pop() == pytest.approx(0.93 * (F - 100), abs=1e-12 * max(F, 100))


# --- Barone-Adesi-Whaley: critical price, price, implied volatility ---------------


def exponents(D, carry, sigma):
    """(q2, q1): the exponents of Barone-Adesi & Whaley (1987), eq. 13 and 19, in forward terms."""
    N, M = 2 * math.log(carry) / sigma**2, -2 * math.log(D) / sigma**2
    root = math.sqrt((N - 1) ** 2 + 4 * M / (1 - D))
    return (1 - N + root) / 2, (1 - N - root) / 2


@pytest.mark.parametrize(
    "side, D, carry, sigma, exponent, expected",
    [
        (CALL, 0.98, 0.99, 0.2, -1.0, 100 + 1e-10),  # equation <= 0 at the strike
        (CALL, 0.98, 1.05, 0.2, 2.0, 2.0**21 * 100),  # positive at 2K ... 2^20 K
        (CALL, 0.98, 0.99, NAN, 2.0, 2.0**21 * 100),  # NaN never changes sign
        (PUT, 0.98, 0.99, 0.2, 0.5, 100 - 1e-10),  # equation <= 0 below the strike
        (PUT, 1.02, 1.0, 0.2, -2.0, 1e-10),  # equation >= 0 near zero spot
    ],
)
def test_critical_price_without_a_root_in_the_bracket(k, side, D, carry, sigma, exponent, expected):
    assert k.probe_solve_critical(side, 100.0, D, carry, sigma, exponent) == expected


@pytest.mark.parametrize("side, sigma", [(CALL, 0.13), (CALL, 0.5), (PUT, 0.2)])
def test_american_value_matching_at_boundary(k, side, sigma):
    S = k.probe_solve_critical(side, 100.0, 0.98, 0.99, sigma, exponents(0.98, 0.99, sigma)[side != CALL])
    # At S = S_star itself (a forward giving the same carry 0.99 exactly) the option is exercised.
    F = next(F for m in range(-8, 9) if (F := 0.99 * S + m * np.spacing(0.99 * S)) / S == 0.99)
    assert k.probe_baw_price(S, 100, 0.98, F, sigma, side) == side * (S - 100)
    S *= 1 - side * 1e-9  # just inside the continuation region: continuous with the payoff
    assert k.probe_baw_price(S, 100, 0.98, 0.99 * S, sigma, side) == pytest.approx(side * (S - 100), abs=1e-6)


@pytest.mark.parametrize(
    "S, K, D, F, sigma, side, expected",
    [
        (60, 100, 0.95, 61, 0.2, PUT, 40.0),
        (150, 100, 0.95, 145, 0.1, CALL, 50.0),
        (120, 100, 0.98, 99, 0.0, CALL, 20.0),
        (120, 100, 0.5, 300, -1.0, CALL, 20.0),
        (120, 100, 0.98, 99, 0.0, PUT, 0.0),
        (80, 100, 1.2, 10, -0.5, 0, 20.0),
    ],
)
def test_american_exact_values(k, S, K, D, F, sigma, side, expected):
    assert k.probe_baw_price(S, K, D, F, sigma, side) == expected


@pytest.mark.parametrize(
    "D, F, side", [(1.0, 99, CALL), (1.0, 99, PUT), (1.03, 99, PUT), (0.98, 103, CALL), (0.98, 101 / 0.98, CALL)]
)
def test_american_is_european_without_early_exercise(k, D, F, side):
    assert k.probe_baw_price(100, 100, D, F, 0.2, side) == k.probe_bsm_price(100, D, F, 0.2, side)


def test_american_special_cases(k):
    call, put = (k.probe_baw_price(100, 100, 1.0, 99, 0.2, side) for side in (CALL, PUT))
    assert put - call == pytest.approx(1.0, abs=1e-12)  # D = 1: European, so put-call parity holds
    premium = k.probe_baw_price(100, 100, 0.98, 101, 0.2, CALL) - k.probe_bsm_price(100, 0.98, 101, 0.2, 1)
    assert 0 < premium < 1e-3  # carry * D just below 1 still takes the premium path
    assert math.isnan(k.probe_baw_price(*ATM, NAN, CALL))
    for D, sigma in [(0.95, 0.3), (0.9, 0.1), (0.99, 1.0), (0.5, 2.0)]:  # S = K = F: call == put
        call, put = (k.probe_baw_price(100, 100, D, 100, sigma, side) for side in (CALL, PUT))
        assert abs(call - put) <= 1e-9


@pytest.mark.parametrize("side", [CALL, PUT, 0])
@pytest.mark.parametrize("S, F", [(80, 79), (100, 99), (120, 119), (100, 104)])
@pytest.mark.parametrize("sigma", [0.03, 0.2, 0.7, 2.5])
def test_implied_vol_round_trip(k, S, F, sigma, side):
    price = k.probe_baw_price(S, 100, 0.97, F, sigma, side)
    iv = k.probe_baw_iv(price, S, 100, 0.97, F, side)
    assert iv >= 0 and k.probe_baw_price(S, 100, 0.97, F, iv, side) == pytest.approx(price, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize(
    "price, S, K, D, F, side, expected, tol",
    [
        (20.0, 120, 100, 0.98, 99, CALL, 0.0, 0.0),  # at intrinsic value
        (20 + 5e-11, 120, 100, 0.98, 99, CALL, 0.0, 0.0),  # within the 1e-10 margin
        (20 + 1e-10, 120, 100, 0.98, 99, CALL, 0.0, 0.0),  # at the margin itself
        (20 + 1e-9, 120, 100, 0.98, 99, CALL, 0.31, 5e-3),  # where the boundary passes the spot
        (20.5, 120, 100, 0.98, 99, CALL, 0.36, 5e-3),
        (0.5, *ATM, PUT, -1.0, 0.0),  # below the price at sigma = 1e-8
        (11.0, 100, 90, 0.98, 103, CALL, -1.0, 0.0),  # below the European floor D (F - K)
    ],
)
def test_implied_vol_outcomes(k, price, S, K, D, F, side, expected, tol):
    assert k.probe_baw_iv(price, S, K, D, F, side) == pytest.approx(expected, abs=tol)


@pytest.mark.parametrize("side", [CALL, PUT])
def test_implied_vol_reaches_sigma_8_and_no_further(k, side):
    # Quotes up to the price at sigma = 8 are solved; a quote above it has no volatility.
    at_8 = k.probe_baw_price(*ATM, 8.0, side)
    assert k.probe_baw_iv(at_8, *ATM, side) == pytest.approx(8.0, abs=1e-8)
    assert k.probe_baw_iv(at_8 + 1e-6, *ATM, side) == -1.0


# --- Minimiser and forward-search objective ----------------------------------------

PARABOLA, CONSTANT, ALWAYS_NAN = 0, 1, 2  # (t - 3)^2, 1, NaN


@pytest.mark.parametrize(
    "func, xa, xb, expected",
    [
        (PARABOLA, 0.0, 10.0, 3.0),
        (PARABOLA, 5.0, 5.0, 5.0),  # an empty bracket: its one point
        (PARABOLA, 10.0, 0.0, 10.0 + GOLDEN * -10.0),  # reversed: the first golden-section point
        (ALWAYS_NAN, 97.0, 103.0, 97.0 + GOLDEN * 6.0),  # NaN is never an improvement
        (CONSTANT, 97.0, 103.0, pytest.approx(103.0 - 2e-6, abs=2e-6)),  # flat: the upper end
    ],
)
def test_fminbound_results(k, func, xa, xb, expected):
    x = k.probe_fminbound(func, xa, xb, 1e-6, 100)
    assert x == expected and x <= max(xa, xb)


def fwd(k, F_trial, S, D, calls, puts, strikes):
    arrs = [np.ascontiguousarray(a, dtype=np.float64) for a in (calls, puts, strikes)]
    return k.probe_fwd_iv_abs_diff(F_trial, S, D, *(a.ctypes.data_as(DP) for a in arrs), len(strikes))


def test_forward_objective_without_usable_strikes(k):
    for n in (0, -3):  # nothing selected: the (null) arrays are never read
        assert k.probe_fwd_iv_abs_diff(99.0, 100.0, 0.98, DP(), DP(), DP(), n) == 1e10
    puts = [k.probe_baw_price(100, K, 0.98, 99, 0.2, PUT) for K in (90, 100, 110)]
    assert fwd(k, 99.0, 100.0, 0.98, [10.0, 0.0, 0.0], puts, [90, 100, 110]) == 1e10


@pytest.mark.parametrize(
    "vols, expected",
    [
        ([(0.25, 0.24)], 0.01),
        ([(0.20, 0.23)], 0.03),  # one strike; call below put
        ([(0.20, 0.21), None, (0.30, 0.27)], 0.02),  # an unusable strike is left out
    ],
)
def test_forward_objective_mean_of_usable_strikes(k, vols, expected):
    S, D, F, strikes = 100.0, 0.98, 99.0, [95.0, 100.0, 105.0][: len(vols)]
    calls = [k.probe_baw_price(S, K, D, F, v[0], CALL) if v else 0.0 for K, v in zip(strikes, vols)]
    puts = [k.probe_baw_price(S, K, D, F, v[1] if v else 0.2, PUT) for K, v in zip(strikes, vols)]
    result = fwd(k, F, S, D, calls, puts, strikes)
    assert result == pytest.approx(expected, abs=1e-8)
    if len(vols) == 1:  # exactly |iv_c - iv_p| of the two solves
        iv_c, iv_p = k.probe_baw_iv(calls[0], S, 95, D, F, CALL), k.probe_baw_iv(puts[0], S, 95, D, F, PUT)
        assert result == abs(iv_c - iv_p)


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_forward_objective_on_non_finite_quotes(k, bad):
    # Each of the two strikes has a quote or a strike that yields no usable pair of volatilities.
    assert returns_within(20, fwd, k, 99.0, 100.0, 0.98, [bad, 5.0], [bad, bad], [100.0, bad]) == 1e10


# --- Non-finite inputs end every kernel --------------------------------------------

KERNELS = [("probe_norm_pdf", (0.5,)), ("probe_norm_cdf", (-12.0,))] + [
    (name, base)
    for side in (CALL, PUT)
    for name, base in [
        ("probe_bsm_price", (100.0, 0.98, 99.0, 0.2, side)),
        ("probe_critical_func", (side, 100.0 + 20 * side, 100.0, 0.98, 0.99, 0.2, 7.9 if side == CALL else -6.4)),
        ("probe_solve_critical", (side, 100.0, 0.98, 0.99, 0.2, 7.9 if side == CALL else -6.4)),
        ("probe_baw_price", (*ATM, 0.2, side)),
        ("probe_iv_objective", (0.2, *ATM, 7.0, side)),
        ("probe_baw_iv", (7.5, *ATM, side)),
        ("probe_fminbound", (PARABOLA if side == CALL else ALWAYS_NAN, 0.0, 10.0, 1e-6, 100)),
    ]
]


@pytest.mark.parametrize(
    "name, base, pos, bad",
    [
        (name, base, pos, bad)
        for name, base in KERNELS
        for pos, arg in enumerate(base)
        if isinstance(arg, float)
        for bad in (NAN, INF, -INF)
    ],
)
def test_kernels_return_on_non_finite_input(k, name, base, pos, bad):
    args = list(base)
    args[pos] = bad
    returns_within(20, getattr(k, name), *args)
