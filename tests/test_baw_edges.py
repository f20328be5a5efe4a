"""velliq.baw at the edges: the exercise-value floor at rates <= 0, NaN outside the
inputs' domain, and the refusal of a non-boolean is_call by every ufunc."""

import math

import numpy as np
import pytest
from scipy.optimize import brentq
from scipy.stats import norm

import velliq
import velliq.norvane as nv
from velliq import _ufuncs, baw

# Rate <= 0: S = 100, one year, (r, q) chosen so that the Black price of a deep
# in-the-money option is below its exercise value.
CALL_CASE = (100.0, 80.0, *velliq.forward_terms(100.0, -0.005, 0.03, 1.0), True)  # D >= 1, F < S
PUT_CASE = (100.0, 150.0, *velliq.forward_terms(100.0, -0.02, -0.05, 1.0), False)  # D >= 1, F > S
EDGE_CASES = pytest.mark.parametrize("S, K, D, F, is_call", [CALL_CASE, PUT_CASE], ids=["call", "put"])


def exercise_value(S, K, is_call):
    return max(S - K, 0.0) if is_call else max(K - S, 0.0)


def black_price(K, D, F, sigma, is_call):
    d1 = math.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    return D * (F * norm.cdf(d1) - K * norm.cdf(d2)) if is_call else D * (K * norm.cdf(-d2) - F * norm.cdf(-d1))


@EDGE_CASES
@pytest.mark.parametrize("sigma", [0.05, 0.2])
def test_price_is_the_exercise_value_where_the_approximation_falls_below_it(S, K, D, F, is_call, sigma):
    assert black_price(K, D, F, sigma, is_call) < exercise_value(S, K, is_call)  # the unfloored price
    price = baw.price(S, K, D, F, sigma, is_call)
    assert price == exercise_value(S, K, is_call) == nv.baw_price(S, K, D, F, sigma, "c" if is_call else "p")
    assert baw.greeks(S, K, D, F, sigma, is_call) == (1.0 if is_call else -1.0, 0.0, 0.0, 0.0, 0.0)
    # price -> vol -> price: a quote at the exercise value has volatility 0, priced at that value.
    assert baw.implied_vol(price, S, K, D, F, is_call) == 0.0 and baw.price(S, K, D, F, 0.0, is_call) == price


@EDGE_CASES
@pytest.mark.parametrize("above", [1e-6, 0.3, 5.0])
def test_implied_vol_of_a_quote_above_the_exercise_value(S, K, D, F, is_call, above):
    # Above its floor the approximation with D >= 1 is the Black price, so the
    # volatility is Black's, solved here with SciPy's brentq.
    quote = exercise_value(S, K, is_call) + above
    expected = brentq(lambda s: black_price(K, D, F, s, is_call) - quote, 1e-3, 3.0, xtol=1e-14)
    vol = baw.implied_vol(quote, S, K, D, F, is_call)
    assert vol == pytest.approx(expected, rel=1e-8)
    assert baw.price(S, K, D, F, vol, is_call) == pytest.approx(quote, rel=1e-12, abs=1e-9)


BAD_INPUTS = [
    (0.0, 100.0, 0.99, 100.0),
    (-100.0, 100.0, 0.99, 100.0),
    (100.0, 0.0, 0.99, 100.0),
    (100.0, -100.0, 0.99, 100.0),
    (100.0, 100.0, 0.0, 100.0),
    (100.0, 100.0, -1.0, 100.0),
    (100.0, 100.0, 0.99, 0.0),
    (100.0, 100.0, 0.99, -100.0),
    (math.inf, 100.0, 0.99, 100.0),
    (100.0, math.inf, 0.99, 100.0),
    (100.0, 100.0, math.inf, 100.0),
    (100.0, 100.0, 0.99, math.inf),
]


@pytest.mark.parametrize("S, K, D, F", BAD_INPUTS)
@pytest.mark.parametrize("is_call", [True, False])
def test_ufuncs_give_nan_outside_the_domain(S, K, D, F, is_call):
    assert np.isnan(baw.price(S, K, D, F, 0.2, is_call))
    assert np.isnan(baw.implied_vol(10.0, S, K, D, F, is_call))
    assert np.isnan(baw.greeks(S, K, D, F, 0.2, is_call)).all()


@pytest.mark.parametrize("quote", [math.inf, -math.inf])
def test_implied_vol_of_an_infinite_quote_is_nan(quote):
    assert np.isnan(baw.implied_vol(quote, 100.0, 100.0, 0.99, 100.0, True))


def test_norvane_keeps_its_value_outside_the_domain():
    # With D = 1 the core prices the European option, which does not involve S:
    # at the money, Black's F (2 N(sigma / 2) - 1). S = 0 is neither floored nor NaN.
    expected = 100.0 * (2 * norm.cdf(0.1) - 1)
    assert nv.baw_price(0.0, 100.0, 1.0, 100.0, 0.2, "p") == pytest.approx(expected, rel=1e-14)


# Every ufunc whose last input is is_call.
UFUNCS = [
    ufunc
    for ufunc in (getattr(_ufuncs, name) for name in dir(_ufuncs))
    if isinstance(ufunc, np.ufunc) and ufunc.types[0].split("->")[0].endswith("?")
]
NOT_BOOLEAN = ["p", -1, 1.0, np.array(["c", "p"]), np.array([True, False], dtype=object)]


@pytest.mark.parametrize("ufunc", UFUNCS, ids=lambda u: u.__name__)
@pytest.mark.parametrize("is_call", NOT_BOOLEAN, ids=["label", "minus one", "float", "labels", "object bools"])
def test_every_ufunc_refuses_a_non_boolean_is_call_by_name(ufunc, is_call):
    numbers = (100.0, 100.0, 0.99, 100.0, 0.2)[: ufunc.nin - 1]
    with pytest.raises(TypeError, match=r"is_call must be booleans .*velliq\.sides\(\.\.\.\)"):
        ufunc(*numbers, is_call)
    out = tuple(np.zeros(2) for _ in range(ufunc.nout))
    with pytest.raises(TypeError, match="is_call must be booleans"):
        ufunc(*numbers, is_call, out=out, where=np.array([True, False]))


@pytest.mark.parametrize("is_call", [True, np.True_, np.array([True, True])], ids=["bool", "numpy bool", "array"])
def test_booleans_still_work_with_integer_operands_out_and_where(is_call):
    expected = nv.baw_price(100.0, 100.0, 0.99, 100.0, 0.2, "c")
    out = np.full(2, -1.0)
    baw.price(100, 100, 0.99, 100, 0.2, is_call, out=out, where=np.array([True, False]))
    assert out.tolist() == [expected, -1.0]
