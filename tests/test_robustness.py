"""Hostile input against velliq.norvane's four entry points: generated doubles,
objects and arrays; reference, memory and buffer-export leaks on every way out;
concurrent calls from several threads while Python code keeps running."""

import collections
import contextlib
import math
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velliq.norvane as nv

CASES = collections.Counter()  # cases and calls per entry point, printed after the module
GROWTH = [(0, 0)]  # (allocated blocks, traced bytes) gained over each leak run
FUZZ = settings(deadline=2000, suppress_health_check=[HealthCheck.too_slow])
CLEAN = (TypeError, ValueError, OverflowError)
VALID = {
    "baw_price": (100.0, 100.0, 0.98, 99.0, 0.2, "c"),
    "baw_implied_vol": (7.4, 100.0, 100.0, 0.98, 99.0, "c"),
    "vectorized_baw_implied_vol": (
        [7.4, 8.3, 3.0, 20.5],
        [100.0] * 4,
        [100.0, 100.0, 110.0, 80.0],
        [0.98] * 4,
        [99.0] * 4,
        ["c", "p", "c", "p"],
    ),
    "find_forward_baw": ([9.0, 7.4, 5.9], [6.9, 8.3, 9.8], [97.0, 100.0, 103.0], 100.0, 0.98, 0.05),
}
NAMES = list(VALID)
BATCH_NAMES = ("prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags")


class Boom(Exception):
    pass


def boom(*_):
    raise Boom()


class RaisingFloat:
    __float__ = boom


class RaisingIndex:
    __index__ = boom


class RaisingBool:
    __bool__ = boom


class RaisingEq:
    __eq__ = boom


class EqReturns:  # __eq__ answers with an arbitrary object, whose truth test decides
    def __init__(self, answer):
        self.answer = answer

    def __eq__(self, other):
        return self.answer


@pytest.fixture(scope="module", autouse=True)
def report_counts(request):
    yield
    with request.config.pluginmanager.getplugin("capturemanager").global_and_fixture_disabled():
        print("\ncases:", ", ".join(f"{k} {v}" for k, v in CASES.items()))
        blocks, size = map(max, zip(*GROWTH))
        print(f"largest growth over a leak run: {blocks} blocks, {size} bytes")


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.int64).tolist()


def batch_reference(args):
    """baw_implied_vol element by element over NumPy's float64 conversion of each input."""
    columns = [np.ascontiguousarray(a, dtype=np.float64).tolist() for a in args[:5]]
    return [nv.baw_implied_vol(*row) for row in zip(*columns, list(args[5]))]


# --- Any doubles, any objects, any arrays --------------------------------------------

number = st.floats() | st.floats(0.5, 150.0) | st.sampled_from([0.0, -0.0, 1.0, 0.98, 100.0, 5e-324])
flag = st.sampled_from(["c", "p"])


@FUZZ
@given(st.tuples(*[st.floats()] * 5), flag, st.lists(st.tuples(number, number, number), max_size=4))
def test_any_doubles_give_floats(x, flag, rows):
    CASES.update(["baw_price", "baw_implied_vol", "find_forward_baw"])
    assert type(nv.baw_price(*x, flag)) is float
    iv = nv.baw_implied_vol(*x, flag)
    assert type(iv) is float and not iv < 0  # a failure is NaN, never negative
    columns = [np.array(c, dtype=float) for c in zip(*rows)] or [np.empty(0)] * 3
    assert type(nv.find_forward_baw(*columns, *x[:3])) is float


