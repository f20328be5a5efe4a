"""velliq.baw: the kernels as NumPy ufuncs, their Greeks, sides and workers."""

import itertools
import math
import threading

import numpy as np
import pandas as pd
import pytest

import velliq
import velliq.norvane as nv
from velliq import baw

ARGS = (100.0, 100.0, 0.98, 99.0, 0.2)


# --- Ufunc behaviour -------------------------------------------------------------


def test_they_are_ufuncs():
    for ufunc, nout in ((baw.price, 1), (baw.implied_vol, 1), (baw.greeks, 5)):
        assert isinstance(ufunc, np.ufunc) and (ufunc.nin, ufunc.nout) == (6, nout)


@pytest.mark.parametrize(
    "shapes",
    [
        [(), (), (), (), (), ()],
        [(7,), (), (), (), (), ()],
        [(), (7,), (), (), (7,), (7,)],
        [(3, 1), (1, 4), (), (3, 4), (), (4,)],
        [(2, 3, 1), (5,), (1,), (), (1, 5), ()],
    ],
    ids=["scalars", "vector S", "mixed 1-D", "2-D", "3-D"],
)
def test_broadcasting_matches_the_scalar_functions(shapes):
    rng = np.random.default_rng(len(shapes[0]))
    S, K, D, F, sigma = (
        np.asarray(lo + (hi - lo) * rng.random(shape))
        for (lo, hi), shape in zip([(80, 120), (80, 120), (0.9, 0.999), (90, 110), (0.05, 0.6)], shapes)
    )
    is_call = rng.random(shapes[5]) < 0.5
    prices = baw.price(S, K, D, F, sigma, is_call)
    vols = baw.implied_vol(prices, S, K, D, F, is_call)
    assert prices.shape == np.broadcast_shapes(*shapes)
    for index in np.ndindex(prices.shape):
        args = [float(np.broadcast_to(a, prices.shape)[index]) for a in (S, K, D, F, sigma)]
        flag = "c" if np.broadcast_to(is_call, prices.shape)[index] else "p"
        assert float(np.asarray(prices)[index]) == nv.baw_price(*args, flag)
        assert math.isclose(
            float(np.asarray(vols)[index]),
            nv.baw_implied_vol(float(np.asarray(prices)[index]), *args[:4], flag),
            rel_tol=0,
            abs_tol=0,
        ) or np.isnan(np.asarray(vols)[index])


def test_zero_d_in_scalar_out():
    result = baw.price(*ARGS, True)
    assert isinstance(result, np.float64) and result == nv.baw_price(*ARGS, "c")
    assert np.ndim(baw.price(np.float64(100), *ARGS[1:], np.bool_(False))) == 0


def test_out_and_where():
    S = np.linspace(80, 120, 9)
    out = np.full(9, -7.0)
    where = S > 100
    result = baw.price(S, *ARGS[1:], True, out=out, where=where)
    assert result is out
    assert (out[~where] == -7.0).all()
    assert (out[where] == baw.price(S[where], *ARGS[1:], True)).all()
    greeks_out = tuple(np.empty(9) for _ in range(5))
    assert baw.greeks(S, *ARGS[1:], False, out=greeks_out)[0] is greeks_out[0]


@pytest.mark.parametrize("dtype", [np.float32, np.int32, np.int64, np.float16, np.uint64, np.longdouble])
def test_inputs_cast_to_double(dtype):
    S = np.array([90, 100, 110], dtype=dtype)
    assert (
        baw.price(S, 100, 0.98, 99, 0.25, True) == baw.price(S.astype(np.float64), 100.0, 0.98, 99.0, 0.25, True)
    ).all()


@pytest.mark.parametrize("is_call", ["c", 1, np.array([1, -1])])
def test_sides_are_not_guessed(is_call):
    with pytest.raises(TypeError):  # NumPy refuses to cast labels or integers to booleans
        baw.price(*ARGS, is_call)


