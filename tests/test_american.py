"""velliq.american: the accurate American price as ufuncs, its implied
volatility and Greeks, and the model in velliq.chain."""

import itertools
import math
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import velliq
from velliq import american, baw, chain

GRID = list(itertools.product((80.0, 100.0, 120.0), (0.5 / 12, 0.5, 2.0), (0.005, 0.06), (0.0, 0.04), (0.15, 0.5)))


def terms(S, years, r, q, vol):
    D, F = velliq.forward_terms(S, r, q, years)
    return float(D), float(F), vol * math.sqrt(years)


# The search prices each sigma from the last one's boundary, so its price can differ from a
# fresh price by what the setting's iteration leaves: per unit strike, and sigma relative.
@pytest.mark.parametrize(
    "setting, price_tol, sigma_tol", [("fast", 1e-5, 1e-3), ("default", 1e-6, 1e-5), ("high", 1e-8, 1e-7)]
)
def test_price_vol_price_round_trip(setting, price_tol, sigma_tol):
    ufuncs = american.SETTINGS[setting]
    for S, years, r, q, vol in GRID:
        D, F, sigma = terms(S, years, r, q, vol)
        for is_call in (True, False):
            price = ufuncs.price(S, 100.0, D, F, sigma, is_call)
            exercise = max(S - 100.0, 0.0) if is_call else max(100.0 - S, 0.0)
            if price - exercise < 1e-6:  # in the exercise region: no volatility to find
                continue
            implied = ufuncs.implied_vol(price, S, 100.0, D, F, is_call)
            assert ufuncs.price(S, 100.0, D, F, implied, is_call) == pytest.approx(price, abs=price_tol * 100.0)
            if baw.greeks(S, 100.0, D, F, sigma, is_call)[2] > 1e-2:  # where the price pins sigma
                assert implied == pytest.approx(sigma, rel=sigma_tol), (S, years, r, q, vol, is_call)


def test_quotes_at_or_below_exercise_value_and_nan():
    D, F, sigma = terms(60.0, 1.0, 0.06, 0.0, 0.2)
    deep_put = american.price(60.0, 100.0, D, F, sigma, False)
    assert deep_put == 40.0  # below the exercise boundary: exactly the exercise value
    assert american.implied_vol(40.0, 60.0, 100.0, D, F, False) == 0.0
    assert american.implied_vol(39.0, 60.0, 100.0, D, F, False) == 0.0
    assert math.isnan(american.implied_vol(100.0, 60.0, 100.0, D, F, False))  # above any price
    for args in [(np.nan, 100.0, D, F, sigma), (60.0, 100.0, D, np.nan, sigma), (60.0, 100.0, D, F, np.nan)]:
        assert math.isnan(american.price(*args, False))


def test_european_where_exercise_is_never_optimal():
    # No interest and no dividend yield: neither side is exercised early (BAW
    # returns the Black price there too).
    S, F, sigma = 100.0, 100.0, 0.3
    for K, is_call in itertools.product((80.0, 100.0, 125.0), (True, False)):
        assert american.price(S, K, 1.0, F, sigma, is_call) == pytest.approx(
            baw.price(S, K, 1.0, F, sigma, is_call), rel=1e-12
        )


def test_two_exercise_boundaries_are_not_priced():
    r, q = -0.01, -0.03  # a put with q < r < 0 has two boundaries
    D, F, sigma = terms(100.0, 1.0, r, q, 0.2)
    assert math.isnan(american.price(100.0, 100.0, D, F, sigma, False))
    assert not math.isnan(american.price(100.0, 100.0, D, F, sigma, True))


def test_american_is_above_european_and_near_baw():
    for S, years, r, q, vol in GRID:
        D, F, sigma = terms(S, years, r, q, vol)
        for is_call in (True, False):
            accurate = american.price(S, 100.0, D, F, sigma, is_call)
            assert accurate >= baw.price(S, 100.0, 1.0, F, sigma, is_call) * D - 1e-12
            assert abs(accurate - baw.price(S, 100.0, D, F, sigma, is_call)) < 0.6  # BAW's known error


# Puts and calls in both forms of the boundary's iteration (FP-B where r^2 > 2 sigma^2 or q < 0 for
# the put of put-call symmetry), q above and below r, a put never exercised early (r = 0), and
# options on futures (r = q, F = S), where X = K min(1, r/q) turns, with q a hair either side.
GREEK_CASES = [  # K, years, r, q, vol, is_call
    (120.0, 1.0, 0.05, 0.05, 0.3, False),
    (70.0, 3.0, 0.03, 0.03, 0.3, True),
    (120.0, 1.0, 0.05, 0.05 - 1e-13, 0.3, False),
    (70.0, 3.0, 0.03, 0.03 + 1e-13, 0.3, True),
    (100.0, 1.0, 0.05, 0.05 + 1e-7, 0.3, True),
    (100.0, 3.0, 0.03, 0.03 - 1e-7, 0.3, False),
    (105.0, 1.0, 0.05, 0.02, 0.3, False),
    (100.0, 2.0, 0.02, 0.04, 0.25, False),
    (100.0, 1.0, 0.10, 0.0, 0.05, False),
    (90.0, 1.0, 0.03, -0.01, 0.3, False),
    (120.0, 30.0, 0.05, 0.03, 0.2, False),
    (105.0, 1.0, 0.02, 0.06, 0.3, True),
    (100.0, 1.0, -0.01, 0.03, 0.2, True),
    (95.0, 0.5, 0.01, 0.05, 0.2, True),
    (100.0, 1.0, 0.0, 0.02, 0.2, False),
]


