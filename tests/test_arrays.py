"""The array entry points: vectorized_baw_implied_vol, find_forward_baw and the
typed views through which they read NumPy buffers.

Every call made through `checked` also verifies that nothing is left behind:
no array argument gains a reference, and array.array arguments (which NumPy
reads in place, through a buffer export) can be resized again afterwards.
"""

import array
import math
import re
import struct
import sys
import threading
import time
import traceback

import numpy as np
import pytest

from velliq import norvane as nv

VEC = nv.vectorized_baw_implied_vol
FWD = nv.find_forward_baw


def bits(x):
    return struct.pack("<d", x)


class RaisingEq:
    def __eq__(self, other):
        raise ZeroDivisionError("flag comparison")


class LongLen:  # three elements by len(), two once converted
    __len__ = lambda self: 3
    __array__ = lambda self, dtype=None, copy=None: np.array([5.0, 5.0], dtype=dtype)


def checked(fn, *args, raises=None, match=None):
    buffers = [a for a in args if isinstance(a, (np.ndarray, array.array))]
    before = [sys.getrefcount(a) for a in buffers]
    if raises is None:
        out = fn(*args)
    else:
        with pytest.raises(raises, match=match) as info:
            fn(*args)
        names = [frame.f_code.co_name for frame, _ in traceback.walk_tb(info.value.__traceback__)]
        assert names.count(f"velliq.norvane.{fn.__name__}") == 1
        out = info.value
    assert [sys.getrefcount(a) for a in buffers] == before
    for a in buffers:
        if isinstance(a, array.array):
            a.append(0.0)  # BufferError while a buffer is still exported
            a.pop()
    return out


def doubles(*columns):
    return [array.array("d", c) for c in columns]


def random_chain(n, seed):
    rng = np.random.default_rng(seed)
    S = rng.uniform(50.0, 150.0, n)
    K = S * rng.uniform(0.5, 1.5, n)
    D = rng.uniform(0.9, 1.0, n)
    F = S * rng.uniform(0.95, 1.05, n)
    sigma = rng.uniform(0.05, 1.0, n)
    flags = rng.choice(["c", "p"], n).tolist()
    prices = np.array([nv.baw_price(*row) for row in zip(S, K, D, F, sigma, flags)])
    prices[::37] = 2.0 * np.maximum(S, K)[::37]  # above any American price: uninvertible
    return prices, S, K, D, F, flags


@pytest.fixture(scope="module")
def chain():
    return random_chain(300, 7)


# --- vectorized_baw_implied_vol ----------------------------------------------


def test_matches_scalar_bitwise_in_a_new_array(chain):
    result = checked(VEC, *chain)
    expected = np.array([nv.baw_implied_vol(*row) for row in zip(*chain)])
    assert result.dtype == np.float64 and result.shape == (len(chain[0]),)
    assert result.tobytes() == expected.tobytes()
    assert np.isnan(result).sum() >= 8 and (result > 0).sum() > 200
    assert not any(np.shares_memory(result, a) for a in chain[:5])


@pytest.mark.parametrize("which", range(5))
@pytest.mark.parametrize("layout", ["every second", "reversed"])
def test_strided_input_equals_contiguous(chain, which, layout):
    args = [np.array(a[:40]) for a in chain[:5]] + [chain[5][:40]]
    expected = VEC(*args)
    if layout == "every second":
        base = np.zeros(80)
        base[::2] = args[which]
        args[which] = base[::2]
    else:
        args[which] = args[which][::-1].copy()[::-1]
    assert args[which].strides[0] in (16, -8)
    assert checked(VEC, *args).tobytes() == expected.tobytes()


@pytest.mark.parametrize("empty", [lambda: np.empty(0), lambda: [], lambda: array.array("d")])
def test_empty_batch(empty):
    result = checked(VEC, empty(), empty(), empty(), empty(), empty(), "")
    assert result.dtype == np.float64 and result.shape == (0,)


@pytest.mark.parametrize("which", range(5))
def test_two_dimensional_input_refused(which):
    args = doubles([5.0, 5.0], [100.0] * 2, [100.0] * 2, [0.99] * 2, [100.0] * 2) + ["cp"]
    args[which] = np.full((2, 2), float(args[which][0]))
    checked(VEC, *args, raises=ValueError, match=re.escape("Buffer has wrong number of dimensions (expected 1, got 2)"))


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
@pytest.mark.parametrize("which", range(5))
def test_read_only_inputs_accepted(which, dtype):
    # pandas columns are read-only arrays under copy-on-write.
    args = doubles([5.0, 4.0], [100.0] * 2, [100.0] * 2, [0.9921875] * 2, [100.0] * 2) + ["cp"]
    args[which] = np.array(args[which], dtype=dtype)
    expected = VEC(*args)
    args[which].flags.writeable = False
    assert checked(VEC, *args).tobytes() == expected.tobytes()