@pytest.mark.parametrize(
    "non_real", [np.array([True]), np.array(["100"]), np.array([100 + 0j]), np.array([100.0], dtype=object)]
)
@pytest.mark.parametrize(
    "ufunc, args, position, name",
    [
        (baw.price, (*ARGS, True), 0, "S"),
        (baw.price, (*ARGS, True), 4, "sigma"),
        (baw.implied_vol, (5.0, *ARGS[:4], False), 0, "price"),
        (velliq.american.greeks, (*ARGS, True), 3, "F"),
        (velliq.american.forward_pair, (100.0, 100.0, 0.99, 4.0, 4.5, 5.0, 3.0, 3.5, 4.0), 8, "put_ask"),
        (velliq._ufuncs.time_value, (5.0, 100.0, 100.0, True), 2, "K"),
    ],
)
def test_non_real_numbers_are_refused_by_name(ufunc, args, position, name, non_real):
    given = list(args)
    given[position] = non_real
    with pytest.raises(TypeError, match=f"^{name} must be real numbers"):
        ufunc(*given)


@pytest.mark.parametrize("which", range(5))
def test_nan_in_any_input(which):
    for ufunc, values in ((baw.price, ARGS), (baw.greeks, ARGS), (baw.implied_vol, (7.4, *ARGS[:4]))):
        args = np.array([[*values]] * 2).T
        args[which, 0] = np.nan
        result = np.atleast_2d(ufunc(*args, np.array([True, True])))
        assert np.isnan(result[:, 0]).all() and not np.isnan(result[:, 1]).any()
    args = np.array([[*ARGS]] * 2).T
    args[which, 0] = np.nan
    greeks = baw.greeks(*args, np.array([True, False]))
    assert all(np.isnan(g[0]) and not np.isnan(g[1]) for g in greeks)


# --- Greeks against differences of the price -------------------------------------


def differences(S, K, D, F, sigma, is_call):
    """Fourth-order central differences of baw.price: delta and gamma move S
    and F together, keeping F/S."""

    def derivative(f, x, h):
        return (8 * (f(x + h) - f(x - h)) - (f(x + 2 * h) - f(x - 2 * h))) / (12 * h)

    def price(S=S, F=F, sigma=sigma, D=D):
        return baw.price(S, K, D, F, sigma, is_call)

    def along_spot(s):
        return price(S=s, F=s * F / S)

    h = 1e-4 * S
    gamma = (
        -along_spot(S + 2 * h) + 16 * along_spot(S + h) - 30 * price() + 16 * along_spot(S - h) - along_spot(S - 2 * h)
    ) / (12 * h * h)
    return (
        derivative(along_spot, S, h),
        gamma,
        derivative(lambda s: price(sigma=s), sigma, 1e-4 * sigma),
        derivative(lambda f: price(F=f), F, 1e-5 * F),
        derivative(lambda d: price(D=d), D, 1e-5 * (1 - D)),
    )


GREEK_GRID = list(
    itertools.product((80.0, 100.0, 125.0), (0.9, 0.97, 0.995), (0.96, 1.0, 1.03), (0.1, 0.3, 0.7), (True, False))
)


@pytest.mark.parametrize("S, D, carry, sigma, is_call", GREEK_GRID)
def test_greeks_agree_with_differences(S, D, carry, sigma, is_call):
    K, F = 100.0, S * carry
    exact = baw.greeks(S, K, D, F, sigma, is_call)
    approx = differences(S, K, D, F, sigma, is_call)
    price = baw.price(S, K, D, F, sigma, is_call)
    if price == max(S - K, 0.0) if is_call else price == max(K - S, 0.0):
        return  # on or beyond the boundary: tested below
    scales = (1.0, max(abs(exact[1]), 1e-4), max(abs(exact[2]), 1e-2), 1.0, max(abs(exact[4]), 1.0))
    for name, e, a, scale in zip(("delta", "gamma", "vega", "dF", "dD"), exact, approx, scales):
        assert abs(e - a) <= 1e-6 * scale + 1e-6 * abs(e), (name, e, a)


@pytest.mark.parametrize(
    "S, K, D, F, sigma, is_call, delta",
    [
        (150.0, 100.0, 0.95, 145.0, 0.1, True, 1.0),  # call beyond its boundary (about 109)
        (60.0, 100.0, 0.95, 61.0, 0.2, False, -1.0),  # put below its boundary (about 76)
        (120.0, 100.0, 0.95, 125.0, 0.0, True, 1.0),  # no volatility: exercise value
        (80.0, 100.0, 0.95, 85.0, -0.1, True, 0.0),
    ],
)
def test_greeks_in_the_exercise_region(S, K, D, F, sigma, is_call, delta):
    assert baw.greeks(S, K, D, F, sigma, is_call) == (delta, 0.0, 0.0, 0.0, 0.0)


