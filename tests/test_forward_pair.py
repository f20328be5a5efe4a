"""Per-strike forwards (forward_pair) and implied volatilities with reasons
(implied_vol_reason), for BAW and every American setting.

The chains are priced by each model itself at a forward from forward_terms
(rate, dividend yield, years), so that forward is the truth the quotes imply.
"""

import math

import numpy as np
import pytest

import velliq
from velliq import american, baw, chain

SPOT, RATE, YIELD, VOL = 100.0, 0.04, 0.015, 0.3
EXPIRIES = (0.1, 0.6, 1.5)
STRIKES = np.arange(70.0, 131.0, 5.0)
REASON = {name: code for code, name in enumerate(baw.REASONS)}

MODELS = {"baw": baw, **{f"american-{name}": setting for name, setting in american.SETTINGS.items()}}
# How closely F_mid finds the forward: the accurate implied vols stop at their setting's price
# resolution, which bounds how well the vols' crossing, and so the forward, is pinned.
FORWARD_RTOL = {"baw": 1e-8, "american-fast": 1e-7, "american-default": 1e-7, "american-high": 1e-8}


def priced_chain(model, years):
    """Strikes with at least 0.05 of time value on both sides, their exact call
    and put prices, D and the true forward."""
    D, F = velliq.forward_terms(SPOT, RATE, YIELD, years)
    sigma = VOL * math.sqrt(years)
    C, P = (model.price(SPOT, STRIKES, D, F, sigma, is_call) for is_call in (True, False))
    keep = (C - np.maximum(SPOT - STRIKES, 0) >= 0.05) & (P - np.maximum(STRIKES - SPOT, 0) >= 0.05)
    return STRIKES[keep], C[keep], P[keep], float(D), float(F)


def pair(model, K, C, P, D, call=(0.0, 0.0), put=(0.0, 0.0)):
    """forward_pair of quotes bid = price + call[0] (put[0]), ask = price + call[1] (put[1])."""
    return model.forward_pair(SPOT, K, D, C + call[0], C, C + call[1], P + put[0], P, P + put[1])


@pytest.mark.parametrize("years", EXPIRIES)
@pytest.mark.parametrize("name", MODELS)
def test_mid_forward_recovers_the_true_forward(name, years):
    model = MODELS[name]
    K, C, P, D, F = priced_chain(model, years)
    F_mid, _, _, reason = pair(model, K, C, P, D)
    assert (reason == REASON["ok"]).all()
    np.testing.assert_allclose(F_mid, F, rtol=FORWARD_RTOL[name], atol=0)


@pytest.mark.parametrize("model_name", ["baw", "american"])
def test_mid_forward_is_where_the_mid_vols_agree(model_name):
    # velliq.chain.strike_forwards (F_mid of forward_pair) against SciPy's brentq on
    # iv_call(F) - iv_put(F), bracketed a percent about the true forward, where both
    # prices keep a volatility. (This test once compared the kernel with a Python
    # Newton search, which strike_forwards no longer is.)
    from scipy.optimize import brentq

    model = chain.MODELS[model_name]
    K, C, P, D, F = priced_chain(model, 0.6)
    keep = (C > np.maximum(SPOT - K, 0) + 2) & (P > np.maximum(K - SPOT, 0) + 2)  # a volatility across the bracket
    K, C, P = K[keep], C[keep], P[keep]

    def gap(f, k, c, p):
        return float(model.implied_vol(c, SPOT, k, D, f, True) - model.implied_vol(p, SPOT, k, D, f, False))

    expected = [brentq(gap, 0.99 * F, 1.01 * F, args=(k, c, p), xtol=1e-13 * F, rtol=1e-15) for k, c, p in zip(K, C, P)]
    got = chain.strike_forwards(C, P, K, SPOT, D, model=model_name)
    np.testing.assert_allclose(got, expected, rtol=2e-10, atol=0)  # each to 1e-10


@pytest.mark.parametrize("spread", [0.002, 0.05, 0.5])
@pytest.mark.parametrize("name", MODELS)
def test_the_band_interval_contains_the_true_forward(name, spread):
    model = MODELS[name]
    K, C, P, D, F = priced_chain(model, 0.6)
    F_mid, F_lo, F_hi, reason = pair(model, K, C, P, D, (-spread, spread), (-spread, spread))
    assert (reason == REASON["ok"]).all()
    assert ((F_lo < F) & (F < F_hi)).all()
    assert ((F_lo <= F_mid) & (F_mid <= F_hi)).all()