@pytest.mark.parametrize(
    "convert",
    [lambda a: a.tolist(), lambda a: a.astype(np.float32), lambda a: a.astype(np.int64), lambda a: a.astype(np.int32)],
    ids=["list", "float32", "int64", "int32"],
)
def test_converted_inputs(convert):
    columns = np.array([[3, 12, 7, 2], [100] * 4, [100, 90, 105, 100], [1] * 4, [101, 100, 99, 100]], dtype=np.float64)
    expected = VEC(*columns, "cpcp")
    assert (expected > 0).all()
    assert checked(VEC, *[convert(c) for c in columns], "cpcp").tobytes() == expected.tobytes()


@pytest.mark.parametrize("shift", range(3))
def test_intrinsic_uninvertible_and_ordinary_quotes(shift):
    # call at its intrinsic value 10; call dearer than the spot; call worth sigma = 0.25
    quotes = [(10.0, 90.0), (150.0, 100.0), (nv.baw_price(100.0, 95.0, 0.98, 101.0, 0.25, "c"), 95.0)]
    prices, K = (np.roll(np.array(c), shift) for c in zip(*quotes))
    result = checked(VEC, prices, np.full(3, 100.0), K, np.full(3, 0.98), np.full(3, 101.0), "ccc")
    intrinsic, uninvertible, ordinary = np.roll(result, -shift)
    assert intrinsic == 0.0 and np.isnan(uninvertible) and ordinary == pytest.approx(0.25, abs=1e-7)


def side_quotes(sides):
    sigmas = [0.2, 0.3, 0.4, 0.5][: len(sides)]
    prices = [nv.baw_price(100.0, 110.0, 0.97, 102.0, s, f) for s, f in zip(sigmas, sides)]
    n = len(sides)
    return sigmas, [prices, [100.0] * n, [110.0] * n, [0.97] * n, [102.0] * n]


@pytest.mark.parametrize(
    "sides, flags",
    [
        ("ccp", "ccp"),
        ("ccp", ["c", "c", "p"]),
        ("ccp", "ccpxc"),
        ("ccp", ("c", "c", "p", None, 1)),
        ("pppp", ["C", "call", 1, -1]),
    ],
)  # only "c" is a call; extra flags are ignored
def test_flags(sides, flags):
    sigmas, args = side_quotes(sides)
    assert checked(VEC, *args, flags) == pytest.approx(sigmas, abs=1e-7)
    flipped = "".join("p" if side == "c" else "c" for side in sides)
    assert not np.allclose(VEC(*args, flipped), sigmas)


@pytest.mark.parametrize(
    "flags, error",
    [
        ([RaisingEq(), "c", "p"], ZeroDivisionError),
        (["c", "c", "p", RaisingEq()], ZeroDivisionError),  # extra element, still compared
        (["c", np.array(["c", "c"]), "p"], ValueError),  # ambiguous truth value
        (5, TypeError),
    ],
)
def test_flag_errors_propagate(flags, error):
    checked(VEC, *doubles(*side_quotes("ccp")[1]), flags, raises=error)


def test_prices_without_length_and_scalar_spot():
    checked(VEC, 5.0, [100.0], [100.0], [0.99], [100.0], "c", raises=TypeError)
    expected = VEC([5.0], [100.0], [100.0], [0.99], [100.0], "c")
    assert checked(VEC, [5.0], 100.0, 100, 0.99, 100.0, "c").tobytes() == expected.tobytes()


@pytest.mark.parametrize("which, name", list(enumerate(["prices", "S_arr", "K_arr", "D_arr", "F_arr", "flags"])))
def test_short_input_refused(which, name):
    args = doubles([5.0] * 3, [100.0] * 3, [100.0] * 3, [0.99] * 3, [100.0] * 3) + ["ccc"]
    args[which] = LongLen() if which == 0 else args[which][:2]
    checked(VEC, *args, raises=ValueError, match=re.escape(f"{name} holds 2 elements, fewer than len(prices) = 3"))


# --- find_forward_baw -----------------------------------------------------------


def parity_chain(strikes, F, D=0.99, S=100.0, sigma=0.25):
    calls = [nv.baw_price(S, k, D, F, sigma, "c") for k in strikes]
    return calls, [nv.baw_price(S, k, D, F, sigma, "p") for k in strikes]


@pytest.mark.parametrize(
    "strikes, decoys, strike_pct, selected",
    [
        ([90, 100, 110], [90, 110], None, [100]),  # default window [99, 101]
        ([95, 105, 91], [91], None, [95, 105]),  # +-5 % is exactly [95, 105], inclusive
        ([110, 85], [85], None, [110]),  # 100 * (1 + 0.1) rounds above 110
        ([250, 300], [], None, [250, 300]),  # nothing within +-100 %: every strike
        ([85, 60], [60], 0.1, [85]),  # after 0.1: 0.02, 0.05, 0.1, then 0.2
    ],
)
def test_strike_window(strikes, decoys, strike_pct, selected):
    quotes = {k: [q[0] for q in parity_chain([k], 112.0 if k in decoys else 101.0)] for k in strikes}
    calls, puts = ([quotes[k][side] for k in strikes] for side in (0, 1))
    extra = () if strike_pct is None else (strike_pct,)
    result = checked(FWD, *doubles(calls, puts, strikes), 100.0, 0.99, *extra)
    picked = [quotes[k] for k in selected]
    expected = FWD([c for c, _ in picked], [p for _, p in picked], selected, 100.0, 0.99, 5.0)
    assert bits(result) == bits(expected)
    if decoys:
        assert FWD(calls, puts, strikes, 100.0, 0.99, 5.0) != expected