def test_european_greeks_where_exercise_is_never_optimal():
    S, K, F, sigma = 100.0, 100.0, 99.0, 0.2
    delta, gamma, vega, dF, dD = baw.greeks(S, K, 1.0, F, sigma, True)
    d1 = math.log(F / K) / sigma + sigma / 2
    n = math.exp(-d1 * d1 / 2) / math.sqrt(2 * math.pi)
    assert dF == pytest.approx(0.5 * math.erfc(-d1 / math.sqrt(2)), rel=1e-14)
    assert vega == pytest.approx(F * n, rel=1e-14) and delta == pytest.approx(F / S * dF, rel=1e-14)


# --- Sides -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "given, expected",
    [
        (["c", "p", "C", "P", "call", "PUT", "Call"], [1, 0, 1, 0, 1, 0, 1]),
        ([True, False], [1, 0]),
        (np.array([1, -1, 1], dtype=np.int8), [1, 0, 1]),
        ([1.0, -1.0], [1, 0]),
        (pd.Series(["call", "put", "call"], dtype="category"), [1, 0, 1]),
        (pd.Series(["c", "p"]), [1, 0]),
        (np.array([b"c", b"P"]), [1, 0]),
        (["c", 1, True, "put", -1], [1, 1, 1, 0, 0]),
        ([True, False, 1, -1], [1, 0, 1, 0]),
        ((s for s in "cp"), [1, 0]),
    ],
)
def test_sides_accepted(given, expected):
    result = velliq.sides(given)
    assert result.dtype == bool and result.tolist() == [bool(e) for e in expected]


@pytest.mark.parametrize(
    "given, bad, position",
    [
        (["c", "p", "x"], "x", 2),
        ([1, -1, 0], 0, 2),
        (["c", None], None, 1),
        ([[1, -1], [2, 1]], 2, (1, 0)),
        (["c", 2.5], 2.5, 1),
        (pd.Series(["c", None, "p"], dtype="category"), None, 1),
        ("cp", "cp", 0),
        ([float("nan")], float("nan"), 0),
    ],
)
def test_sides_refused(given, bad, position):
    with pytest.raises(ValueError, match=rf"side .* at position {__import__('re').escape(str(position))} is not"):
        velliq.sides(given)


# (price, S, K, is_call, time value): the price less max(S - K, 0) for a call and
# max(K - S, 0) for a put, worked by hand; NaN in any input gives NaN.
TIME_VALUES = [
    (12.5, 110.0, 100.0, True, 2.5),
    (12.5, 110.0, 100.0, False, 12.5),
    (3.0, 90.0, 100.0, False, -7.0),
    (0.0, 90.0, 100.0, True, 0.0),
    (-0.5, 90.0, 100.0, True, -0.5),  # a negative price is below every exercise value
    (np.nan, 110.0, 100.0, True, np.nan),
    (12.5, np.nan, 100.0, False, np.nan),
    (12.5, 110.0, np.nan, True, np.nan),
]


@pytest.mark.parametrize(("price", "S", "K", "is_call", "expected"), TIME_VALUES)
def test_time_value(price, S, K, is_call, expected):
    from velliq import _ufuncs

    np.testing.assert_equal(_ufuncs.time_value(price, S, K, is_call), expected)


# Quotes of no option or not finite: S, K or D not positive and finite, the quote
# infinite or NaN (the put's exercise value is K - S, so a quote below K once gave
# the accurate model's volatility 0.0 where its reason said missing_input).
NO_OPTION = [
    (50.0, 0.0, 100.0, 0.99, 100.0),
    (50.0, -1.0, 100.0, 0.99, -1.0),
    (50.0, np.inf, 100.0, 0.99, np.inf),
    (50.0, 100.0, np.inf, 0.99, 100.0),
    (50.0, 100.0, 100.0, 0.0, 100.0),
    (np.inf, 100.0, 100.0, 0.99, 100.0),
    (np.nan, 100.0, 100.0, 0.99, 100.0),
]


@pytest.mark.parametrize(
    ("model", "suffix"), [("baw", ""), ("american", ""), ("american", "_fast"), ("american", "_high")]
)
def test_implied_vol_is_the_reasons_vol(model, suffix):
    from velliq import _ufuncs

    args = (*np.array(NO_OPTION).T, np.array([False, True] * 3 + [False]))
    vol = getattr(_ufuncs, f"{model}_implied_vol{suffix}")(*args)
    reason_vol, reason = getattr(_ufuncs, f"{model}_implied_vol_reason{suffix}")(*args)
    np.testing.assert_equal(vol, reason_vol)
    assert np.isnan(vol).all() and {_ufuncs.REASONS[r] for r in reason} == {"missing_input"}


