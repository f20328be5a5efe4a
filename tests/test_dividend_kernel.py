"""The cash-dividend kernel (src/kernels/dividends/) through tests/dividend_probe.cpp: against
the slow reference in tests/data/dividend_reference.csv (written by
tools/devsupport/dividend_reference.py, a separate finite-difference scheme converged by
grid refinement), bit for bit the accurate model without dividends, refusals of malformed
schedules, and early exercise at ex-dates."""

import ctypes
import math
import pathlib
import subprocess
import sys

import numpy as np
import pytest
from dividend_probe import (
    BELOW_INTRINSIC,
    BOUND,
    CALL,
    DEFAULT,
    FAST,
    GOAL,
    HIGH,
    INF,
    MISSING_INPUT,
    NAN,
    NO_SOLUTION,
    NO_TIME_VALUE,
    OK,
    PUT,
    RESOLUTION,
    P,
    carry_forward,
    d,
    greeks,
    i,
    implied_vol,
    load,
    price,
    schedule,
    table,
)


@pytest.fixture(scope="module")
def k():
    return load()


@pytest.mark.parametrize("setting", [FAST, DEFAULT, HIGH])
def test_prices_match_the_reference(k, setting):
    errors, misses = [], []
    for inputs, reference, error in table():
        got = price(k, *inputs, setting=setting)
        K = inputs[1]
        errors.append(max(abs(got - reference) - error, 0.0) / K)
        if not errors[-1] <= BOUND[setting]:
            misses.append((inputs[:6], len(inputs[6]), got, reference, error))
    assert not misses, misses
    assert np.median(errors) <= GOAL[setting]


# Schedules without a dividend that counts: empty, padding, before valuation, after expiry,
# amounts of 0.
NO_DIVIDEND = [
    ([], []),
    ([INF, INF], [0.0, 0.0]),
    ([-0.5, 0.0], [3.0, 1.0]),
    ([1.0 + 1e-12, 3.0, INF], [2.0, 5.0, 0.0]),
    ([0.5, 0.9], [0.0, 0.0]),
]
OPTIONS = [  # S, K, D, F, sigma, side
    (100.0, 100.0, 0.96, 101.0, 0.25, CALL),
    (100.0, 120.0, 0.96, 103.0, 0.25, PUT),
    (100.0, 80.0, 0.99, 98.0, 0.05, CALL),
    (100.0, 105.0, 0.9, 110.0, 1.2, PUT),
]


@pytest.mark.parametrize("setting", [FAST, DEFAULT, HIGH])
@pytest.mark.parametrize("entries", NO_DIVIDEND, ids=range(len(NO_DIVIDEND)))
def test_without_a_dividend_every_result_is_the_accurate_models_bit_for_bit(k, entries, setting):
    for S, K, D, F, sigma, side in OPTIONS:
        own = price(k, S, K, D, F, sigma, side, *entries, setting=setting)
        assert own == k.probe_american_price(S, K, D, F, sigma, side, setting)
        theirs_sigma, theirs_reason = d(), i()
        k.probe_american_implied_vol(
            own, S, K, D, F, side, setting, ctypes.byref(theirs_sigma), ctypes.byref(theirs_reason)
        )
        assert implied_vol(k, own, S, K, D, F, side, *entries, setting=setting) == (
            theirs_sigma.value,
            theirs_reason.value,
        )
        theirs = np.empty(5)
        k.probe_american_greeks(S, K, D, F, sigma, side, setting, theirs.ctypes.data_as(P))
        assert np.array_equal(greeks(k, S, K, D, F, sigma, side, *entries, setting=setting), theirs)


MALFORMED = [
    ([0.5, 0.3], [1.0, 1.0]),  # unsorted
    ([0.2, NAN], [1.0, 1.0]),  # a NaN date
    ([0.5], [-1.0]),  # a negative amount
    ([0.5], [INF]),  # an infinite amount
    ([0.5], [NAN]),  # a NaN amount
    ([0.5, 2.0, 1.5], [1.0, 1.0, 1.0]),  # unsorted among ignored entries
    ([0.5, 2.0], [1.0, -1.0]),  # a negative amount after expiry
]