@pytest.mark.parametrize("S", [100.0, 60.0, 1000.0])
def test_single_strike_is_always_selected(S):
    F_init = 100.0 + 2.0 / 0.99
    result = checked(FWD, [5.0], [3.0], [100.0], S, 0.99)
    if S == 100.0:
        assert F_init * 0.97 <= result <= F_init * 1.03
    else:  # one side is below its exercise value at this spot: never a usable pair
        assert math.isnan(result)


@pytest.mark.parametrize(
    "calls, puts, strikes, S, D",
    [
        ([], [], [], 100.0, 0.99),  # nothing to reconcile
        ([0.0], [300.0], [100.0], 100.0, 1.0),  # negative parity forward
        ([0.0], [100.0], [100.0], 100.0, 1.0),  # zero parity forward
        ([1e-9, 1e-9], [1e-9, 1e-9], [100.0, 101.0], 100.0, 0.99),  # no time value anywhere
    ],
)
def test_no_usable_pair_gives_nan(calls, puts, strikes, S, D):
    assert math.isnan(checked(FWD, *doubles(calls, puts, strikes), S, D))


@pytest.mark.parametrize("lengths", [(2, 3, 3), (3, 2, 3), (3, 3, 2)])
def test_length_mismatch_names_the_lengths(lengths):
    args = [[100.0 + i for i in range(n)] for n in lengths]
    a, b, c = lengths
    message = f"call_prices, put_prices and strikes must have one length, not {a}, {b} and {c}"
    checked(FWD, *doubles(*args), 100.0, 0.99, raises=ValueError, match=re.escape(message))


@pytest.mark.parametrize("D, F", [(0.99, 101.5), (0.97, 98.0), (0.995, 103.0), (0.95, 100.0)])
def test_recovers_known_forward(D, F):
    strikes = np.linspace(80.0, 120.0, 20)
    calls, puts = parity_chain(strikes, F, D, sigma=0.2)
    assert checked(FWD, np.array(calls), np.array(puts), strikes, 100.0, D) == pytest.approx(F, rel=1e-4)


def test_arrays_of_one_shape_are_read_flattened():
    strikes = np.linspace(80.0, 120.0, 20)
    calls, puts = (np.array(a) for a in parity_chain(strikes, 101.5, 0.99, sigma=0.2))
    flat = checked(FWD, calls, puts, strikes, 100.0, 0.99)
    assert checked(FWD, *(a.reshape(4, 5) for a in (calls, puts, strikes)), 100.0, 0.99) == flat


# --- Threads ----------------------------------------------------------------------


def run_in_threads(jobs):
    results, barrier = [None] * len(jobs), threading.Barrier(len(jobs))

    def run(i):
        barrier.wait()
        results[i] = jobs[i]()

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return results


def test_parallel_batches_release_the_lock(chain):
    batches = [[np.tile(a, 60) for a in chain[:5]] + [chain[5] * 60] for _ in range(2)]
    batches[1] = [a[::-1].copy() for a in batches[1][:5]] + [batches[1][5][::-1]]
    start = time.thread_time()
    serial = [VEC(*b) for b in batches]
    one_batch_cpu = (time.thread_time() - start) / 2
    done = []

    def batch(b):
        try:
            return VEC(*b)
        finally:
            done.append(True)

    def count():  # pure Python work, possible only while no batch holds the lock
        n, start = 0, time.thread_time()
        while len(done) < 2:
            n += 1
        return n, time.thread_time() - start

    (n, counter_cpu), *results = run_in_threads([count] + [lambda b=b: batch(b) for b in batches])
    assert [r.tobytes() for r in results] == [s.tobytes() for s in serial]
    # Sharing the cores fairly, the counter gets about as much CPU time as each
    # batch needs; batches that kept the lock would leave it a few switch intervals.
    assert n > 0 and counter_cpu > one_batch_cpu / 3, (one_batch_cpu, counter_cpu)


def test_parallel_forward_searches():
    strikes = np.linspace(80.0, 120.0, 20)
    jobs = [(*parity_chain(strikes, F, D, sigma=0.2), strikes, 100.0, D, 0.2) for D, F in [(0.99, 101.5), (0.97, 98.0)]]
    serial = [FWD(*job) for job in jobs]
    results = run_in_threads([lambda job=job: [FWD(*job) for _ in range(3)] for job in jobs])
    assert results == [[s] * 3 for s in serial]