def test_forward_terms():
    D, F = velliq.forward_terms(100.0, 0.05, 0.02, np.array([0.5, 2.0]))
    assert D.tolist() == [math.exp(-0.025), math.exp(-0.1)]
    assert F.tolist() == [100.0 * math.exp(0.015), 100.0 * math.exp(0.06)]


# --- Workers -----------------------------------------------------------------------


@pytest.fixture(scope="module")
def book():
    rng = np.random.default_rng(5)
    n = 20_001
    K = rng.uniform(50, 150, n)
    D, F = velliq.forward_terms(100.0, rng.uniform(0, 0.06, n), rng.uniform(0, 0.04, n), rng.uniform(0.02, 3, n))
    sigma = rng.uniform(0.05, 0.8, n)
    is_call = rng.random(n) < 0.5
    return K, D, F, sigma, is_call


@pytest.mark.parametrize("n_workers", [2, 3, 7])
def test_workers_give_the_same_bits(book, n_workers):
    K, D, F, sigma, is_call = book
    single = [
        np.atleast_1d(u(*args))
        for u, args in ((baw.price, (100.0, K, D, F, sigma, is_call)), (baw.greeks, (100.0, K, D, F, sigma, is_call)))
    ]
    prices = single[0][0] if single[0].ndim > 1 else single[0]
    vols = baw.implied_vol(prices[:3000], 100.0, K[:3000], D[:3000], F[:3000], is_call[:3000])
    with velliq.workers(n_workers):
        assert baw.price(100.0, K, D, F, sigma, is_call).tobytes() == prices.tobytes()
        assert all(
            a.tobytes() == b.tobytes()
            for a, b in zip(baw.greeks(100.0, K, D, F, sigma, is_call), baw.greeks(100.0, K, D, F, sigma, is_call))
        )
        assert (
            baw.implied_vol(prices[:3000], 100.0, K[:3000], D[:3000], F[:3000], is_call[:3000]).tobytes()
            == vols.tobytes()
        )


def test_workers_belong_to_the_calling_thread(book):
    K, D, F, sigma, is_call = book
    expected = baw.price(100.0, K, D, F, sigma, is_call)
    results = {}

    def run(name, n):
        with velliq.workers(n):
            results[name] = baw.price(100.0, K, D, F, sigma, is_call)

    threads = [threading.Thread(target=run, args=(i, 1 + i % 3)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(r.tobytes() == expected.tobytes() for r in results.values())


@pytest.mark.parametrize("n", [0, -1, 1025, 2**40, 2**63])
def test_workers_from_one_to_the_cap_and_restored_exactly(n):
    with velliq.workers(3):
        with velliq.workers(2):
            pass
        with pytest.raises(ValueError, match=f"^workers must be from 1 to 1024, not {n}$"):
            with velliq.workers(n):
                pass
        with pytest.raises(ValueError, match=f"^workers must be from 1 to 1024, not {n}$"):
            velliq._ufuncs._set_workers(n)
        assert velliq._ufuncs._set_workers(3) == 3  # the outer block's count, untouched
    assert velliq._ufuncs._set_workers(1) == 1


# --- Dask and xarray ---------------------------------------------------------------


def test_dask_array_blocks():
    da = pytest.importorskip("dask.array")
    S = da.from_array(np.linspace(80, 120, 1000), chunks=100)
    lazy = baw.price(S, 100.0, 0.98, 99.0, 0.2, True)
    assert isinstance(lazy, da.Array)
    assert lazy.compute().tobytes() == baw.price(np.linspace(80, 120, 1000), 100.0, 0.98, 99.0, 0.2, True).tobytes()


def test_xarray_apply_ufunc():
    xr = pytest.importorskip("xarray")
    S = xr.DataArray(np.linspace(80, 120, 5), dims="spot")
    sigma = xr.DataArray([0.1, 0.2, 0.3], dims="vol")
    result = xr.apply_ufunc(baw.price, S, 100.0, 0.98, 99.0, sigma, True)
    assert result.dims == ("spot", "vol") and float(result[2, 1]) == nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, "c")
