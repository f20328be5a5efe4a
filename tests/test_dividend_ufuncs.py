"""velliq.dividends: the cash-dividend model's generalized ufuncs over each option's schedule."""

import sys
import tracemalloc

import numpy as np
import pytest

import velliq
from velliq import _ufuncs, american, dividends

SETTINGS = ["fast", "default", "high"]
JOBS = ["price", "implied_vol", "greeks", "implied_vol_reason", "forward_pair"]
MISSING_INPUT = list(dividends.REASONS).index("missing_input")

# A small book: spot 100, strikes 80-120, a 0.98 discount, forwards around the spot.
S, D = 100.0, 0.98
K = np.array([85.0, 100.0, 115.0])
F = np.array([97.0, 99.0, 101.5])
SIGMA = np.array([0.15, 0.25, 0.4])
IS_CALL = np.array([True, False, True])

# Two dividends inside the option's life, a third after expiry (padding-like).
FRACTIONS = np.array([0.3, 0.8, 1.5])
AMOUNTS = np.array([1.0, 1.5, 2.0])


def ufunc(setting, job):
    return getattr(dividends.SETTINGS[setting], job)


def bits(*results):
    """Every output as unsigned integers of its own width: equal bits, NaN included."""
    arrays = [np.ascontiguousarray(r) for r in results]
    return [a.view(f"u{a.dtype.itemsize}").tolist() for a in arrays]


def job_args(job, fractions, amounts):
    """The arguments of `job` for the book, the schedule last."""
    if job in ("price", "greeks", "amount_sensitivity"):
        return (S, K, D, F, SIGMA, IS_CALL, fractions, amounts)
    if job == "forward_pair":
        quotes = (1.0, 1.1, 1.2, 2.0, 2.1, 2.2)
        return (S, K, D, *quotes, fractions, amounts)
    prices = american.price(S, K, D, F, SIGMA, IS_CALL)
    return (prices, S, K, D, F, IS_CALL, fractions, amounts)


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)


# Schedules with no dividend in (0, 1]: nothing, padding, a dividend already paid, one after expiry.
EMPTY_SCHEDULES = {
    "none": ([], []),
    "padding": ([np.inf, np.inf], [0.0, 0.0]),
    "paid before valuation": ([-0.5, 0.0], [3.0, 2.0]),
    "after expiry": ([1.25, np.inf], [3.0, 0.0]),
}


@pytest.mark.parametrize("setting", SETTINGS)
@pytest.mark.parametrize("job", JOBS)
@pytest.mark.parametrize("schedule", EMPTY_SCHEDULES.values(), ids=EMPTY_SCHEDULES.keys())
def test_without_a_dividend_bit_for_bit_the_accurate_model(setting, job, schedule):
    fractions, amounts = dividends.schedule([schedule] * 3)
    args = job_args(job, fractions, amounts)
    with_schedule = as_tuple(ufunc(setting, job)(*args))
    without = as_tuple(getattr(american.SETTINGS[setting], job)(*args[:-2]))
    assert bits(*with_schedule) == bits(*without)


MALFORMED = {
    "negative amount": ([0.3, 0.6], [1.0, -0.5]),
    "ex-dates out of order": ([0.6, 0.3], [1.0, 0.5]),
    "NaN ex-date": ([np.nan, 0.3], [1.0, 0.5]),
    "infinite amount": ([0.3, 0.6], [np.inf, 0.5]),
    "NaN amount after expiry": ([0.3, np.inf], [1.0, np.nan]),
}


@pytest.mark.parametrize("job", [*JOBS, "amount_sensitivity"])
@pytest.mark.parametrize("schedule", MALFORMED.values(), ids=MALFORMED.keys())
def test_a_malformed_schedule_is_missing_input(job, schedule):
    results = as_tuple(ufunc("fast", job)(*job_args(job, *schedule)))
    floats = [r for r in results if r.dtype == np.float64]
    reasons = [r for r in results if r.dtype == np.int8]
    assert all(np.isnan(r).all() for r in floats)
    assert all((r == MISSING_INPUT).all() for r in reasons)


