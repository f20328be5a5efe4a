"""Python surface of velliq.norvane: argument binding, numeric conversion, the
option flag, traceback entries, scalar results and the function objects."""

import copy
import inspect
import itertools
import math
import pickle
import re
import sys
from multiprocessing.reduction import ForkingPickler

import numpy as np
import pytest

import velliq.norvane as nv

NAMES = ["baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"]
PARAMS = {
    "baw_price": ("S", "K", "D", "F", "sigma", "flag"),
    "baw_implied_vol": ("price", "S", "K", "D", "F", "flag"),
    "vectorized_baw_implied_vol": ("prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"),
    "find_forward_baw": ("call_prices", "put_prices", "strikes", "S", "D", "strike_pct"),
}
VALID = {
    "baw_price": (100.0, 100.0, 0.98, 99.0, 0.2, "c"),
    "baw_implied_vol": (7.4, 100.0, 100.0, 0.98, 99.0, "c"),
    "vectorized_baw_implied_vol": ([7.4, 8.3], [100.0] * 2, [100.0] * 2, [0.98] * 2, [99.0] * 2, ["c", "p"]),
    "find_forward_baw": ([9.0, 7.4, 5.9], [6.9, 8.3, 9.8], [97.0, 100.0, 103.0], 100.0, 0.98, 0.05),
}
REQUIRED = {name: 5 if name == "find_forward_baw" else 6 for name in NAMES}


class Boom(Exception):
    pass


class FloatSub(float):
    pass


class SpotStr(str):
    pass


class StrikeStr(str):
    pass


class RaisingEq(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Boom("eq")


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


class EqToRaisingBool:
    def __eq__(self, other):
        return RaisingBool()


class Index:  # integer-index conversion only
    def __index__(self):
        return 100


class RaisingFloat:
    def __float__(self):
        raise Boom("float")


def count_message(name, qualifier, number, given):
    return re.escape(f"{name}() takes {qualifier} {number} positional arguments ({given} given)")


# --- Binding -------------------------------------------------------------------


@pytest.mark.parametrize("name", NAMES)
def test_count_errors(name):
    f, args, r = getattr(nv, name), VALID[name], REQUIRED[name]
    too_many, too_few = ("exactly", "exactly") if r == 6 else ("at most", "at least")
    for kwargs in ({}, {PARAMS[name][0]: 1.0}, {"bogus": 1.0}):  # checked before keywords
        with pytest.raises(TypeError, match=count_message(name, too_many, 6, 7)):
            f(*args, 1.0, **kwargs)
    with pytest.raises(TypeError, match=count_message(name, too_few, r, r - 1)):
        f(*args[: r - 1])
    # p0, p1 positional and p2 by keyword: p3 is the first unbound parameter.
    with pytest.raises(TypeError, match=count_message(name, too_few, r, 3)):
        f(*args[:2], **{PARAMS[name][2]: args[2]})


@pytest.mark.parametrize("name", NAMES)
def test_keyword_errors(name):
    f, args, params = getattr(nv, name), VALID[name], PARAMS[name]
    with pytest.raises(TypeError, match=re.escape(f"{name}() got multiple values for keyword argument '{params[0]}'")):
        f(*args, **{params[0]: args[0]})
    unexpected = re.escape(f"{name}() got an unexpected keyword argument 'bogus'")
    with pytest.raises(TypeError, match=unexpected):
        f(*args, bogus=1)
    with pytest.raises(TypeError, match=unexpected):  # reported before the missing parameters
        f(args[0], bogus=1)
    # Names are case-sensitive: "s" does not bind "S" (or "s_arr" "S_arr").
    i = next(i for i, p in enumerate(params) if p.startswith("S"))
    with pytest.raises(TypeError, match=re.escape(f"argument '{params[i].lower()}'")):
        f(*args[:i], **{params[i].lower(): args[i]}, **dict(zip(params[i + 1 :], args[i + 1 :])))
    with pytest.raises(TypeError, match="^keywords must be strings$"):
        f(*args, **{1: 2})


@pytest.mark.parametrize("name", NAMES)
def test_keywords_in_any_order(name):
    f, args, params = getattr(nv, name), VALID[name], PARAMS[name]
    expected = f(*args)
    by_name = dict(zip(params, args))
    np.testing.assert_array_equal(f(**dict(reversed(by_name.items()))), expected)
    np.testing.assert_array_equal(f(*args[:3], **dict(reversed(list(by_name.items())[3:]))), expected)


def test_find_forward_strike_pct_default():
    args = VALID["find_forward_baw"][:5]
    assert nv.find_forward_baw(*args) == nv.find_forward_baw(*args, 0.01)
    assert nv.find_forward_baw(*args) == nv.find_forward_baw(*args, strike_pct=0.01)


# --- Numeric conversion ----------------------------------------------------------


@pytest.mark.parametrize(
    "position, value, as_float",
    [
        (0, 100, 100.0),
        (4, True, 1.0),
        (0, np.float32(100.0), 100.0),
        (1, np.int64(100), 100.0),
        (0, np.float64(100.0), 100.0),
        (3, FloatSub(99.0), 99.0),
        (1, Index(), 100.0),
    ],
)
def test_numeric_conversion(position, value, as_float):
    args = list(VALID["baw_price"])
    expected = nv.baw_price(*args[:position], as_float, *args[position + 1 :])
    args[position] = value
    assert nv.baw_price(*args) == expected


@pytest.mark.parametrize("minus_one", [-1.0, -1, np.float64(-1.0), FloatSub(-1.0)])
def test_minus_one_is_a_value(minus_one):
    # A negative sigma selects the spot intrinsic value.
    assert nv.baw_price(120.0, 100.0, 0.98, 99.0, minus_one, "c") == 20.0
    assert nv.baw_implied_vol(minus_one, 100.0, 100.0, 0.98, 99.0, "c") == 0.0


@pytest.mark.parametrize(
    "f, args, exc, match",
    [
        (nv.baw_price, ("100", 100.0, 0.98, 99.0, 0.2, "c"), TypeError, "str"),
        (nv.baw_price, (100.0, 100.0, 0.98, None, 0.2, "c"), TypeError, "NoneType"),
        (nv.baw_price, (10**400, 100.0, 0.98, 99.0, 0.2, "c"), OverflowError, None),
        # The first failing conversion ends the call: the error concerns S, not K.
        (nv.baw_price, (SpotStr("100"), StrikeStr("100"), 0.98, 99.0, 0.2, "c"), TypeError, "SpotStr"),
        # The numeric error is reported before the flag's comparison runs.
        (nv.baw_price, ("x", 100.0, 0.98, 99.0, 0.2, RaisingEq("c")), TypeError, "str"),
        (nv.baw_implied_vol, (7.4, 100.0, RaisingFloat(), 0.98, 99.0, "c"), Boom, "float"),
        (nv.find_forward_baw, ([1.0], [1.0], [1.0], 100.0, 0.98, "0.01"), TypeError, "str"),
        (nv.find_forward_baw, ([1.0], [1.0], [1.0], RaisingFloat(), 0.98), Boom, "float"),
    ],
)
def test_conversion_errors(f, args, exc, match):
    with pytest.raises(exc, match=match):
        f(*args)


# --- Flag ------------------------------------------------------------------------

CALL = nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, "c")
PUT = nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, "p")