# S, K, D < 1 (at D = 1 the price is the European one, which may lie below S - K), F / S, sigma
@FUZZ
@given(
    st.floats(0.01, 1e4),
    st.floats(0.01, 1e4),
    st.floats(1e-3, 1.0, exclude_max=True),
    st.floats(0.2, 5.0),
    st.floats(1e-3, 5.0),
    flag,
)
def test_price_and_found_volatility_in_the_domain(S, K, D, carry, sigma, flag):
    CASES.update(["baw_price", "baw_implied_vol"])
    F, intrinsic = S * carry, max(S - K, 0.0) if flag == "c" else max(K - S, 0.0)
    price = nv.baw_price(S, K, D, F, sigma, flag)
    assert math.isfinite(price) and price >= intrinsic - 1e-12 * (S + K)
    iv = nv.baw_implied_vol(price, S, K, D, F, flag)
    if math.isnan(iv):  # no bracket: allowed only for a quote below the price at sigma = 1e-8
        CASES["baw_implied_vol: quote below the price at 1e-8"] += 1
        assert price < nv.baw_price(S, K, D, F, 1e-8, flag)
    elif iv == 0.0:
        assert price <= intrinsic + 1e-10
    else:  # compare prices, not sigmas: where vega is tiny many sigmas fit the quote
        assert abs(nv.baw_price(S, K, D, F, iv, flag) - price) <= 1e-9 * (S + K + F)


@FUZZ
@given(st.lists(st.tuples(number, number, number, number, number, flag), max_size=8))
def test_batch_equals_scalar_bitwise(rows):
    CASES["vectorized_baw_implied_vol"] += 1
    columns = list(zip(*rows)) or [()] * 6
    args = [np.array(c, dtype=float) for c in columns[:5]] + [list(columns[5])]
    out = nv.vectorized_baw_implied_vol(*args)
    assert out.dtype == np.float64 and out.shape == (len(rows),)
    assert bits(out) == bits(batch_reference(args))


hostile = st.one_of(
    st.text(max_size=3),
    st.binary(max_size=2),
    st.none(),
    st.booleans(),
    st.floats(),
    st.just(object()),
    st.integers(-(2**1100), 2**1100),
    st.sampled_from([2**1024, -(2**5000), 10**400]),
    st.lists(st.floats() | st.text(max_size=2) | st.none() | st.integers() | st.binary(max_size=1), max_size=4),
    st.builds(RaisingFloat),
    st.builds(RaisingIndex),
    st.builds(RaisingBool),
    st.builds(RaisingEq),
    st.sampled_from([RaisingBool(), np.array([True, False]), "yes", 0, None, NotImplemented]).map(EqReturns),
    st.lists(st.builds(RaisingEq) | st.builds(RaisingFloat) | st.just("c"), max_size=4),
    st.dictionaries(st.text(max_size=1), st.floats(), max_size=2),
    hnp.arrays(
        hnp.scalar_dtypes()
        | hnp.floating_dtypes(endianness=">")
        | hnp.unicode_string_dtypes(max_len=3)
        | hnp.byte_string_dtypes(max_len=2),
        hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=5),
    ),
)


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning", "ignore::RuntimeWarning")
@settings(FUZZ, max_examples=500)
@given(st.sampled_from(NAMES), st.data())
def test_any_objects_give_a_result_or_a_clean_error(name, data):
    CASES[name] += 1
    args = list(VALID[name])
    for i in data.draw(st.sets(st.integers(0, len(args) - 1), min_size=1, max_size=3)):
        args[i] = data.draw(hostile)
    try:
        result = getattr(nv, name)(*args)
    except (*CLEAN, IndexError, Boom):  # IndexError: NumPy's, for a mask of another length
        return
    if name == "vectorized_baw_implied_vol":
        assert bits(result) == bits(batch_reference(args)) and result.dtype == np.float64
    else:
        assert type(result) is float


# --- Arrays of every dtype, byte order and layout -------------------------------------

DTYPES = "? i1 i2 <i4 >i4 i8 u1 u4 u8 f2 f4 <f8 >f8 c16 O U6 M8[D] m8[s]".split()
LAYOUTS = {
    "plain": lambda a: a,
    "reversed": lambda a: a[::-1],
    "strided": lambda a: np.repeat(a, 2)[::2],
    "unaligned": lambda a: (
        a if a.dtype.hasobject else np.frombuffer(bytearray(b"\0" + a.tobytes()), a.dtype, offset=1)
    ),  # writable, read in place
    "fortran 2-D": lambda a: np.asfortranarray(np.stack([a, a], axis=1)),
    "2-D": lambda a: a[None, :],
    "0-d": lambda a: np.asarray(a[0], dtype=a.dtype),
    "empty": lambda a: a[:0],
    "short": lambda a: a[:-1],
    "read-only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
}