@pytest.mark.parametrize("which", range(5))
@pytest.mark.parametrize("job", ["price", "greeks", "amount_sensitivity"])
def test_nan_in_any_input(job, which):
    args = list(job_args(job, FRACTIONS, AMOUNTS))
    args[which] = np.nan
    assert all(np.isnan(r).all() for r in as_tuple(ufunc("fast", job)(*args)))


@pytest.mark.parametrize("setting", SETTINGS)
def test_amount_sensitivity_near_differences_of_the_price(setting):
    # Reference: central differences (h 1e-3) of the high setting's price in each amount, S, D and
    # F fixed. The ufunc differences the coarser of a setting's two grids; measured against this
    # reference it is off by up to 0.0068 (fast), 0.0057 (default), 0.0036 (high) on this book (a
    # wrong entry or sign would be off by the whole derivative, 0.02-0.08).
    args, h = (S, K, D, F, SIGMA, IS_CALL, FRACTIONS), 1e-3
    sensitivity = dividends.SETTINGS[setting].amount_sensitivity(*args, AMOUNTS)
    for i in range(len(AMOUNTS)):
        up, down = AMOUNTS.copy(), AMOUNTS.copy()
        up[i] += h
        down[i] -= h
        difference = (dividends.high.price(*args, up) - dividends.high.price(*args, down)) / (2 * h)
        assert sensitivity[:, i] == pytest.approx(difference, abs=0.015)
    assert np.all(sensitivity[:, 2] == 0)  # the third dividend goes ex after expiry


def test_amount_sensitivity_follows_its_entry():
    """One dividend that counts, at either end of the schedule: its derivative lands in its own slot."""
    first = dividends.amount_sensitivity(S, K, D, F, SIGMA, IS_CALL, [0.3, 1.5], [1.0, 2.0])
    last = dividends.amount_sensitivity(S, K, D, F, SIGMA, IS_CALL, [-0.5, 0.3], [2.0, 1.0])
    assert np.all(first[:, 1] == 0) and np.all(last[:, 0] == 0)
    assert bits(first[:, 0]) == bits(last[:, 1]) and np.all(first[:, 0] != 0)


@pytest.mark.parametrize("job", [*JOBS, "amount_sensitivity"])
@pytest.mark.parametrize("extra", [1, 4])
def test_padding_changes_nothing(job, extra):
    padded_fractions = np.concatenate([FRACTIONS, np.full(extra, dividends.PAD[0])])
    padded_amounts = np.concatenate([AMOUNTS, np.full(extra, dividends.PAD[1])])
    plain = as_tuple(ufunc("fast", job)(*job_args(job, FRACTIONS, AMOUNTS)))
    padded = as_tuple(ufunc("fast", job)(*job_args(job, padded_fractions, padded_amounts)))
    if job == "amount_sensitivity":  # one per entry: the padding's are 0
        assert np.all(padded[0][..., len(AMOUNTS) :] == 0)
        padded = (padded[0][..., : len(AMOUNTS)],)
    assert bits(*padded) == bits(*plain)


def each_option(job, args, shape):
    """The ufunc called once per option: scalars and that option's own 1-D schedule."""
    n = np.shape(args[-1])[-1]
    per_option = [np.broadcast_to(a, shape) for a in args[:-2]]
    schedule = [np.broadcast_to(a, (*shape, n)) for a in args[-2:]]
    results = [np.empty_like(r) for r in as_tuple(ufunc("fast", job)(*args))]
    for index in np.ndindex(shape):
        one = as_tuple(ufunc("fast", job)(*(a[index] for a in per_option), *(a[index] for a in schedule)))
        for result, value in zip(results, one):
            result[index] = value
    return results