@pytest.mark.parametrize("name", MODELS)
def test_crossed_bands_meet_at_no_forward(name):
    # Bids above asks on both sides: the call's band lies above the put's wherever
    # the put's lies above the call's, so no forward makes them overlap.
    model = MODELS[name]
    K, C, P, D, _ = priced_chain(model, 0.6)
    F_mid, F_lo, F_hi, reason = pair(model, K, C, P, D, (0.05, -0.05), (0.05, -0.05))
    assert (reason == REASON["no_overlap"]).all()
    assert np.isnan(F_lo).all() and np.isnan(F_hi).all() and np.isfinite(F_mid).all()


@pytest.mark.parametrize("bid", [0.0, np.nan], ids=["zero", "missing"])
@pytest.mark.parametrize("side", ["call", "put"])
@pytest.mark.parametrize("name", ["baw", "american-default"])
def test_a_bid_without_time_value_puts_its_end_at_the_usable_edge(name, side, bid):
    model = MODELS[name]
    K, C, P, D, F = priced_chain(model, 0.6)
    C_ask, P_ask = C + 0.01, P + 0.01
    call_bid, put_bid = (np.full_like(C, bid), P - 0.01) if side == "call" else (C - 0.01, np.full_like(P, bid))
    _, F_lo, F_hi, reason = model.forward_pair(SPOT, K, D, call_bid, C, C_ask, put_bid, P, P_ask)
    assert (reason == REASON["ok"]).all()
    if side == "call":  # the call's bid bounds F from below
        np.testing.assert_array_equal(F_lo, K - P_ask / D)
        assert (F_hi < K + C_ask / D).all()
    else:
        np.testing.assert_array_equal(F_hi, K + C_ask / D)
        assert (F_lo > K - P_ask / D).all()
    assert ((F_lo < F) & (F < F_hi)).all()


# S, K, D, call quotes, put quotes and the forward_pair outputs that must be finite.
PAIR_CASES = {
    "NaN mid": ((100, 100, 0.99, (5, np.nan, 5.2), (4, 4.1, 4.2)), "missing_input", ()),
    "zero spot": ((0, 100, 0.99, (5, 5.1, 5.2), (4, 4.1, 4.2)), "missing_input", ()),
    "infinite strike": ((100, np.inf, 0.99, (5, 5.1, 5.2), (4, 4.1, 4.2)), "missing_input", ()),
    "missing ask": ((100, 100, 0.99, (5, 5.1, np.nan), (4, 4.1, 4.2)), "missing_input", (0,)),
    "call mid below exercise": ((100, 80, 0.99, (19, 19.5, 20.5), (1, 1.1, 1.2)), "below_intrinsic", ()),
    "put mid at exercise": ((100, 120, 0.99, (1, 1.1, 1.2), (19.9, 20, 20.1)), "no_time_value", ()),
    "put mid within the margin": ((100, 120, 0.99, (1, 1.1, 1.2), (19.9, 20 + 5e-11, 20.1)), "no_time_value", ()),
    "ask below its mid": ((100, 100, 0.99, (5, 5.1, 5.2), (0, 4.1, 0)), "no_overlap", (0,)),
    "consistent quotes": ((100, 100, 0.99, (5, 5.1, 5.2), (4, 4.1, 4.2)), "ok", (0, 1, 2)),
}


@pytest.mark.parametrize("case", PAIR_CASES)
@pytest.mark.parametrize("name", ["baw", "american-fast"])
def test_forward_pair_reasons(name, case):
    (S, K, D, calls, puts), reason, finite = PAIR_CASES[case]
    *forwards, code = MODELS[name].forward_pair(S, K, D, *calls, *puts)
    assert baw.REASONS[code] == reason
    assert [i for i, F in enumerate(forwards) if np.isfinite(F)] == list(finite)


def test_no_forward_where_the_model_has_no_price():
    # Negative rates with the put's dividend yield below its rate: two exercise
    # boundaries, which the accurate price does not solve (NaN), at every forward above spot.
    *forwards, code = american.forward_pair(100, 100, 1.02, 8, 8.1, 8.2, 1, 1.1, 1.2)
    assert american.REASONS[code] == "no_solution" and np.isnan(forwards).all()


