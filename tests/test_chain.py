"""velliq.chain: quote tables in, implied volatilities, forwards and statuses out."""

import contextlib
import json
import math
import subprocess
import sys

import forward_grid
import numpy as np
import pandas as pd
import pytest

import velliq
from velliq import baw, chain

SPOT, RATE, YIELD, VOL = 100.0, 0.04, 0.015, 0.3
EXPIRIES = (0.1, 0.6, 1.5)
STRIKES = np.arange(70.0, 131.0, 5.0)


def clean_table(spot=SPOT, dividend_yield=YIELD, underlying="XYZ"):
    """Exact BAW mids with a symmetric spread, where the time value exceeds the
    spread: the truth is known exactly."""
    rows = []
    for years in EXPIRIES:
        D, F = velliq.forward_terms(spot, RATE, dividend_yield, years)
        for K in STRIKES * spot / SPOT:
            for side in ("call", "put"):
                mid = float(baw.price(spot, K, D, F, VOL * math.sqrt(years), side == "call"))
                if mid - max(spot - K if side == "call" else K - spot, 0.0) < 0.05:
                    continue
                rows.append(
                    dict(
                        underlying=underlying,
                        expiry=years,
                        strike=K,
                        side=side,
                        bid=mid - 0.01,
                        ask=mid + 0.01,
                        spot=spot,
                        true_forward=F,
                    )
                )
    return pd.DataFrame(rows)


# --- Forwards -----------------------------------------------------------------------------


@pytest.mark.parametrize("rate, dividend_yield, vol", [(0.005, 0.0, 0.1), (0.06, 0.0, 0.5), (0.03, 0.05, 0.25)])
def test_forward_recovers_every_chain_of_the_grid(rate, dividend_yield, vol):
    # The grid on which the bracketed search of find_forward_baw stops in local minima.
    for years, step in [(y, s) for y in forward_grid.YEARS for s in forward_grid.STRIKE_STEPS]:
        calls, puts, strikes, S, D, F = forward_grid.chain(rate, dividend_yield, vol, years, step)
        assert chain.forward(calls, puts, strikes, S, D) == pytest.approx(F, rel=1e-9)


def test_a_missing_quote_removes_only_its_strike():
    calls, puts, strikes, S, D, F = forward_grid.chain(0.03, 0.02, 0.25, 0.5, 5.0)
    calls[8], puts[3] = np.nan, np.nan
    assert chain.forward(calls, puts, strikes, S, D) == pytest.approx(F, rel=1e-9)


@pytest.mark.parametrize(
    "calls, puts",
    [
        ([np.nan, np.nan], [1.0, 2.0]),  # no call quoted
        ([0.0, 0.0], [0.0, 0.0]),  # nothing above its exercise value
        ([], []),
    ],
)
def test_no_usable_strike_gives_nan(calls, puts):
    strikes = [100.0, 105.0][: len(calls)]
    assert math.isnan(chain.forward(calls, puts, strikes, 100.0, 0.99))


@pytest.mark.parametrize(
    "calls, puts, strikes, named",
    [
        ([5.0, 4.0, 3.0], [3.0, 4.0, 5.0], [[95.0], [100.0], [105.0]], "strikes must be one number"),  # was 98.997
        ([5.0, 4.0, 3.0], [3.0, 4.0], [95.0, 100.0, 105.0], "calls 3, puts 2, strikes 3"),
        ([5.0], [3.0, 4.0], [95.0, 100.0], "calls 1, puts 2, strikes 2"),
    ],
)
def test_forward_refuses_quotes_of_other_shapes(calls, puts, strikes, named):
    with pytest.raises(ValueError, match=named):
        chain.forward(calls, puts, strikes, 100.0, 0.99)


@pytest.mark.parametrize("keyword", ["forward_pairs", "forward_strikes"])
@pytest.mark.parametrize("cap", [0, -1, 1.5, True, "3"])
def test_pair_cap_must_be_a_whole_number_of_at_least_one(keyword, cap):
    with pytest.warns() if keyword == "forward_strikes" else contextlib.nullcontext():
        with pytest.raises(ValueError, match=f"{keyword} must be a whole number of at least 1, not {cap!r}"):
            chain.forwards(clean_table(), rate=RATE, **{keyword: cap})


# --- The table ------------------------------------------------------------------------------