LAYOUTS = {
    "one schedule for all": lambda f, a: (f, a),
    "a schedule per option": lambda f, a: (np.stack([f, f[::-1].cumsum() / 5, f * 0.5]), np.stack([a, a, 2 * a])),
    "a column of schedules": lambda f, a: (np.stack([f, f * 0.9])[:, None, :], np.stack([a, 0.5 * a])[:, None, :]),
    "strided, Fortran order": lambda f, a: (
        np.asfortranarray(np.stack([f, f * 0.7, f * 0.2]))[:, ::1],
        np.repeat(np.stack([a, a, a]), 2, axis=1)[:, ::2],
    ),
}


@pytest.mark.parametrize("job", [*JOBS, "amount_sensitivity"])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_broadcasting_matches_each_option_alone(job, layout):
    fractions, amounts = layout(FRACTIONS, AMOUNTS)
    args = job_args(job, fractions, amounts)
    results = as_tuple(ufunc("fast", job)(*args))
    shape = np.broadcast_shapes(*(np.shape(a) for a in args[:-2]), np.shape(fractions)[:-1])
    assert all(r.shape[: len(shape)] == shape for r in results)
    assert bits(*results) == bits(*each_option(job, args, shape))


@pytest.mark.parametrize("job", [*JOBS, "amount_sensitivity"])
def test_out_fills_the_given_arrays(job):
    args = job_args(job, FRACTIONS, AMOUNTS)
    expected = as_tuple(ufunc("fast", job)(*args))
    # every other element of a wider array: the loop must follow the output's strides
    out = tuple(np.full((*r.shape[:-1], 2 * r.shape[-1]), -7, dtype=r.dtype)[..., ::2] for r in expected)
    returned = as_tuple(ufunc("fast", job)(*args, out=out))
    assert all(r is o for r, o in zip(returned, out))
    assert bits(*out) == bits(*expected)


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.longdouble])
def test_schedules_cast_to_double(dtype):
    fractions, amounts = np.array([0.25, 1.0]).astype(dtype), np.array([1.0, 2.0]).astype(dtype)
    as_double = fractions.astype(np.float64), amounts.astype(np.float64)
    expected = dividends.fast.price(S, K, D, F, SIGMA, IS_CALL, *as_double)
    cast = dividends.fast.price(S, K, D, F, SIGMA, IS_CALL, fractions, amounts)
    assert bits(cast) == bits(expected)


@pytest.mark.parametrize("n_workers", [2, 3])
def test_workers_give_the_same_bits(n_workers):
    rng = np.random.default_rng(25)
    n = 700  # above the 256 elements per worker that parallel_for.hpp asks for
    strikes = 80 + 40 * rng.random(n)
    fractions = np.sort(rng.random((n, 3)), axis=1)
    amounts = rng.random((n, 3))
    args = (S, strikes, D, 99.0, 0.2, strikes > 100, fractions, amounts)
    alone = dividends.fast.price(*args)
    with velliq.workers(n_workers):
        shared = dividends.fast.price(*args)
    assert bits(shared) == bits(alone)


@pytest.mark.parametrize("count", [0, 1, 1000])
def test_any_number_of_dividends(count):
    fractions = np.linspace(0.0005, 1.0, count)
    amounts = np.full(count, 0.5 / max(count, 1))
    F_dividends = S / D - amounts.sum() / D
    prices = dividends.fast.price(S, K, D, F_dividends, SIGMA, IS_CALL, fractions, amounts)
    assert np.all(np.isfinite(prices)) and np.all(prices > 0)


@pytest.mark.parametrize(
    "position, name, bad",
    [(5, "is_call", np.array([1, -1, 1])), (6, "fractions", FRACTIONS.astype(str)), (7, "amounts", AMOUNTS > 1)],
    ids=["is_call", "fractions", "amounts"],
)
def test_non_real_inputs_are_refused_by_name(position, name, bad):
    args = list(job_args("price", FRACTIONS, AMOUNTS))
    args[position] = bad
    with pytest.raises(TypeError, match=name):
        dividends.price(*args)