@pytest.mark.parametrize("entries", MALFORMED, ids=range(len(MALFORMED)))
def test_a_malformed_schedule_gives_nan_and_missing_input(k, entries):
    S, K, D, F, sigma, side = OPTIONS[0]
    assert math.isnan(price(k, S, K, D, F, sigma, side, *entries))
    sigma_out, reason = implied_vol(k, 10.0, S, K, D, F, side, *entries)
    assert math.isnan(sigma_out) and reason == MISSING_INPUT
    assert np.isnan(greeks(k, S, K, D, F, sigma, side, *entries)).all()


@pytest.mark.parametrize("bad", range(6))
def test_a_missing_or_invalid_input_gives_nan(k, bad):
    args = [100.0, 100.0, 0.96, 98.0, 0.25]
    args[bad % 5] = [NAN, -1.0, 0.0, INF, NAN, NAN][bad]
    assert math.isnan(price(k, *args, CALL, [0.5], [2.0]))


def test_a_strided_schedule_reads_as_a_contiguous_one(k):
    interleaved = np.array([0.25, 1.5, 0.75, 2.0])  # fraction, amount, fraction, amount
    step = 2
    base = interleaved.ctypes.data_as(P)
    amounts = ctypes.cast(interleaved.ctypes.data + 8, P)
    S, K, D, F, sigma, side = OPTIONS[1]
    got = k.probe_dividend_price(S, K, D, F, sigma, side, base, amounts, 2, step, DEFAULT)
    assert got == price(k, S, K, D, F, sigma, side, [0.25, 0.75], [1.5, 2.0])


@pytest.mark.parametrize("count", [1000])
def test_a_thousand_dividends_price_without_a_crash(k, count):
    fractions = np.linspace(0.0005, 1.0, count)
    amounts = np.full(count, 0.002)
    for side in (CALL, PUT):
        many = price(
            k,
            100.0,
            100.0,
            0.97,
            carry_forward(100.0, 0.02, fractions, amounts),
            0.2,
            side,
            fractions,
            amounts,
            setting=FAST,
        )
        # About a continuous yield of the same forward: within the early exercise it moves.
        continuous = k.probe_american_price(
            100.0, 100.0, 0.97, carry_forward(100.0, 0.02, fractions, amounts), 0.2, side, FAST
        )
        assert abs(many - continuous) < 0.05 * continuous


@pytest.mark.parametrize("b", [-0.3, 0.0, 0.05, 0.8])
def test_the_residual_carry_reproduces_the_forward(k, b):
    fractions, amounts = [0.1, 0.5, 1.0, 1.5], [4.0, 30.0, 2.0, 9.0]
    F = carry_forward(100.0, b, fractions, amounts)
    t, a, tp, ap, n = schedule(fractions, amounts)
    assert k.probe_dividend_carry(100.0, F, tp, ap, n) == pytest.approx(b, abs=1e-13)


def test_a_call_before_a_large_ex_date_is_worth_its_exercise_value_just_before_it(k):
    # Deep in the money, the spot about to drop by 30: the call is exercised just before the
    # ex-date, where the spot is on its forward path with no time value left to lose.
    r, b, t, K = 0.01, 0.01, 0.001, 60.0
    fractions, amounts = [t], [30.0]
    F = carry_forward(100.0, b, fractions, amounts)
    expected = math.exp(-r * t) * (100.0 * math.exp(b * t) - K)
    for setting in (FAST, DEFAULT, HIGH):
        got = price(k, 100.0, K, math.exp(-r), F, 0.2, CALL, fractions, amounts, setting)
        assert got == pytest.approx(expected, abs=1e-9)