@pytest.mark.parametrize(
    "flag, expected",
    [
        ("c", CALL),
        (np.str_("c"), CALL),
        (SpotStr("c"), CALL),
        ("C", PUT),
        ("call", PUT),
        ("p", PUT),
        (b"c", PUT),
        (None, PUT),
        (1, PUT),
        ("", PUT),
    ],
)
def test_flag_selects_side(flag, expected):
    assert CALL != PUT
    assert nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, flag) == expected


@pytest.mark.parametrize("name", ["baw_price", "baw_implied_vol"])
@pytest.mark.parametrize(
    "flag, exc",
    [
        (RaisingEq("c"), Boom),
        (EqToRaisingBool(), Boom),
        (np.array(["c", "p"]), ValueError),
    ],
)
def test_flag_errors_propagate(name, flag, exc):
    with pytest.raises(exc):
        getattr(nv, name)(*VALID[name][:5], flag)


# --- Traceback entries -----------------------------------------------------------


def failing_calls(name):
    """(kind, args, kwargs) of binding, conversion and body errors of `name`."""
    args = VALID[name]
    calls = [("binding", (*args, 1.0), {}), ("binding", args, {"bogus": 1})]
    if name == "vectorized_baw_implied_vol":
        calls.append(("body", (*args[:5], [RaisingEq("c")] * 2), {}))
    elif name == "find_forward_baw":
        calls.append(("conversion", (*args[:3], "x", *args[4:]), {}))
        calls.append(("body", (["x"], *args[1:]), {}))
    else:
        calls.append(("conversion", (*args[:4], "x", args[5]), {}))
        calls.append(("body", (*args[:5], EqToRaisingBool()), {}))
    return calls


@pytest.mark.parametrize("name", NAMES)
def test_traceback_entries(name):
    lines = {}
    for kind, args, kwargs in failing_calls(name):
        with pytest.raises(Exception) as info:
            getattr(nv, name)(*args, **kwargs)
        entries, tb = [], info.value.__traceback__.tb_next  # below this test's own frame
        while tb is not None:
            entries.append(tb)
            tb = tb.tb_next
        # Exactly one entry of the module, directly below the caller.
        assert [e.tb_frame.f_code.co_filename for e in entries].count("velliq/norvane") == 1
        code = entries[0].tb_frame.f_code
        assert (code.co_name, code.co_filename) == (f"velliq.norvane.{name}", "velliq/norvane")
        assert entries[0].tb_frame.f_globals is nv.__dict__
        lines.setdefault(kind, set()).add(entries[0].tb_lineno)
    # Binding and conversion errors point at one line (the definition); body errors elsewhere.
    signature_lines = lines["binding"] | lines.get("conversion", set())
    assert len(signature_lines) == 1 and lines["body"].isdisjoint(signature_lines)


