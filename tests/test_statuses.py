"""Every row's status on a vendor's messy export (tests/messy_quotes.py), and
the inputs refused or warned about where they enter."""

import pickle
import re
import warnings

import numpy as np
import pandas as pd
import pytest
from messy_quotes import DATES, LABEL_STATUSES, RATE, messy_quotes
from support import ROUND_TRIP_TOLERANCE

import velliq
from velliq import american, chain

NEW_STATUSES = {"expired", "duplicate", "one_sided", "arbitrage"}


@pytest.fixture(scope="module")
def messy():
    quotes = messy_quotes()
    result = chain.implied_vols(quotes.drop(columns="label"), valuation_date="quote_date", rate=RATE, model="american")
    return quotes, result


@pytest.mark.parametrize("label", sorted(LABEL_STATUSES))
def test_each_label_gets_its_statuses(messy, label):
    quotes, result = messy
    statuses = set(result["status"][quotes["label"] == label].astype(str))
    assert statuses and statuses <= LABEL_STATUSES[label]


def test_the_mess_is_flagged_and_the_clean_rows_are_not(messy):
    quotes, result = messy
    status = result["status"].astype(str)
    injected = quotes["label"].isin(["stale", "typo", "duplicate"])
    assert (status[injected] != "ok").mean() >= 0.75
    assert status[quotes["label"] == "clean"].isin(NEW_STATUSES).mean() <= 0.005
    one_sided = status == "one_sided"
    assert result.loc[one_sided, "iv_mid"].isna().all() and (result.loc[one_sided, "iv_ask"] > 0).any()


def test_flagged_quotes_never_enter_the_forward(messy):
    quotes, result = messy
    clean = quotes[quotes["label"] == "clean"].drop(columns="label")
    alone = chain.implied_vols(clean, valuation_date="quote_date", rate=RATE, model="american")
    np.testing.assert_array_equal(result.loc[clean.index, "forward"], alone["forward"])


def _small():
    quotes = messy_quotes()
    return quotes[(quotes["label"] == "clean") & (quotes["underlying"] == "GAMA")].drop(columns="label")


def _integer_expiries(t):
    return t.assign(expiry=t["expiry"].dt.strftime("%Y%m%d").astype(int)), {}


def _several_spots(t):
    return t.drop(columns="underlying").assign(spot=np.where(t.index % 2, 47.3, 212.0)), {}


def _text_cell(t):
    t = t.astype({"bid": object})
    t.loc[t.index[4], "bid"] = "n/a"
    return t, {}


def _categorical_side(t):
    side = t["side"].astype(object)
    side.iloc[5] = "X"
    return t.assign(side=pd.Categorical(side, categories=["Q", "C", "P", "X"])), {}


@pytest.mark.parametrize(
    "spoil, message",
    [
        (_integer_expiries, r"column 'expiry' holds integers that read as dates \(e\.g\. 2025\d{4} as YYYYMMDD"),
        (_several_spots, r"several underlyings; name each row's underlying in a column 'underlying'"),
        (_text_cell, r"column 'bid', row (\d+): 'n/a' is not a number"),
        (_categorical_side, r"column 'side', row (\d+): side 'X' is not"),
    ],
)
def test_input_errors_name_the_column_and_row(spoil, message):
    table, _ = spoil(_small())
    with pytest.raises(ValueError, match=message) as error:
        chain.implied_vols(table, valuation_date="quote_date", rate=RATE)
    row = re.search(message, str(error.value)).groups()
    assert not row or int(row[0]) in table.index[[4, 5]]  # the spoilt row's label, not a position


@pytest.mark.parametrize(
    "cells, earliest",
    [
        ({"bid": (7, "n/a"), "strike": (3, "abc")}, ("strike", 3, "a number")),  # bid is read first
        ({"ask": (2, "-"), "side": (6, "X")}, ("ask", 2, "a number")),  # the side, before any price
        ({"bid": (9, "n/a"), "expiry": (5, "soon")}, ("expiry", 5, "a date")),
    ],
)
def test_a_read_error_is_the_earliest_bad_cell(cells, earliest):
    """Of several unreadable cells, the error names the earliest row's, whatever
    order the columns are read in: column, index label, position, value and kind."""
    table = _small().astype({column: object for column in cells})
    for column, (position, value) in cells.items():
        table.iloc[position, table.columns.get_loc(column)] = value
    with pytest.raises(chain.CellError) as error:
        chain.implied_vols(table, valuation_date="quote_date", rate=RATE)
    column, position, expected = earliest
    found = error.value
    assert (found.column, found.position, found.expected) == (column, position, expected)
    assert (found.row, found.value) == (table.index[position], cells[column][1])
    assert str(pickle.loads(pickle.dumps(found))) == str(found)  # as it crosses processes (velliq.dask)