def expected_error(i, layout, dtype):
    short = f"^{BATCH_NAMES[i]} holds %d elements, fewer than len\\(prices\\) = 4$"
    if layout == "0-d":
        return (TypeError, None) if i in (0, 5) else (ValueError, short % 1)
    if "2-D" in layout:
        dimensions = r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"
        return ValueError, "truth value of an array" if i == 5 else dimensions
    if layout in ("empty", "short") and i > 0:
        return ValueError, short % (3 if layout == "short" else 0)
    return None  # read-only inputs are read in place or copied, never refused


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("i", range(6), ids=BATCH_NAMES)
def test_batch_array_layouts(i, layout):
    for dtype in ["U1", "S1", "O"] if i == 5 else DTYPES:
        CASES["vectorized_baw_implied_vol"] += 1
        args = [np.array(a) for a in VALID["vectorized_baw_implied_vol"]]
        args[i] = LAYOUTS[layout]((args[i].astype("i8") if dtype[0] in "Mm" else args[i]).astype(dtype))
        error = expected_error(i, layout, dtype)
        with pytest.raises(error[0], match=error[1]) if error else contextlib.nullcontext():
            assert bits(nv.vectorized_baw_implied_vol(*args)) == bits(batch_reference(args)), dtype


# --- Leaks: references, memory and buffer exports, on every way out --------------------

CALLS = 3000
LEAK_BASE = dict(VALID, find_forward_baw=([5.0, 2.6], [3.0, 5.5], [100.0, 104.0], 100.0, 0.99))
LEAK_CASES = (
    [(n, k) for n in NAMES[:2] for k in ["ok", "binding", "conversion", "flag"]]
    + [(NAMES[2], "flag")]
    + [(n, k) for n in NAMES[2:] for k in ["ok", "binding", "conversion", "short", "2-D", "read-only"]]
)


def leak_case(name, kind):
    """Fresh arguments for one way through an entry point, and the exception it ends in."""
    args = [
        np.array(a) if isinstance(a, list) else float(str(a)) if isinstance(a, float) else a for a in LEAK_BASE[name]
    ]
    arrays = [i for i, a in enumerate(args) if isinstance(a, np.ndarray) and a.dtype == float]
    kwargs = {"bogus": 1.5} if kind == "binding" else {}
    if kind == "conversion":
        args[arrays[1] if arrays else 2] = np.array(["x"] * len(args[0])) if arrays else "x"
    elif kind == "flag":
        args[5] = [RaisingEq()] * 4 if arrays else EqReturns(RaisingBool())
    elif kind == "short":  # F_arr, or strikes against the longer prices
        args[arrays[-1]] = args[arrays[-1]][:-1].copy()
    elif kind == "2-D":
        args[arrays[1]] = np.stack([args[arrays[1]]] * 2, axis=1)
    elif kind == "read-only":  # read in place by the batch, copied by the forward finder
        for i in arrays[:3]:
            args[i].flags.writeable = False
    exc = {
        "binding": TypeError,
        "flag": Boom,
        "conversion": (TypeError, ValueError),
        "short": ValueError,
        "2-D": ValueError,
    }.get(kind)
    return getattr(nv, name), args, kwargs, exc


def test_resize_refuses_while_a_buffer_is_exported():  # so the check below can fail
    held = np.zeros(3)
    view = memoryview(held)  # noqa: F841  (with refcheck=False NumPy would not notice it)
    pytest.raises(ValueError, held.resize, 10, refcheck=True)