@pytest.mark.parametrize("side", [CALL, PUT])
def test_an_ex_date_on_expiry_pays_the_put_and_not_the_call(k, side):
    # The payoff is on S - d, and the call holder exercises just before: the call is worth its
    # value without the dividend at the same carry, the put its value on a spot lower by d.
    b, S, K, D, sigma, d_ = 0.02, 100.0, 100.0, 0.97, 0.2, 5.0
    with_it = price(k, S, K, D, carry_forward(S, b, [1.0], [d_]), sigma, side, [1.0], [d_])
    if side == CALL:
        without = k.probe_american_price(S, K, D, S * math.exp(b), sigma, side, DEFAULT)
        assert with_it == pytest.approx(without, abs=GOAL[DEFAULT] * K)
    else:
        shifted = k.probe_american_price(S, K + d_, D, S * math.exp(b), sigma, side, DEFAULT)
        assert with_it > k.probe_american_price(S, K, D, S * math.exp(b), sigma, side, DEFAULT)
        assert with_it <= shifted + GOAL[DEFAULT] * K


@pytest.mark.parametrize("side", [CALL, PUT])
def test_without_volatility_the_price_is_the_best_exercise_along_the_forward_path(k, side):
    # r = 5 %, b = 5 %, one dividend of 20 at t = 0.5. The call exercises just before it:
    # e^(-r/2) (100 e^(b/2) - 80); the put at expiry: e^(-r) (80 - (100 e^(b/2) - 20) e^(b/2)),
    # or now at 0.
    r, b, fractions, amounts = 0.05, 0.05, [0.5], [20.0]
    F = carry_forward(100.0, b, fractions, amounts)
    got = price(k, 100.0, 80.0, math.exp(-r), F, 0.0, side, fractions, amounts)
    if side == CALL:
        expected = math.exp(-r / 2) * (100 * math.exp(b / 2) - 80)
    else:
        expected = max(math.exp(-r) * (80 - (100 * math.exp(b / 2) - 20) * math.exp(b / 2)), 0)
    assert got == pytest.approx(expected, rel=1e-13, abs=1e-13)


@pytest.mark.parametrize("setting", [FAST, DEFAULT, HIGH])
@pytest.mark.parametrize("side", [CALL, PUT])
def test_implied_vol_recovers_the_volatility_of_a_price(k, side, setting):
    fractions, amounts = [0.3, 0.8], [2.0, 2.0]
    for K, sigma in ((80.0, 0.3), (100.0, 0.1), (125.0, 0.5)):
        F = carry_forward(100.0, 0.03, fractions, amounts)
        quote = price(k, 100.0, K, 0.97, F, sigma, side, fractions, amounts, setting)
        got, reason = implied_vol(k, quote, 100.0, K, 0.97, F, side, fractions, amounts, setting)
        assert reason == OK
        # Within the setting's price resolution of the quote (alo/scheme.hpp).
        repriced = price(k, 100.0, K, 0.97, F, got, side, fractions, amounts, setting)
        assert abs(repriced - quote) <= RESOLUTION[setting] * K
        assert got == pytest.approx(sigma, abs=1e-5)


@pytest.mark.parametrize(
    "quote, reason", [(NAN, MISSING_INPUT), (29.0, BELOW_INTRINSIC), (30.0, NO_TIME_VALUE), (100.5, NO_SOLUTION)]
)
def test_implied_vol_gives_the_accurate_models_reasons(k, quote, reason):
    fractions, amounts = [0.5], [1.0]
    F = carry_forward(100.0, 0.02, fractions, amounts)
    got, why = implied_vol(k, quote, 100.0, 70.0, 0.98, F, CALL, fractions, amounts)
    assert why == reason
    assert got == 0.0 if reason in (BELOW_INTRINSIC, NO_TIME_VALUE) else math.isnan(got)


def fixed_carry_price(k, S, b, side, sigma=0.3, K=100.0, D=0.96, fractions=(0.4,), amounts=(3.0,)):
    return price(k, S, K, D, carry_forward(S, b, fractions, amounts), sigma, side, list(fractions), list(amounts))