@pytest.mark.parametrize(
    "inputs, message",
    [
        ({"rate": np.float64(4.3)}, "rate=4.3 is above 1 in magnitude: a yearly rate is a fraction"),
        ({"rate": RATE, "dividend_yield": 1.5}, "dividend_yield=1.5 is above 1 in magnitude"),
        ({"rate": "spot"}, "column 'spot' (rate) holds 47.3, above 1 in magnitude"),
    ],
)
def test_a_percentage_warns_naming_the_argument(inputs, message):
    with pytest.warns(UserWarning, match=re.escape(message)) as caught:
        chain.implied_vols(_small(), valuation_date="quote_date", **inputs)
    assert all("np.float64" not in str(warning.message) for warning in caught)


# Deep in-the-money quotes around their exercise value, 30 (spot 100, rate and dividend yield
# 4 %, a quarter-year, so that both sides are worth exercising early): a market straddling it
# (bid under it, ask at or above it) keeps the ask's volatility; an ask under it is below
# intrinsic. Either way the bid and the mid have none.
@pytest.mark.parametrize("model", ["baw", "american"])
@pytest.mark.parametrize(
    "side, strike, bid, ask, status",
    [
        ("P", 130.0, 29.97, 30.02, "mid_below_intrinsic"),
        ("C", 70.0, 29.96, 30.03, "mid_below_intrinsic"),
        ("P", 130.0, 29.98, 30.0, "mid_below_intrinsic"),  # the ask at the exercise value: volatility 0
        ("P", 130.0, 29.9, 29.98, "below_intrinsic"),
        ("C", 70.0, 29.5, 29.99, "below_intrinsic"),
    ],
)
def test_a_market_straddling_the_exercise_value_keeps_its_ask(model, side, strike, bid, ask, status):
    quotes = pd.DataFrame({"expiry": [0.25], "strike": strike, "side": side, "bid": bid, "ask": ask})
    result = chain.implied_vols(quotes, spot=100.0, rate=0.04, dividend_yield=0.04, model=model)
    assert result["status"].tolist() == [status] and chain.summary(result)[status].tolist() == [1]
    assert result[["iv_bid", "iv_mid", "vega"]].isna().all(axis=None)
    D, F = velliq.forward_terms(100.0, 0.04, 0.04, 0.25)
    ask_price = chain.MODELS[model].price(100.0, strike, D, F, result["iv_ask"].iloc[0] * 0.5, side == "C")
    tolerance = ROUND_TRIP_TOLERANCE["default"] if model == "american" else 1e-9  # each inversion's stopping rule
    assert np.isnan(ask_price) if status == "below_intrinsic" else ask_price == pytest.approx(ask, abs=tolerance)


@pytest.mark.parametrize("hours", [17.5, 30.5, 24.0 * 16])
def test_an_expiry_keeps_its_time_of_day(hours):
    table = _small().head(6)
    valuation = DATES[0] + pd.Timedelta(hours=16)
    timed = table.assign(expiry=valuation + pd.Timedelta(hours=hours))
    result = chain.implied_vols(timed, valuation_date=valuation, rate=RATE, forward=50.0)
    assert (result["years"] == hours * 3600 / (365 * 86400)).all() and (result["status"] != "missing_input").all()
    dated = chain.implied_vols(table, valuation_date=DATES[0], rate=RATE)
    assert (dated["years"] == (table["expiry"] - DATES[0]).dt.days / 365).all()  # date-only: days / 365 exactly


# Calls at a rate <= 0 below the dividend yield have an early-exercise premium that the BAW
# model's design leaves out (it prices them as European there); the table keeps its numbers
# and warns, naming the rows. The quotes are the accurate model's prices at vol 30 %, six
# months, strikes 80-120, a call and a put each.
@pytest.mark.parametrize(
    "rate, dividend_yield, model, warned_calls",
    [
        (-0.005, 0.03, "baw", 9),  # issue 27's table
        (0.0, 0.08, "baw", 9),  # D = 1: still the European branch
        (0.0001, 0.08, "baw", 0),  # a positive rate: BAW's premium
        (-0.005, -0.01, "baw", 0),  # F > S: no early exercise of a call
        (-0.005, 0.03, "american", 0),
    ],
)
def test_baw_calls_without_their_premium_warn(rate, dividend_yield, model, warned_calls):
    strikes = np.arange(80.0, 121.0, 5.0)
    D, F = velliq.forward_terms(100.0, rate, dividend_yield, 0.5)
    quotes = pd.concat(
        [
            pd.DataFrame({"expiry": 0.5, "strike": strikes, "side": side, "bid": price - 0.02, "ask": price + 0.02})
            for side, price in (
                (side, american.price(100.0, strikes, D, F, 0.3 * 0.5**0.5, side == "call")) for side in ("call", "put")
            )
        ],
        ignore_index=True,
    )
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        chain.implied_vols(quotes, spot=100.0, rate=rate, dividend_yield=dividend_yield, model=model)
    counts = [int(str(w.message).split()[0]) for w in caught if 'model="american"' in str(w.message)]
    assert counts == ([warned_calls] if warned_calls else [])