def test_clean_table_recovers_forwards_and_vols():
    table = clean_table()
    result = chain.implied_vols(table, rate=RATE)
    assert len(result) == len(table) and (result["status"] == "ok").all()
    assert np.allclose(result["forward"], table["true_forward"], rtol=1e-9, atol=0)
    assert np.allclose(result["iv_mid"], VOL, rtol=0, atol=1e-8)
    # A deep in-the-money bid can sit below the zero-volatility value D (F - K): no bid vol there.
    has_bid = result["iv_bid"].notna()
    assert has_bid.mean() > 0.9 and (result["iv_bid"][has_bid] < result["iv_mid"][has_bid]).all()
    assert (result["iv_mid"] < result["iv_ask"]).all()
    vega = baw.greeks(
        SPOT,
        table["strike"],
        result["discount"],
        result["forward"],
        VOL * np.sqrt(result["years"]),
        velliq.sides(table["side"]),
    )[2]
    assert np.allclose(result["vega"], vega * np.sqrt(result["years"]), rtol=1e-6)


def test_each_status_from_a_row_built_for_it():
    """Every status from a row of one expiry's table built for it; the
    kernel's own statuses on rows of an underlying quoted once (no
    neighbours to break a bound with), at the true forward."""
    table = clean_table()
    table = table[table["expiry"] == EXPIRIES[1]].copy()
    alone = table.iloc[[0, 0]].assign(underlying="ALONE", strike=[110.0, 100.0], side=["put", "call"])
    table = pd.concat([table, alone, table.iloc[[3]]], ignore_index=True)
    K = table["strike"].to_numpy()
    call = (table["side"] == "call").to_numpy()
    xyz = (table["underlying"] == "XYZ").to_numpy()
    built = {
        "missing_input": table.index[xyz & call & (K == 110.0)][0],
        "expired": table.index[xyz & ~call & (K == 120.0)][0],
        "crossed": table.index[xyz & ~call & (K == 95.0)][0],
        "duplicate": table.index[-1],
        "one_sided": table.index[xyz & ~call & (K == 105.0)][0],
        "arbitrage": table.index[xyz & call & (K == 100.0)][0],
        "below_intrinsic": table.index[xyz & call & (K == 70.0)][0],
        "no_time_value": table.index[~xyz][0],
        "no_solution": table.index[~xyz][1],
    }
    table.loc[built["missing_input"], "side"] = np.nan
    table.loc[built["expired"], "expiry"] = 0.0
    table.loc[built["crossed"], ["bid", "ask"]] = [5.0, 4.0]
    table.loc[built["duplicate"], "bid"] -= 0.01  # a repeat of row 3 at another bid: both are flagged
    table.loc[built["one_sided"], "ask"] = np.nan
    table.loc[built["arbitrage"], ["bid", "ask"]] = [150.0, 151.0]  # above the spot, and every lower strike's call
    table.loc[built["below_intrinsic"], ["bid", "ask"]] = [29.0, 29.5]  # intrinsic 30
    table.loc[built["no_time_value"], ["bid", "ask"]] = [10.0, 10.0]  # the put's exercise value
    table.loc[built["no_solution"], ["bid", "ask"]] = [99.9, 100.5]  # a mid above the spot, a bid below it
    result = chain.implied_vols(table, rate=RATE, forward="true_forward")
    statuses = {status: result.loc[row, "status"] for status, row in built.items()}
    assert statuses == {s: s for s in built}
    assert set(result["status"].drop([*built.values(), 3])) == {"ok"} and result.loc[3, "status"] == "duplicate"
    bad = result.loc[[built[s] for s in ("missing_input", "expired", "crossed", "below_intrinsic", "no_solution")]]
    assert bad[["iv_bid", "iv_mid", "iv_ask"]].isna().all().all()
    assert result.loc[built["no_time_value"], "iv_mid"] == 0.0
    one_sided = result.loc[built["one_sided"]]
    assert one_sided["iv_bid"] > 0 and np.isnan(one_sided["iv_mid"]) and np.isnan(one_sided["iv_ask"])
    assert list(result["status"].cat.categories) == list(chain.STATUSES)


def test_forward_strikes_is_the_former_name_of_forward_pairs():
    table = clean_table()
    with pytest.warns(DeprecationWarning, match="forward_pairs"):
        former = chain.forwards(table, rate=RATE, forward_strikes=1)
    pd.testing.assert_frame_equal(former, chain.forwards(table, rate=RATE, forward_pairs=1))


@pytest.mark.parametrize("forward_pairs", [1, 3, None])
def test_forward_from_the_pairs_with_most_time_value(forward_pairs):
    table = clean_table()
    result = chain.forwards(table, rate=RATE, forward_pairs=forward_pairs)
    expected = table.groupby(["underlying", "expiry"])["true_forward"].first()
    assert np.allclose(result["forward"], expected, rtol=1e-9, atol=0)


def test_no_forward_when_no_strike_has_a_pair():
    table = clean_table()
    table = table[(table["side"] == "call") & (table["expiry"] == EXPIRIES[0])]
    result = chain.implied_vols(table, rate=RATE)
    assert (result["status"] == "no_forward").all() and result["forward"].isna().all()