@pytest.mark.parametrize("side", [CALL, PUT])
def test_greeks_are_the_prices_derivatives(k, side):
    fractions, amounts, S, K, D, b, sigma = [0.4], [3.0], 100.0, 100.0, 0.96, 0.02, 0.3
    F = carry_forward(S, b, fractions, amounts)
    delta, gamma, vega, dF, dD = greeks(k, S, K, D, F, sigma, side, fractions, amounts)
    h = 2.0  # wide enough that the cubic's error (about 1e-5 here) hardly moves the difference
    up, mid, down = (fixed_carry_price(k, S + x, b, side) for x in (h, 0, -h))
    assert delta == pytest.approx((up - down) / (2 * h), rel=1e-3)
    assert gamma == pytest.approx((up - 2 * mid + down) / h**2, rel=1e-2)

    def moved(dF_=0.0, dD_=0.0, dsigma=0.0):
        return price(k, S, K, D + dD_, F + dF_, sigma + dsigma, side, fractions, amounts)

    # The price's slope in a parameter kinks where the grid's exercise boundary crosses a
    # node: the forward differences agree with wide central ones to about 0.3 %.
    assert vega == pytest.approx((moved(dsigma=1e-3) - moved(dsigma=-1e-3)) / 2e-3, rel=5e-3)
    assert dF == pytest.approx((moved(dF_=0.05) - moved(dF_=-0.05)) / 0.1, rel=5e-3)
    assert dD == pytest.approx((moved(dD_=1e-3) - moved(dD_=-1e-3)) / 2e-3, rel=5e-3)


@pytest.mark.parametrize("side", [CALL, PUT])
def test_the_amount_sensitivity_is_the_prices_derivative(k, side):
    fractions, amounts, S, K, D, F, sigma = [0.2, 0.6, 1.5], [2.0, 3.0, 1.0], 100.0, 95.0, 0.96, 97.0, 0.3
    t, a, tp, ap, n = schedule(fractions, amounts)
    for index in range(2):
        got = k.probe_dividend_amount_sensitivity(S, K, D, F, sigma, side, tp, ap, n, index, DEFAULT)
        bumped = [list(amounts), list(amounts)]
        bumped[0][index] += 0.05
        bumped[1][index] -= 0.05
        up, down = (price(k, S, K, D, F, sigma, side, fractions, x) for x in bumped)
        # The price's slope in an amount kinks where dropped spots cross nodes: about 1 %.
        assert got == pytest.approx((up - down) / 0.1, rel=2e-2, abs=1e-6)
    assert k.probe_dividend_amount_sensitivity(S, K, D, F, sigma, side, tp, ap, n, 2, DEFAULT) == 0.0
    assert math.isnan(k.probe_dividend_amount_sensitivity(S, K, D, F, sigma, side, tp, ap, n, 3, DEFAULT))


def pair(k, S, K, D, quotes, fractions=None, amounts=None):
    q = np.array(quotes, dtype=float)
    out = np.empty(4)
    if fractions is None:
        k.probe_american_forward_pair(S, K, D, q.ctypes.data_as(P), out.ctypes.data_as(P))
    else:
        t, a, tp, ap, n = schedule(fractions, amounts)
        k.probe_dividend_forward_pair(S, K, D, q.ctypes.data_as(P), tp, ap, n, out.ctypes.data_as(P))
    return out


def test_the_forward_pair_under_the_dividend_model_finds_the_forward_of_its_prices(k):
    S, K, D, fractions, amounts = 100.0, 100.0, 0.97, [0.5], [3.0]
    F = carry_forward(S, 0.03, fractions, amounts)
    call, put = (price(k, S, K, D, F, 0.25, side, fractions, amounts) for side in (CALL, PUT))
    quotes = [call - 0.1, call, call + 0.1, put - 0.1, put, put + 0.1]
    F_mid, F_lo, F_hi, _ = pair(k, S, K, D, quotes, fractions, amounts)
    assert F_mid == pytest.approx(F, rel=1e-7)
    assert F_lo < F_mid < F_hi
    # Without a dividend the face is the accurate model's, bit for bit.
    assert np.array_equal(pair(k, S, K, D, quotes, [INF], [0.0]), pair(k, S, K, D, quotes))