BAD_CALLS = {
    "fractions as text": (S, K, D, F, SIGMA, IS_CALL, FRACTIONS.astype(str), AMOUNTS),
    "lengths differ": (S, K, D, F, SIGMA, IS_CALL, FRACTIONS, AMOUNTS[:2]),
    "shapes clash": (S, K, D, F, SIGMA, IS_CALL, np.stack([FRACTIONS] * 2), AMOUNTS),
    "no schedule": (S, K, D, F, SIGMA, IS_CALL, 0.5, 1.0),
}


@pytest.mark.parametrize("args", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_no_leaks_on_refused_input(args):
    def run(times):
        for _ in range(times):
            try:
                dividends.price(*args)
            except (TypeError, ValueError):
                pass

    with pytest.raises((TypeError, ValueError)):
        dividends.price(*args)
    run(100)  # let NumPy fill its caches
    watched = [a for a in args if isinstance(a, np.ndarray)]
    refs = [sys.getrefcount(a) for a in watched]
    tracemalloc.start()
    blocks, traced = sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0]
    run(2000)
    grown = sys.getallocatedblocks() - blocks, tracemalloc.get_traced_memory()[0] - traced
    tracemalloc.stop()
    assert [sys.getrefcount(a) for a in watched] == refs
    assert grown[0] < 50 and grown[1] < 8192, f"{grown[0]} blocks, {grown[1]} bytes after 2000 calls"


def test_schedule_pads_ragged_schedules():
    fractions, amounts = dividends.schedule([([0.25, 0.75], [0.5, 0.6]), ([0.5], [1.0]), ([], [])])
    inf = np.inf
    assert fractions.tolist() == [[0.25, 0.75], [0.5, inf], [inf, inf]]
    assert amounts.tolist() == [[0.5, 0.6], [1.0, 0.0], [0.0, 0.0]]
    assert [a.shape for a in dividends.schedule([])] == [(0, 0), (0, 0)]


def test_schedule_refuses_unpaired_lengths():
    with pytest.raises(ValueError, match="schedule 1: 2 fractions but 1 amounts"):
        dividends.schedule([([0.5], [1.0]), ([0.25, 0.75], [1.0])])


def test_the_model_is_not_chosen_by_name_alone():
    assert "american_dividends" not in velliq.chain.MODELS
    assert velliq.dividends.price is dividends.default.price


# The carry that built a forward comes back from it; the schedule rules hold as for the prices.
@pytest.mark.parametrize(
    ("fractions", "amounts", "carry"),
    [
        ([0.25, 0.75, np.inf], [1.0, 1.5, 0.0], 0.03),
        ([0.5, 1.0], [2.0, 2.0], -0.02),  # one on the expiry date counts
        ([-0.1, 0.4, 1.2], [3.0, 1.0, 3.0], 0.0),  # before valuation and after expiry: ignored
        ([], [], 0.05),
    ],
)
def test_dividend_carry_reproduces_the_forward(fractions, amounts, carry):
    S, t, d = 100.0, np.array(fractions, float), np.array(amounts, float)
    counted = (t > 0) & (t <= 1)
    F = S * np.exp(carry) - np.sum(d[counted] * np.exp(carry * (1 - t[counted])))
    assert _ufuncs.dividend_carry(S, F, t, d) == pytest.approx(carry, abs=1e-14)


@pytest.mark.parametrize(
    ("S", "F", "fractions", "amounts"),
    [
        (100.0, 99.0, [0.6, 0.3], [1.0, 1.0]),
        (100.0, 99.0, [0.3], [-1.0]),
        (0.0, 99.0, [0.3], [1.0]),
        (100.0, np.nan, [0.3], [1.0]),
        (100.0, 99.0, [np.nan], [1.0]),
    ],
)
def test_dividend_carry_nan_where_no_carry_is_defined(S, F, fractions, amounts):
    assert np.isnan(_ufuncs.dividend_carry(S, F, np.array(fractions), np.array(amounts)))