@pytest.mark.filterwarnings("ignore::velliq.chain.WeekendExpiryWarning")  # whole days after a Friday: weekends too
def test_dates_and_year_fractions_agree():
    table = clean_table()
    valuation = pd.Timestamp("2026-12-04")
    dated = table.assign(expiry=valuation + pd.to_timedelta(np.round(table["expiry"] * 365), "D"))
    by_dates = chain.implied_vols(dated, valuation_date="2026-12-04", rate=RATE)
    by_years = chain.implied_vols(table.assign(expiry=np.round(table["expiry"] * 365) / 365), rate=RATE)
    for column in ("years", "forward", "iv_mid", "status"):
        assert by_dates[column].equals(by_years[column])
    with pytest.raises(ValueError, match="valuation_date"):
        chain.implied_vols(dated, rate=RATE)


def test_column_overrides_and_scalars():
    table = clean_table().rename(columns={"strike": "K", "side": "cp", "bid": "b", "ask": "a"})
    table = table.drop(columns="spot")
    result = chain.implied_vols(table, strike="K", side="cp", bid="b", ask="a", spot=SPOT, rate=RATE)
    expected = chain.implied_vols(clean_table(), rate=RATE)
    assert np.array_equal(result["iv_mid"], expected["iv_mid"], equal_nan=True)


def test_given_dividend_yield_or_forward_skips_the_estimate():
    table = clean_table()
    by_yield = chain.implied_vols(table, rate=RATE, dividend_yield=YIELD)
    assert np.allclose(by_yield["forward"], table["true_forward"], rtol=1e-15)
    given = table.assign(discount=np.exp(-RATE * table["expiry"]), forward=table["true_forward"])
    by_forward = chain.implied_vols(given.drop(columns="spot"), spot=SPOT)
    assert by_forward["forward"].equals(given["forward"])


def test_several_underlyings_are_grouped():
    table = pd.concat([clean_table(), clean_table(spot=250.0, dividend_yield=0.0, underlying="ABC")], ignore_index=True)
    result = chain.implied_vols(table, rate=RATE)
    assert np.allclose(result["forward"], table["true_forward"], rtol=1e-9)
    summary = chain.summary(result)
    assert list(summary.index.get_level_values(0).unique()) == ["ABC", "XYZ"]
    assert np.allclose(summary["atm_vol"], VOL, atol=1e-8)
    assert summary["ok"].sum() == len(table) and summary["forward"].notna().all()


def test_missing_columns_name_what_was_expected_and_found():
    with pytest.raises(chain.MissingColumnsError) as info:
        chain.implied_vols(clean_table().drop(columns=["strike", "spot"]), rate=RATE)
    message = str(info.value)
    assert "'strike'" in message and "'spot'" in message and "found underlying" in message


def test_plot_smiles_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib")
    result = chain.implied_vols(clean_table(), rate=RATE)
    chain.plot_smiles(result, tmp_path / "smiles.png")
    assert (tmp_path / "smiles.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "names, wanted, expected",
    [
        (["XYZ", "ABC"], None, ("XYZ", 2)),  # the first by default
        ([7203, 6758], "6758", (6758, 2)),  # a command line's text finds a numeric name
        (["XYZ"], "ABC", LookupError),
        (None, None, (None, 0)),  # no underlying column
    ],
)
def test_smile_underlying_picks_what_to_plot(names, wanted, expected):
    result = pd.DataFrame({"strike": [100.0, 100.0]})
    if names is not None:
        result["underlying"] = (names * 2)[:2]
    if expected is LookupError:
        with pytest.raises(LookupError, match="'ABC' is not in the table"):
            chain.smile_underlying(result, wanted)
    else:
        assert chain.smile_underlying(result, wanted) == expected


@pytest.mark.parametrize(
    "statement, loaded, absent",
    [
        ("import velliq", [], ["numpy", "pandas", "matplotlib", "scipy", "velliq.chain"]),
        ("import velliq.baw", ["numpy"], ["pandas", "matplotlib"]),
        ("import velliq; velliq.american.price", ["velliq.american"], ["pandas", "matplotlib"]),
        ("import velliq; velliq.chain.implied_vols", ["pandas", "velliq.chain"], ["matplotlib"]),
    ],
)
def test_imports_load_only_what_they_need(statement, loaded, absent):
    code = f"{statement}; import json, sys; print(json.dumps(sorted(sys.modules)))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd="/")
    assert run.returncode == 0, run.stderr
    modules = set(json.loads(run.stdout))
    assert set(loaded) <= modules and not modules & set(absent)