SMALL_STACK_CHILD = """
import sys, threading
sys.path.insert(0, {tests!r})
import numpy as np
import dividend_probe as t
k = t.declared({library!r})
out = []
def run():
    args = (100.0, 100.0, 0.96, 97.0, 0.3)
    for setting in (t.FAST, t.DEFAULT, t.HIGH):
        for side in (t.CALL, t.PUT):
            p = t.price(k, *args, side, [0.3, 0.7], [1.5, 1.5], setting)
            out.append((p, t.implied_vol(k, p, *args[:4], side, [0.3, 0.7], [1.5, 1.5], setting),
                        tuple(t.greeks(k, *args, side, [0.3, 0.7], [1.5, 1.5], setting))))
threading.stack_size(64 * 1024)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(len(out), all(np.isfinite(p) for p, _, _ in out))
"""


def test_price_implied_vol_and_greeks_run_in_a_thread_with_a_64_kib_stack():
    child = SMALL_STACK_CHILD.format(tests=str(pathlib.Path(__file__).parent), library=load()._name)
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0 and done.stdout.split() == ["6", "True"], done.stderr


def upper_limit(k, S, K, D, F, side, fractions, amounts):
    """The price's limit as sigma grows: S max(1, e^(b - r)) for a call, K max(1, D) for a put."""
    t, a, tp, ap, n = schedule(fractions, amounts)
    b = k.probe_dividend_carry(S, F, tp, ap, n)
    return S * max(1.0, math.exp(b + math.log(D))) if side == CALL else K * max(1.0, D)


@pytest.mark.parametrize("seed", range(3))
def test_prices_lie_between_the_exercise_value_and_their_limit(k, seed):
    # Seeded inputs far and wide: spots 0.01-10,000, strikes a tenth to ten times them, rates
    # -5 % to 50 %, total vols up to 3, up to five dividends of 1e-4 to 3 times the spot
    # spread over and beyond the option's life.
    rng = np.random.default_rng(seed)
    for _ in range(40):
        S = 10 ** rng.uniform(-2, 4)
        K, D, sigma = S * 10 ** rng.uniform(-1, 1), math.exp(-rng.uniform(-0.05, 0.5)), 10 ** rng.uniform(-9, 0.5)
        count = int(rng.integers(1, 6))
        fractions = list(np.sort(rng.uniform(-0.2, 1.2, count)))
        amounts = list(S * 10 ** rng.uniform(-4, 0.5, count))
        F = carry_forward(S, rng.uniform(-0.5, 0.5), fractions, amounts)
        F = F if F > 0 else 0.01 * S
        side = CALL if rng.random() < 0.5 else PUT
        got = price(k, S, K, D, F, sigma, side, fractions, amounts, FAST)
        if not math.isnan(got):
            exercise = max(S - K, 0.0) if side == CALL else max(K - S, 0.0)
            assert exercise <= got <= upper_limit(k, S, K, D, F, side, fractions, amounts) * (1 + 1e-3)


def test_a_carry_beyond_the_limit_gives_nan(k):
    # A forward that needs a carry of 6 (e^6 growth to expiry): MAX_CARRY is 5.
    fractions, amounts = [0.5], [2.0]
    for b, priced in ((6.0, False), (4.0, True)):
        F = carry_forward(100.0, b, fractions, amounts)
        assert math.isnan(price(k, 100.0, 100.0, 0.97, F, 0.3, CALL, fractions, amounts)) != priced


@pytest.mark.parametrize("side, D, b", [(PUT, 1.02, 0.01), (CALL, 1.02, -0.01)])
def test_two_exercise_regions_give_nan_as_in_the_accurate_model(k, side, D, b):
    # r = -ln 1.02 < 0: a put with b > 0, a call with b < r (the accurate model's put of symmetry).
    fractions, amounts = [0.5], [1.0]
    F = carry_forward(100.0, b, fractions, amounts)
    assert math.isnan(price(k, 100.0, 100.0, D, F, 0.3, side, fractions, amounts))
    assert not math.isnan(price(k, 100.0, 100.0, D, F, 0.3, -side, fractions, amounts))