# --- Results -----------------------------------------------------------------


def test_scalar_results():
    assert type(CALL) is float and type(PUT) is float
    assert CALL == pytest.approx(7.41, abs=5e-3) and PUT == pytest.approx(8.28, abs=5e-3)
    for sigma in (0, 0.0, -0.3):
        assert nv.baw_price(120.0, 100.0, 0.9, 130.0, sigma, "c") == 20.0
        assert nv.baw_price(120.0, 100.0, 0.9, 130.0, sigma, "p") == 0.0
        assert nv.baw_price(80.0, 100.0, 0.9, 70.0, sigma, "p") == 20.0
    iv = nv.baw_implied_vol(7.4, 100, 100, 0.98, 99, "c")
    assert type(iv) is float and iv == pytest.approx(0.2, abs=1e-3)
    nan = nv.baw_implied_vol(99.5, 100.0, 100.0, 0.98, 99.0, "c")
    assert type(nan) is float and math.isnan(nan) and math.copysign(1.0, nan) == 1.0
    assert math.isnan(nv.baw_implied_vol(0.5, 100.0, 100.0, 0.98, 99.0, "p"))
    assert nv.baw_implied_vol(20.0, 120.0, 100.0, 0.98, 99.0, "c") == 0.0


GRID = list(
    itertools.product(
        (80.0, 100.0, 125.0), (90.0, 110.0), (0.9, 0.98, 1.0), (0.97, 1.0, 1.04), (0.05, 0.2, 0.6, 1.5), "cp"
    )
)


def test_price_implied_vol_round_trip():
    checked = 0
    for S, K, D, carry, sigma, flag in GRID:
        F = S * carry
        price = nv.baw_price(S, K, D, F, sigma, flag)
        iv = nv.baw_implied_vol(price, S, K, D, F, flag)
        case = (S, K, D, F, sigma, flag, price, iv)
        intrinsic = max(S - K, 0.0) if flag == "c" else max(K - S, 0.0)
        if price <= intrinsic + 1e-10:  # no time value: volatility not identifiable
            assert iv == 0.0, case
            continue
        h = 1e-4 * sigma
        vega = (nv.baw_price(S, K, D, F, sigma + h, flag) - nv.baw_price(S, K, D, F, sigma - h, flag)) / (2 * h)
        if vega < 1e-3:  # too flat to pin sigma to 1e-8: the root must reprice the quote
            assert abs(nv.baw_price(S, K, D, F, iv, flag) - price) <= 1e-9 * max(1.0, price), case
        else:
            assert abs(iv - sigma) <= 1e-8, case
            checked += 1
    assert checked > len(GRID) // 2


# --- Function objects ------------------------------------------------------------

DOCS = {
    "baw_price": "BAW American option price (C++).\n\n"
    "    S spot, K strike, D discount factor, F forward, sigma total std dev.\n"
    "    flag: 'c' or 'p'.\n    ",
    "baw_implied_vol": "BAW implied total std dev (C++).\n\n    Returns sigma or NaN on failure.\n    ",
    "vectorized_baw_implied_vol": "Batch BAW IV extraction (C++).\n\n"
    "    All inputs are arrays of equal length. flags is array of 'c'/'p'.\n"
    "    Returns numpy array of implied vols.\n    ",
    "find_forward_baw": "Find forward price F where BAW call IV \u2248 put IV across near-ATM strikes.",
}


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(name):
    f = getattr(nv, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "velliq.norvane")
    assert f.__doc__ == DOCS[name]
    assert f.__defaults__ == ((0.01,) if name == "find_forward_baw" else None)
    assert f.__globals__ is nv.__dict__
    params = inspect.signature(f).parameters
    assert tuple(params) == PARAMS[name]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    defaults = [p.default for p in params.values() if p.default is not inspect.Parameter.empty]
    assert defaults == list(f.__defaults__ or ())
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
    assert copy.deepcopy(f) is f


def test_pickle_list_of_functions():
    funcs = [getattr(nv, name) for name in NAMES]
    restored = pickle.loads(ForkingPickler.dumps(funcs))
    assert all(a is b for a, b in zip(restored, funcs, strict=True))


# --- Error paths leave no references behind -------------------------------------


@pytest.mark.parametrize("kind", ["binding", "keyword", "conversion", "flag"])
def test_no_reference_leaks(kind):
    x, s, bad = 1.5e10, "not a number", EqToRaisingBool()
    f = nv.baw_price
    call = {
        "binding": lambda: f(x, x, x, x, x, x, x),
        "keyword": lambda: f(x, x, x, x, x, s, S=x),
        "conversion": lambda: f(x, x, s, x, x, bad),
        "flag": lambda: f(x, x, x, x, x, bad),
    }[kind]
    watched = (x, s, bad, f, nv.__dict__)
    with pytest.raises((TypeError, Boom)):
        call()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(3000):
        try:
            call()
        except (TypeError, Boom):
            pass
    assert [sys.getrefcount(obj) for obj in watched] == before
