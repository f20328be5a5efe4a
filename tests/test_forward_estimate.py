"""velliq.chain's forward estimate on quotes as a trader sees them: tight near
the money, wide and stale deep in the money.

Each chain is priced by velliq.baw or velliq.american at a smile and at the
forward of forward_terms(spot, rate, yield, years): the truth. Bids are
rounded down to the tick and asks up, so every clean band contains the true
volatility. The deep in-the-money side of the wings (calls below 0.85 F,
puts above 1.15 F; a long low-strike wing, as on index chains) is stale, its
mid 1-4 % above its value, and quoted 50-100 times as wide as near the money,
so the wings' per-strike forwards scatter by a few percent, mostly upwards.
"""

import math

import numpy as np
import pandas as pd
import pytest

import velliq
from velliq import chain

SPOT, RATE, YIELD, TICK = 100.0, 0.04, 0.015, 0.01
EXPIRIES = (0.25, 1.0)
STRIKES = np.arange(40.0, 126.0, 1.0)


def quotes(model, seed=5):
    """The long quote table of both expiries, with each row's true forward."""
    rng = np.random.default_rng(seed)
    tables = []
    for years in EXPIRIES:
        D, F = velliq.forward_terms(SPOT, RATE, YIELD, years)
        m = np.log(STRIKES / F)
        sigma = (0.25 - 0.1 * m + 0.2 * m**2) * math.sqrt(years)
        for is_call in (True, False):
            value = chain.MODELS[model].price(SPOT, STRIKES, D, F, sigma, is_call)
            wing = STRIKES < 0.85 * F if is_call else STRIKES > 1.15 * F
            mid = np.where(wing, value * (1 + rng.uniform(0.01, 0.04, STRIKES.size)), value)
            half = np.where(wing, rng.uniform(1.4, 2.4, STRIKES.size), rng.uniform(0.01, 0.03, STRIKES.size))
            table = pd.DataFrame(
                dict(
                    expiry=years,
                    strike=STRIKES,
                    side="call" if is_call else "put",
                    bid=np.maximum(np.floor((mid - half) / TICK) * TICK, 0.0),
                    ask=np.ceil((mid + half) / TICK) * TICK,
                    spot=SPOT,
                    true_forward=float(F),
                )
            )
            tables.append(table)
    return pd.concat(tables, ignore_index=True)


@pytest.fixture(scope="module", params=["baw", "american"])
def priced(request):
    return request.param, quotes(request.param)


def true_forwards(table):
    return table.groupby("expiry")["true_forward"].first()


def near_money_overlap(result):
    """Per expiry, the share of near-money strikes (|ln K/F| < 0.05, both
    bids positive, both rows ok) whose call and put vol bands overlap."""
    ok = result[(result["status"] == "ok") & (result["bid"] > 0)]
    ok = ok[np.abs(np.log(ok["strike"] / ok["forward"])) < 0.05]
    bands = ["iv_bid", "iv_ask"]
    calls = ok[ok["side"] == "call"].set_index(["expiry", "strike"])[bands]
    puts = ok[ok["side"] == "put"].set_index(["expiry", "strike"])[bands]
    both = calls.merge(puts, left_index=True, right_index=True, suffixes=("_call", "_put"))
    overlap = (both["iv_bid_call"] <= both["iv_ask_put"]) & (both["iv_bid_put"] <= both["iv_ask_call"])
    return overlap.groupby(level="expiry").mean(), overlap.mean()


def test_stale_wings_pull_the_plain_median_but_not_the_estimate(priced):
    model, table = priced
    estimate = chain.forwards(table, rate=RATE, model=model)["forward"]
    for years, F in true_forwards(table).items():
        expiry = table[table["expiry"] == years]
        calls, puts = (expiry[expiry["side"] == side].set_index("strike") for side in ("call", "put"))
        D = float(velliq.forward_terms(SPOT, RATE, YIELD, years)[0])
        # The plain median of every strike's mid forward, as the table once took it.
        sides = [(s["bid"], (s["bid"] + s["ask"]) / 2, s["ask"]) for s in (calls, puts)]
        F_mid = chain.MODELS[model].forward_pair(SPOT, STRIKES, D, *sides[0], *sides[1])[0]
        assert abs(np.nanmedian(F_mid) - F) > 10 * TICK
        assert abs(estimate.loc[years] - F) < TICK


def test_the_consistent_range_contains_the_true_forward(priced):
    model, table = priced
    result = chain.forwards(table, rate=RATE, model=model)
    F = true_forwards(table)
    assert ((result["forward_lo"] <= F) & (F <= result["forward_hi"])).all()
    assert (result["forward_strikes"] >= 3).all() and (result["forward_unsettled"] == 0).all()


def _near_money(table, n):
    """Rows of the n strikes nearest the true forward, per expiry."""
    distance = (table["strike"] - table["true_forward"]).abs()
    return distance <= distance.groupby(table["expiry"]).transform(lambda d: np.sort(d.unique())[n - 1])


