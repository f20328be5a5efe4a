"""Pricing kernels tested through tests/kernel_probe.cpp. Every root search runs SciPy's
real brentq; the probe only records each search's bracket, tolerances and limit."""

import ctypes
import math
import threading

import kernel_probe
import numpy as np
import pytest
import scipy.special

NAN, INF, GOLDEN = math.nan, math.inf, 0.3819660112501051
CALL, PUT = 1, -1
ATM = (100.0, 100.0, 0.98, 99.0)  # S, K, D, F of the running American example
DP = ctypes.POINTER(ctypes.c_double)


@pytest.fixture(scope="session")
def lib():
    return kernel_probe.load()


@pytest.fixture
def k(lib):
    lib.probe_reset()
    return lib


def searches(lib, kind=None):
    """Recorded brentq calls (xa, xb, xtol, rtol, iter, kind, param, root); kind 0 call
    boundary, 1 put boundary, 2 implied volatility."""
    return [c for c in kernel_probe.brentq_calls(lib) if kind is None or c[5] == kind]


# Phi(-10), Phi(-20): Laplace's continued fraction for the Mills ratio in 60-digit decimals.
@pytest.mark.parametrize(
    "z, exact",
    [
        (-10.0, 7.619853024160526066e-24),
        (-20.0, 2.753624118606233695e-89),
        (-40.0, 0.0),
        (-1e8, 0.0),
        (-INF, 0.0),
        (INF, 1.0),
        (0.0, 0.5),
    ],
)
def test_norm_cdf_tails_and_special_values(k, z, exact):
    assert abs(k.probe_norm_cdf(z) - exact) <= (1e-14 * exact if z in (-10, -20) else 0.0)


@pytest.mark.parametrize("z", [-10.0, -9.999999999999998, -9.5, -5.0, -1.0, -1e-3, 1.0, 3.0, 8.5])
def test_norm_cdf_uses_erfc_above_minus_ten(k, z):
    # -10 itself belongs to the asymptotic series, whose value differs from erfc's there.
    assert (k.probe_norm_cdf(z) == 0.5 * math.erfc(-(z * 0.7071067811865476))) == (z > -10)
    assert k.probe_norm_cdf(z) == pytest.approx(scipy.special.ndtr(z), rel=1e-13)


def test_normal_nan_and_density(k):
    assert math.isnan(k.probe_norm_cdf(NAN)) and math.isnan(k.probe_norm_pdf(NAN))
    assert k.probe_norm_pdf(1.5) == pytest.approx(math.exp(-1.125) / math.sqrt(2 * math.pi), rel=1e-15)