@pytest.mark.parametrize("name, kind", LEAK_CASES)
def test_no_leaks_on_any_way_out(name, kind):
    f, args, kwargs, exc = leak_case(name, kind)

    def run(times):
        for _ in range(times):
            try:
                f(*args, **kwargs)  # noqa: F821 (not run after the del below)
            except (TypeError, ValueError, IndexError, Boom):
                pass

    with pytest.raises(exc) if exc else contextlib.nullcontext():
        f(*args, **kwargs)
    run(100)  # let NumPy and the interpreter fill their caches
    watched = [*args, *kwargs.values()]
    refs = [sys.getrefcount(obj) for obj in watched]
    tracemalloc.start()
    blocks, traced = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
    run(CALLS)
    grown = sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    CASES["leak-run calls"] += CALLS
    GROWTH.append(grown)
    assert [sys.getrefcount(obj) for obj in watched] == refs
    assert grown[0] < 50 and grown[1] < 8192, f"{grown[0]} blocks, {grown[1]} bytes after {CALLS} calls"
    arrays = [a for a in watched if isinstance(a, np.ndarray)]
    del watched, args, kwargs
    while arrays:  # no reference left behind, no buffer still exported
        arr = arrays.pop()
        arr.resize(arr.size + 7, refcheck=True)


# --- Concurrency --------------------------------------------------------------------


def test_threads_share_inputs_while_python_runs():
    n, threads, seconds = 16384, 4, 2.0  # the long batch takes about 0.1 s
    S, D, F, K = np.full(n, 100.0), np.full(n, 0.98), np.full(n, 99.0), np.linspace(50.0, 150.0, n)
    flags = ["c", "p"] * (n // 2)
    prices = np.array([nv.baw_price(*row) for row in zip(S, K, D, F, np.linspace(0.05, 0.8, n), flags)])
    chain = [np.array(a) for a in VALID["find_forward_baw"][:3]]
    for a in chain:
        a.flags.writeable = False  # find_forward_baw copies what it reads
    jobs = [
        lambda: nv.baw_price(100.0, 105.0, 0.98, 99.0, 0.3, "p"),
        lambda: nv.baw_implied_vol(prices[3], 100.0, K[3], 0.98, 99.0, "p"),
        lambda: nv.vectorized_baw_implied_vol(prices[:64], S, K, D, F, flags),
        lambda: nv.find_forward_baw(*chain, 100.0, 0.98),
        lambda: nv.vectorized_baw_implied_vol(prices, S, K, D, F, flags),
    ]
    serial = [bits(job()) for job in jobs]
    start = time.perf_counter()
    jobs[-1]()
    batch_seconds = time.perf_counter() - start
    counts, failures, batches, stop = [0] * threads, [], [], time.monotonic() + seconds

    def worker(t):
        try:
            while time.monotonic() < stop:
                for _ in range(20):  # the quick calls, then one long batch
                    assert [bits(job()) for job in jobs[:-1]] == serial[:-1]
                t0 = time.perf_counter()
                assert bits(jobs[-1]()) == serial[-1]
                batches.append((t0, time.perf_counter()))
                counts[t] += 81
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for thread in pool:
        thread.start()
    spins, marks = 0, []
    while any(thread.is_alive() for thread in pool):
        spins += 1  # the main thread's own Python work, time-stamped every 256 rounds
        if spins % 256 == 0:
            marks.append(time.perf_counter())
    assert not failures, failures[0]
    CASES["stress calls"] += sum(counts)
    CASES["main-thread iterations"] += spins
    # A batch holding the interpreter lock would stop the main thread for its whole length.
    stalls = [max(np.diff([t0, *[m for m in marks if t0 < m < t1], t1])) for t0, t1 in batches]
    print(f"calls per thread {counts}, batch {batch_seconds:.3f} s, main-thread stalls {np.round(stalls, 3)}")
    assert min(counts) > 0 and sum(stall < batch_seconds / 2 for stall in stalls) >= len(stalls) / 2