def fourth_order_differences(price, S, K, D, F, sigma, is_call, step):
    """(delta, gamma, vega, dF, dD) by fourth-order central differences of price, relative steps."""

    def slope(f, x, h):
        return (8 * (f(x + h) - f(x - h)) - (f(x + 2 * h) - f(x - 2 * h))) / (12 * h)

    def spot(s):
        return price(s, K, D, F / S * s, sigma, is_call)

    h = step * S
    gamma = (16 * (spot(S + h) + spot(S - h)) - 30 * spot(S) - spot(S + 2 * h) - spot(S - 2 * h)) / (12 * h * h)
    return (
        slope(spot, S, h),
        gamma,
        slope(lambda v: price(S, K, D, F, v, is_call), sigma, step * sigma),
        slope(lambda f: price(S, K, D, f, sigma, is_call), F, step * F),
        slope(lambda d: price(S, K, d, F, sigma, is_call), D, step * (min(D, 1 - D) if D < 1 else D)),
    )


# Relative agreement with fourth-order differences (relative step 3e-4) of the same setting's price:
# exact at high; default and fast leave what their iteration's tolerance on ln B leaves (largest
# seen over the grid: 7e-6 and 5e-5).
@pytest.mark.parametrize("setting, rtol", [("high", 1e-6), ("default", 2e-5), ("fast", 1e-4)])
@pytest.mark.parametrize("K, years, r, q, vol, is_call", GREEK_CASES)
def test_greeks_agree_with_differences_of_the_price(setting, rtol, K, years, r, q, vol, is_call):
    ufuncs = american.SETTINGS[setting]
    D, F, sigma = terms(100.0, years, r, q, vol)
    greeks = ufuncs.greeks(100.0, K, D, F, sigma, is_call)
    reference = fourth_order_differences(ufuncs.price, 100.0, K, D, F, sigma, is_call, 3e-4)
    assert greeks == pytest.approx(reference, rel=rtol)


def test_greeks_in_the_exercise_region():
    assert american.greeks(60.0, 100.0, 0.94, 60.0, 0.2, False) == (-1.0, 0.0, 0.0, 0.0, 0.0)


def test_chain_with_the_american_model():
    rows = []
    for years in (0.25, 1.0):
        D, F = velliq.forward_terms(100.0, 0.05, 0.02, years)
        for K in np.arange(85.0, 116.0, 5.0):
            for side in ("c", "p"):
                mid = float(american.price(100.0, K, D, F, 0.3 * math.sqrt(years), side == "c"))
                rows.append(dict(expiry=years, strike=K, side=side, price=mid, spot=100.0, true_forward=float(F)))
    table = pd.DataFrame(rows)
    result = chain.implied_vols(table, rate=0.05, model="american")
    assert np.allclose(result["forward"], table["true_forward"], rtol=1e-8)
    assert np.allclose(result["iv_mid"], 0.3, atol=1e-8)
    with pytest.raises(ValueError, match="unknown model"):
        chain.implied_vols(table, rate=0.05, model="bs")


@pytest.mark.parametrize("setting", ["fast", "default", "high"])
@pytest.mark.parametrize("is_call", [True, False])
def test_prices_stay_within_bounds_and_rise_with_large_sigma(setting, is_call):
    # A put with no interest and a negative yield (and its mirror call) exercises early at
    # every sigma, and its boundary falls below the smallest double as sigma grows.
    ufuncs = american.SETTINGS[setting]
    carry = math.exp(-0.05 if is_call else 0.05)
    sigmas = np.linspace(4.0, 16.0, 49)
    prices = ufuncs.price(100.0, 100.0, 1.0, 100.0 * carry, sigmas, is_call)
    upper = 100.0 * max(1.0, carry) if is_call else 100.0
    assert np.all(prices <= upper) and np.all(np.diff(prices) >= 0), prices