@pytest.mark.parametrize(
    "F, sigma, q, expected",
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
def test_bsm_price_without_volatility(k, F, sigma, q, expected):
    assert k.probe_bsm_price(100, 0.95, F, sigma, q) == expected


@pytest.mark.parametrize("sigma", [1e-4, 0.05, 0.3, 1.0, 4.0])
@pytest.mark.parametrize("F", [50.0, 95.0, 100.0, 103.0, 250.0])
def test_bsm_put_call_parity(k, F, sigma):
    call = k.probe_bsm_price(100, 0.93, F, sigma, CALL)
    puts = {k.probe_bsm_price(100, 0.93, F, sigma, q) for q in (0, PUT, 2)}
    assert len(puts) == 1  # every side other than 1 is a put
    assert call - puts.pop() == pytest.approx(0.93 * (F - 100), abs=1e-12 * max(F, 100))


def q_exponents(D, carry, sigma):  # (q2, q1) of the quadratic approximation
    N, M = 2 * math.log(carry) / sigma**2, -2 * math.log(D) / sigma**2
    root = math.sqrt((N - 1) ** 2 + 4 * M / (1 - D))
    return (1 - N + root) / 2, (1 - N - root) / 2


@pytest.mark.parametrize(
    "side, D, carry, sigma, q_val, expected",
    [
        (CALL, 0.98, 0.99, 0.2, -1.0, 100 + 1e-10),  # equation <= 0 at the strike
        (CALL, 0.98, 1.05, 0.2, 2.0, 2.0**21 * 100),  # positive at 2K ... 2^20 K
        (CALL, 0.98, 0.99, NAN, 2.0, 2.0**21 * 100),  # NaN never changes sign
        (PUT, 0.98, 0.99, 0.2, 0.5, 100 - 1e-10),  # equation <= 0 below the strike
        (PUT, 1.02, 1.0, 0.2, -2.0, 1e-10),
    ],
)  # equation >= 0 near zero spot
def test_boundary_fallbacks_skip_root_search(k, side, D, carry, sigma, q_val, expected):
    assert k.probe_solve_critical(side, 100.0, D, carry, sigma, q_val) == expected
    assert searches(k) == []


@pytest.mark.parametrize(
    "side, sigma, xb, near",
    [(CALL, 0.2, 200.0, 136.6), (CALL, 0.25, 200.0, 149.6), (CALL, 0.5, 400.0, 237.1), (PUT, 0.2, 100 - 1e-10, 57.0)],
)
def test_boundary_root_search(k, side, sigma, xb, near):
    q_val = q_exponents(0.98, 0.99, sigma)[side != CALL]
    S_star = k.probe_solve_critical(side, 100.0, 0.98, 0.99, sigma, q_val)
    [(xa, xb_, xtol, rtol, it, kind, _, root)] = searches(k)
    xa_expected = 100 + 1e-10 if side == CALL else 1e-10
    assert (xa, xb_, xtol, rtol, it, kind) == (xa_expected, xb, 1e-10, 1e-10, 100, side != CALL)
    assert S_star == root == pytest.approx(near, rel=2e-3)
    below, above = (k.probe_critical_func(side, S_star * (1 + h), 100, 0.98, 0.99, sigma, q_val) for h in (-1e-7, 1e-7))
    assert below * above < 0  # the equation changes sign across the returned root


def random_rows(seed, rows, *columns):
    rng = np.random.default_rng(seed)
    return np.ascontiguousarray(np.column_stack([rng.uniform(lo, hi, rows) for lo, hi in columns]))


@pytest.mark.parametrize("kernel", [1, -1, 2, 3])
def test_kernels_bit_identical_to_unoptimised_reference(k, kernel):
    # The boundary equations share terms with their European price, and the
    # solvers hand brentq the bracket-end values they already know; every
    # value must still be exactly that of the kernels as first written.
    if kernel in (1, -1):  # Sc, K, D, carry, sigma, q_val
        x = random_rows(kernel + 10, 200_000, (1e-3, 400), (1, 200), (0.5, 1.2), (0.8, 1.2), (-0.1, 3), (-20, 20))
        x[::1000] = [NAN, 100, 0.98, 1.0, 0.2, 2.0]
    else:  # S, K, D, F, sigma, q for prices; then prices in place of sigma for volatilities
        x = random_rows(
            kernel + 10,
            20_000 if kernel == 2 else 2_000,
            (50, 150),
            (40, 160),
            (0.85, 1.0),
            (45, 160),
            (0.005, 2.5),
            (0, 1),
        )
        x[:, 5] = np.where(x[:, 5] < 0.5, CALL, PUT)
        if kernel == 3:
            x[:, [0, 4]] = [[k.probe_baw_price(*row[:5], int(row[5])) * 1.001, row[0]] for row in x]
            x = np.ascontiguousarray(x[:, [0, 4, 1, 2, 3, 5]])
    x[1::1000, 4] = 0.0
    assert k.probe_reference_mismatches(kernel, x.ctypes.data_as(DP), len(x)) == 0


@pytest.mark.parametrize(
    "S, K, D, F, sigma, q, expected, european",
    [
        (*ATM, 0.2, CALL, 7.41, 7.29),
        (*ATM, 0.2, PUT, 8.28, 8.27),
        (100, 100, 0.98, 103, 0.2, PUT, 6.78, 6.54),
        (100, 100, 0.95, 100, 0.3, CALL, 11.5, None),
    ],
)
def test_american_above_european(k, S, K, D, F, sigma, q, expected, european):
    price, bsm = k.probe_baw_price(S, K, D, F, sigma, q), k.probe_bsm_price(K, D, F, sigma, q)
    assert price == pytest.approx(expected, abs=0.006 if european else 0.06) and price > bsm
    assert european is None or bsm == pytest.approx(european, abs=0.006)


@pytest.mark.parametrize("q, sigma", [(CALL, 0.13), (CALL, 0.5), (PUT, 0.2)])
def test_american_value_matching_at_boundary(k, q, sigma):
    k.probe_baw_price(*ATM, sigma, q)
    S = searches(k)[0][7]
    # At S = S_star itself (a forward giving the same carry 0.99 exactly) the option is exercised.
    F = next((F for m in range(-8, 9) if (F := 0.99 * S + m * np.spacing(0.99 * S)) / S == 0.99), None)
    if F is None:
        pytest.skip("no forward reproduces the carry 0.99 exactly at this boundary")
    assert k.probe_baw_price(S, 100, 0.98, F, sigma, q) == q * (S - 100)
    S *= 1 - q * 1e-9  # just inside the continuation region: continuous with the payoff
    assert k.probe_baw_price(S, 100, 0.98, 0.99 * S, sigma, q) == pytest.approx(q * (S - 100), abs=1e-6)


@pytest.mark.parametrize(
    "S, K, D, F, sigma, q, expected",
    [
        (60, 100, 0.95, 61, 0.2, PUT, 40.0),
        (150, 100, 0.95, 145, 0.1, CALL, 50.0),
        (120, 100, 0.98, 99, 0.0, CALL, 20.0),
        (120, 100, 0.5, 300, -1.0, CALL, 20.0),
        (120, 100, 0.98, 99, 0.0, PUT, 0.0),
        (80, 100, 1.2, 10, -0.5, 0, 20.0),
    ],
)
def test_american_exact_values(k, S, K, D, F, sigma, q, expected):
    assert k.probe_baw_price(S, K, D, F, sigma, q) == expected


@pytest.mark.parametrize(
    "D, F, q", [(1.0, 99, CALL), (1.0, 99, PUT), (1.03, 99, PUT), (0.98, 103, CALL), (0.98, 101 / 0.98, CALL)]
)
def test_american_is_european_without_early_exercise(k, D, F, q):
    assert k.probe_baw_price(100, 100, D, F, 0.2, q) == k.probe_bsm_price(100, D, F, 0.2, q)


def test_american_special_cases(k):
    call, put = (k.probe_baw_price(100, 100, 1.0, 99, 0.2, q) for q in (CALL, PUT))
    assert call == pytest.approx(7.44, abs=6e-3) and put - call == pytest.approx(1.0, abs=1e-12)
    premium = k.probe_baw_price(100, 100, 0.98, 101, 0.2, CALL) - k.probe_bsm_price(100, 0.98, 101, 0.2, 1)
    assert 0 < premium < 1e-3  # carry * D just below 1 still takes the premium path
    assert math.isnan(k.probe_baw_price(*ATM, NAN, CALL))
    for D, sigma in [(0.95, 0.3), (0.9, 0.1), (0.99, 1.0), (0.5, 2.0)]:  # S = K = F: call == put
        call, put = (k.probe_baw_price(100, 100, D, 100, sigma, q) for q in (CALL, PUT))
        assert abs(call - put) <= 1e-9


@pytest.mark.parametrize("q", [CALL, PUT, 0])
@pytest.mark.parametrize("S, F", [(80, 79), (100, 99), (120, 119), (100, 104)])
@pytest.mark.parametrize("sigma", [0.03, 0.2, 0.7, 2.5])
def test_implied_vol_round_trip(k, S, F, sigma, q):
    price = k.probe_baw_price(S, 100, 0.97, F, sigma, q)
    iv = k.probe_baw_iv(price, S, 100, 0.97, F, q)
    assert iv >= 0 and k.probe_baw_price(S, 100, 0.97, F, iv, q) == pytest.approx(price, rel=1e-9, abs=1e-9)


@pytest.mark.parametrize("q", [CALL, PUT])
def test_implied_vol_recovers_sigma_with_unit_bracket(k, q):
    price = k.probe_baw_price(*ATM, 0.2, q)
    k.probe_reset()
    assert k.probe_baw_iv(price, *ATM, q) == pytest.approx(0.2, abs=1e-9)
    [(xa, xb, xtol, rtol, it, _, target, _)] = searches(k, kind=2)
    assert (xa, xb, xtol, rtol, it, target) == (1e-8, 1.0, 1e-10, 1e-10, 200, price)


@pytest.mark.parametrize(
    "price, S, K, D, F, q, expected, tol",
    [
        (20.0, 120, 100, 0.98, 99, CALL, 0.0, 0.0),  # at intrinsic value
        (20 + 5e-11, 120, 100, 0.98, 99, CALL, 0.0, 0.0),  # within the 1e-10 margin
        (20 + 1e-10, 120, 100, 0.98, 99, CALL, 0.0, 0.0),  # at the margin itself
        (20 + 1e-9, 120, 100, 0.98, 99, CALL, 0.31, 5e-3),  # where the boundary passes the spot
        (20.5, 120, 100, 0.98, 99, CALL, 0.36, 5e-3),
        (0.5, *ATM, PUT, -1.0, 0.0),  # below the price at sigma = 1e-8
        (11.0, 100, 90, 0.98, 103, CALL, -1.0, 0.0),
    ],
)  # below the European floor D (F - K)
def test_implied_vol_outcomes(k, price, S, K, D, F, q, expected, tol):
    assert k.probe_baw_iv(price, S, K, D, F, q) == pytest.approx(expected, abs=tol)


def test_implied_vol_caps_bracket_after_pricing_sigma_16(k):
    assert k.probe_baw_iv(99.5, *ATM, CALL) == -1.0
    assert [c[6] for c in searches(k, kind=0)] == [1.0, 2.0, 4.0, 8.0, 16.0]  # one per priced sigma
    assert searches(k, kind=2) == []


PARABOLA, CONSTANT, ALWAYS_NAN = 0, 1, 2


@pytest.mark.parametrize(
    "func, xa, xb, expected, evaluations",
    [
        (PARABOLA, 5.0, 5.0, 5.0, 1),
        (PARABOLA, 10.0, 0.0, 10.0 + GOLDEN * -10.0, 1),
        (PARABOLA, 0.0, 10.0, 3.0, 6),
        (ALWAYS_NAN, 97.0, 103.0, 97.0 + GOLDEN * 6.0, None),
        (CONSTANT, 97.0, 103.0, pytest.approx(103.0 - 2e-6, abs=2e-6), 30),
    ],
)
def test_fminbound_counted_cases(k, func, xa, xb, expected, evaluations):
    x = k.probe_fminbound(func, xa, xb, 1e-6, 100)
    assert x == expected and x <= max(xa, xb)
    assert evaluations is None or k.probe_eval_count() == evaluations
    if (func, xa, xb) == (PARABOLA, 0.0, 10.0):  # at the vertex d = 0: step down first, then up
        tol1 = 1.4901161193847656e-08 * 3.0 + 1e-6 / 3
        assert [k.probe_eval_point(j) for j in (3, 4, 5)] == [3.0, 3.0 - tol1, 3.0 + tol1]


def fwd(k, F_trial, S, D, calls, puts, strikes):
    arrs = [np.ascontiguousarray(a, dtype=np.float64) for a in (calls, puts, strikes)]
    return k.probe_fwd_iv_abs_diff(F_trial, S, D, *(a.ctypes.data_as(DP) for a in arrs), len(strikes))


def test_forward_objective_without_usable_strikes(k):
    for n in (0, -3):  # nothing selected: no solve, and the arrays are never read
        assert k.probe_fwd_iv_abs_diff(99.0, 100.0, 0.98, DP(), DP(), DP(), n) == 1e10
    assert searches(k) == []
    puts = [k.probe_baw_price(100, K, 0.98, 99, 0.2, PUT) for K in (90, 100, 110)]
    assert fwd(k, 99.0, 100.0, 0.98, [10.0, 0.0, 0.0], puts, [90, 100, 110]) == 1e10


@pytest.mark.parametrize(
    "vols, expected",
    [
        ([(0.25, 0.24)], 0.01),
        ([(0.20, 0.23)], 0.03),  # one strike; call below put
        ([(0.20, 0.21), None, (0.30, 0.27)], 0.02),
    ],
)  # an unusable strike is left out
def test_forward_objective_mean_of_usable_strikes(k, vols, expected):
    S, D, F, strikes = 100.0, 0.98, 99.0, [95.0, 100.0, 105.0][: len(vols)]
    calls = [k.probe_baw_price(S, K, D, F, v[0], CALL) if v else 0.0 for K, v in zip(strikes, vols)]
    puts = [k.probe_baw_price(S, K, D, F, v[1] if v else 0.2, PUT) for K, v in zip(strikes, vols)]
    result = fwd(k, F, S, D, calls, puts, strikes)
    assert result == pytest.approx(expected, abs=1e-8)
    if len(vols) == 1:  # exactly |iv_c - iv_p| of the two solves
        iv_c, iv_p = k.probe_baw_iv(calls[0], S, 95, D, F, CALL), k.probe_baw_iv(puts[0], S, 95, D, F, PUT)
        assert result == abs(iv_c - iv_p)


KERNELS = [("probe_norm_pdf", (0.5,)), ("probe_norm_cdf", (-12.0,))] + [
    (name, base)
    for q in (CALL, PUT)
    for name, base in [
        ("probe_bsm_price", (100.0, 0.98, 99.0, 0.2, q)),
        ("probe_critical_func", (q, 100.0 + 20 * q, 100.0, 0.98, 0.99, 0.2, 7.9 if q == CALL else -6.4)),
        ("probe_solve_critical", (q, 100.0, 0.98, 0.99, 0.2, 7.9 if q == CALL else -6.4)),
        ("probe_baw_price", (*ATM, 0.2, q)),
        ("probe_iv_objective", (0.2, *ATM, 7.0, q)),
        ("probe_baw_iv", (7.5, *ATM, q)),
        ("probe_fminbound", (PARABOLA if q == CALL else ALWAYS_NAN, 0.0, 10.0, 1e-6, 100)),
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
def test_kernels_return_on_non_finite_input(lib, name, base, pos, bad):
    args = list(base)
    args[pos] = bad
    result = []
    worker = threading.Thread(target=lambda: result.append(getattr(lib, name)(*args)), daemon=True)
    worker.start()
    worker.join(timeout=20)
    assert not worker.is_alive() and isinstance(result[0], float), f"{name}{tuple(args)} hung"


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_forward_objective_returns_on_non_finite_quotes(k, bad):
    assert isinstance(fwd(k, 99.0, 100.0, 0.98, [bad, 5.0], [bad, bad], [100.0, bad]), float)