# price, S, K, D, F, is_call, the reason and the volatility when it is not positive.
VOL_CASES = {
    "NaN price": ((np.nan, 100, 100, 0.99, 101, True), "missing_input", np.nan),
    "infinite spot": ((5, np.inf, 100, 0.99, 101, True), "missing_input", np.nan),
    "zero discount": ((5, 100, 100, 0, 101, True), "missing_input", np.nan),
    "negative forward": ((5, 100, 100, 0.99, -101, False), "missing_input", np.nan),
    "below exercise": ((19, 100, 80, 0.99, 101, True), "below_intrinsic", 0.0),
    "at exercise": ((20, 100, 120, 0.99, 101, False), "no_time_value", 0.0),
    "within the margin": ((20 + 5e-11, 100, 120, 0.99, 101, False), "no_time_value", 0.0),
    "worthless out of the money": ((0, 100, 120, 0.99, 101, True), "no_time_value", 0.0),
    "above every volatility": ((150, 100, 100, 0.99, 101, True), "no_solution", np.nan),
}


@pytest.mark.parametrize("case", VOL_CASES)
@pytest.mark.parametrize("name", MODELS)
def test_implied_vol_reasons(name, case):
    args, reason, expected = VOL_CASES[case]
    vol, code = MODELS[name].implied_vol_reason(*args)
    assert baw.REASONS[code] == reason
    np.testing.assert_array_equal(vol, expected)


@pytest.mark.parametrize("name", MODELS)
def test_the_volatility_is_implied_vol_and_the_reason_matches_it(name):
    model = MODELS[name]
    rng = np.random.default_rng(11)
    n = 400 if name == "baw" else 100
    S, K, D = 100.0, rng.uniform(60, 140, n), rng.uniform(0.9, 1.0, n)
    F, is_call = S * rng.uniform(0.95, 1.05, n), rng.random(n) < 0.5
    exercise = np.where(is_call, np.maximum(S - K, 0), np.maximum(K - S, 0))
    # Time values from below the exercise value to above every volatility's price.
    prices = exercise + rng.choice([-1.0, -1e-11, 0.0, 1e-11, 1e-6, 0.5, 5.0, 200.0], n)
    vol, code = model.implied_vol_reason(prices, S, K, D, F, is_call)
    np.testing.assert_array_equal(vol, model.implied_vol(prices, S, K, D, F, is_call))
    reasons = np.array(baw.REASONS)[code]
    assert set(reasons) >= {"below_intrinsic", "no_time_value", "ok", "no_solution"}
    assert ((vol == 0) == np.isin(reasons, ["below_intrinsic", "no_time_value"])).all()
    assert (np.isnan(vol) == (reasons == "no_solution")).all()
    assert ((vol > 0) == (reasons == "ok")).all()


def test_reason_codes_name_table_statuses():
    """The table maps the kernels' reasons to its statuses by name (it has
    statuses of its own between them), so every reason a mid can get is a status."""
    mid_reasons = set(baw.REASONS) - {"no_overlap", "unsettled"}
    assert mid_reasons <= set(chain.STATUSES)
    assert american.REASONS is baw.REASONS


@pytest.mark.parametrize("name", ["baw", "american-fast"])
def test_bit_identical_for_any_number_of_workers(name):
    model = MODELS[name]
    K, C, P, D, _ = priced_chain(model, 0.6)
    rng = np.random.default_rng(3)
    n = 600  # over two workers' minimum block of 256 elements each
    pick = rng.integers(0, len(K), n)
    wobble = rng.uniform(-0.02, 0.02, (4, n))
    quotes = (C[pick] + wobble[0] - 0.01, C[pick] + wobble[0], C[pick] + wobble[1] + 0.01)
    quotes += (P[pick] + wobble[2] - 0.01, P[pick] + wobble[2], P[pick] + wobble[3] + 0.01)
    results = []
    for n_workers in (1, 2):
        with velliq.workers(n_workers):
            results.append(
                (
                    *model.forward_pair(SPOT, K[pick], D, *quotes),
                    *model.implied_vol_reason(quotes[1], SPOT, K[pick], D, 101.0, True),
                )
            )
    for one, two in zip(*results):
        assert one.tobytes() == two.tobytes()