# A total standard deviation far below the rates (rT) leaves the boundary a hair from the
# strike and all its movement within a layer near expiry; near the money the price is about
# K sigma^2 / (2 rT) e^-1. It must still rise with sigma and invert to itself. The call is the
# mirror of the put (rate and yield swapped).
@pytest.mark.parametrize("setting, price_tol", [("fast", 1e-5), ("default", 1e-6), ("high", 1e-8)])
@pytest.mark.parametrize("is_call", [True, False])
def test_prices_rise_with_tiny_sigma_near_the_money(setting, price_tol, is_call):
    ufuncs = american.SETTINGS[setting]
    sigmas = np.geomspace(1e-7, 2e-2, 400)  # past where the layers end (sigma = 0.1 (r + |r - q|))
    for K, q in itertools.product((99.0, 99.9, 100.0, 100.1, 101.0), (0.0, 0.01, 0.03)):
        D, F = velliq.forward_terms(100.0, *((q, 0.05) if is_call else (0.05, q)), 1.0)
        prices = ufuncs.price(100.0, K, D, F, sigmas, is_call)
        assert np.all(np.diff(prices) >= -1e-12), (K, q, np.diff(prices).min())  # the Black price's rounding
        implied = ufuncs.implied_vol(prices, 100.0, K, D, F, is_call)
        back = ufuncs.price(100.0, K, D, F, implied, is_call)
        assert np.all(np.isnan(implied) | (np.abs(back - prices) <= price_tol * K)), (K, q)


SMALL_STACK_CHILD = """
import threading, numpy as np
from velliq import american
# sigma 0 and 1e-6 take the Greeks by differences of prices, 0.3 by the boundary's derivatives
sigma = np.concatenate([[0.0, 1e-6], np.full(48, 0.3)])
args = (np.linspace(80.0, 120.0, 50), 100.0, 0.97, np.linspace(80.0, 120.0, 50) * 1.01, sigma, False)
out = {}
def run():
    for name, u in american.SETTINGS.items():
        price = u.price(*args)
        out[name] = np.concatenate([price, u.implied_vol(price, *args[:4], False), *u.greeks(*args)])
threading.stack_size(32 * 1024)  # the smallest Python accepts
thread = threading.Thread(target=run)
thread.start()
thread.join()
run_in_main = dict(out)
run()
assert all(np.array_equal(run_in_main[k], out[k], equal_nan=True) for k in out)
print(len(out))
"""


def test_every_ufunc_runs_in_a_thread_with_a_small_stack():
    # A thread started after threading.stack_size(32 KiB) has room for NumPy's own frames and
    # the kernels' fixed tables, the Greeks' as the price's; a stack overflow would kill the
    # child process.
    done = subprocess.run([sys.executable, "-c", SMALL_STACK_CHILD], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "3", done.stderr


def realistic_grid():
    # r = -5 %, q = 0 over a day: the call's put of symmetry has r within rounding of zero.
    rates, yields = (-0.05, -0.01, 0.0, 0.02, 0.05), (-0.01, 0.0, 0.03)
    rows = itertools.product(
        (70.0, 100.0, 130.0), (1 / 365, 7 / 365, 0.5, 2.0, 30.0, 200.0), rates, yields, (0.1, 0.4), (True, False)
    )
    for K, years, r, q, vol, is_call in rows:
        D, F = velliq.forward_terms(100.0, r, q, years)
        yield K, float(D), float(F), vol * math.sqrt(years), is_call


@pytest.mark.parametrize("setting", ["fast", "default", "high"])
def test_greeks_are_finite_wherever_the_price_is(setting):
    ufuncs = american.SETTINGS[setting]
    for K, D, F, sigma, is_call in realistic_grid():
        price = ufuncs.price(100.0, K, D, F, sigma, is_call)
        greeks = ufuncs.greeks(100.0, K, D, F, sigma, is_call)
        assert np.isfinite(greeks).all() == np.isfinite(price), (K, D, F, sigma, is_call, greeks)


@pytest.mark.parametrize("missing", range(5))
def test_a_missing_input_gives_missing_results(missing):
    args = [100.0, 105.0, 0.97, 99.0, 0.3]
    args[missing] = np.nan
    assert np.isnan(american.price(*args, False)) and np.isnan(american.greeks(*args, False)).all()


# Largest implied-volatility error, in basis points of annual volatility, when inverting the
# converged reference prices of tests/data/american_reference.csv where vega is at least 0.01
# per volatility point.
@pytest.mark.parametrize("setting, tol_bp", [("fast", 1.0), ("default", 0.1), ("high", 0.1)])
def test_implied_vols_of_the_reference_prices(setting, tol_bp):
    ref = pd.read_csv(pathlib.Path(__file__).parent / "data" / "american_reference.csv", comment="#")
    ref = ref[(ref.r >= 0) & (ref.q >= 0)]
    years = ref.days.to_numpy() / 365.0
    D, F = velliq.forward_terms(ref.S.to_numpy(), ref.r.to_numpy(), ref.q.to_numpy(), years)
    S, K, is_call, vol = ref.S.to_numpy(), ref.K.to_numpy(), (ref.side == "call").to_numpy(), ref.vol.to_numpy()
    vega_per_point = american.high.greeks(S, K, D, F, vol * np.sqrt(years), is_call)[2] * np.sqrt(years) / 100
    implied = american.SETTINGS[setting].implied_vol(ref.ql_reference.to_numpy(), S, K, D, F, is_call)
    error_bp = np.abs(implied / np.sqrt(years) - vol)[vega_per_point >= 0.01] * 1e4
    assert error_bp.max() <= tol_bp