# Changes to the table that leave every expiry's forward within a tick of the truth.
CHANGES = {
    "zero bids": lambda t: t.assign(bid=t["bid"].where(~_near_money(t, 3), 0.0)),
    "missing bids": lambda t: t.assign(bid=t["bid"].where(~_near_money(t, 3))),
    "missing asks": lambda t: t.assign(ask=t["ask"].where(~(_near_money(t, 3) & (t["side"] == "put")))),
    "one bad tight quote": lambda t: t.assign(
        bid=t["bid"] + 0.3 * (_near_money(t, 1) & (t["side"] == "call")),
        ask=t["ask"] + 0.3 * (_near_money(t, 1) & (t["side"] == "call")),
    ),
    "prices only": lambda t: t.assign(price=(t["bid"] + t["ask"]) / 2).drop(columns=["bid", "ask"]),
}


@pytest.mark.parametrize("change", CHANGES)
def test_quotes_that_do_not_move_the_forward(priced, change):
    model, table = priced
    result = chain.forwards(CHANGES[change](table), rate=RATE, model=model)
    np.testing.assert_array_less(np.abs(result["forward"] - true_forwards(table)), TICK)


def test_near_money_bid_ask_bands_overlap(priced):
    model, table = priced
    per_expiry, overall = near_money_overlap(chain.implied_vols(table, rate=RATE, model=model))
    assert overall >= 0.99 and (per_expiry >= 0.8).all()


# The three defences of the estimate (velliq.chain.forward_search), each against a trait of real
# chains: one synthetic expiry (flat 25 % smile, half a year) per trait, its stale quotes priced
# at a forward above the true one. With the defence the estimate is within TOLERANCE of the
# truth; with that defence alone disabled (its factor infinite, its cap none, equal weights;
# measured on both models) it lands among the stale quotes' forwards: 0.5, 0.5 and 0.1 off.
STALE_SHIFT, TOLERANCE, DEFENCE_YEARS = 0.5, 0.02, 0.5
DEFENCE_D, DEFENCE_F = (float(x) for x in velliq.forward_terms(SPOT, RATE, YIELD, DEFENCE_YEARS))


def one_expiry(model, strikes, forwards, half_spreads):
    """Calls and puts at ``strikes``, each pair priced at its own forward, quoted mid ± half spread."""
    sigma = 0.25 * math.sqrt(DEFENCE_YEARS)
    sides = []
    for is_call in (True, False):
        mid = chain.MODELS[model].price(SPOT, strikes, DEFENCE_D, forwards, sigma, is_call)
        side = "call" if is_call else "put"
        sides.append(
            pd.DataFrame(dict(expiry=DEFENCE_YEARS, strike=strikes, side=side, spot=SPOT)).assign(
                bid=mid - half_spreads, ask=mid + half_spreads
            )
        )
    return pd.concat(sides, ignore_index=True)


def wide_stale_near_money(model):
    """The spread filter's case: the strikes nearest the money quoted wide (20 times) and stale,
    as a strike just listed; the next ones out tight and fresh. Without the filter the six pairs
    solved are all wide ones."""
    strikes = np.arange(80.0, 121.0, 1.0)
    near = np.abs(strikes - DEFENCE_F) < 4.5
    return one_expiry(model, strikes, np.where(near, DEFENCE_F + STALE_SHIFT, DEFENCE_F), np.where(near, 0.4, 0.02))


def tight_stale_wings(model):
    """The cap's case: wings not refreshed after the underlying moved, as tight as the money
    but priced at an earlier forward, staler further out. Without the cap their many
    equally weighted pairs outvote the six near the money."""
    strikes = np.arange(70.0, 131.0, 1.0)
    staleness = np.clip((np.abs(strikes - DEFENCE_F) - 4) / 6, 0, 1)
    return one_expiry(model, strikes, DEFENCE_F + STALE_SHIFT * staleness, np.full(strikes.size, 0.02))


def wider_stale_between_round_strikes(model):
    """The weighted median's case: round strikes tight and fresh, the strikes between them three
    times as wide (within the filter) and priced at an earlier forward. Half the pairs solved are
    stale: a plain median lands between the two kinds, 0.1 off."""
    strikes = np.arange(80.0, 121.0, 2.5)
    between = strikes % 5 != 0
    forwards = np.where(between, DEFENCE_F + 0.2, DEFENCE_F)
    return one_expiry(model, strikes, forwards, np.where(between, 0.06, 0.02))


@pytest.mark.parametrize("model", ["baw", "american"])
@pytest.mark.parametrize("trait", [wide_stale_near_money, tight_stale_wings, wider_stale_between_round_strikes])
def test_each_defence_keeps_the_forward_off_the_stale_quotes(model, trait):
    estimate = chain.forwards(trait(model), rate=RATE, model=model)["forward"].iloc[0]
    assert abs(estimate - DEFENCE_F) < TOLERANCE
