"""A spot from the quotes: the mid of the underlying's bid and ask columns, or
implied by put-call parity on the nearest expiries (``spot="implied"``,
velliq.chain.spots, ``velliq vols --spot implied``)."""

import numpy as np
import pandas as pd
import pytest
from cli_runs import velliq
from messy_quotes import EXPIRIES, messy_quotes
from vendor_quotes import RATE, VENDOR_COLUMNS, quote_dates, vendor_quotes

from velliq import chain

MESSY = dict(valuation_date="quote_date", rate=0.04)  # messy_quotes' rate (its RATE)


@pytest.fixture(scope="module")
def messy():
    """The messy export without its spot column, and the spot each (underlying, date) was priced at."""
    table = messy_quotes().drop(columns="label")
    truth = table[table["spot"] > 0].groupby(["underlying", "quote_date"])["spot"].first()
    return table.drop(columns="spot"), truth


@pytest.mark.parametrize("model", ["baw", "american"])
def test_implied_spot_is_the_priced_spot(messy, model):
    # Priced by velliq.american with an early-exercise premium at dividend yields 0-1.5 %, quoted
    # 3 % wide with mess (messy_quotes): the priced spot lies within each consistent range, and
    # within 1e-4 of the spot (6e-5 measured for both models).
    quotes, truth = messy
    spots = chain.spots(quotes, model=model, **MESSY)
    assert spots.index.names == ["underlying", "quote_date"] and len(spots) == len(truth)
    spot, truth = spots["spot"], truth.reindex(spots.index)
    assert ((spots["spot_lo"] <= truth) & (truth <= spots["spot_hi"])).all()
    np.testing.assert_allclose(spot, truth, rtol=1e-4)
    assert (spots["spot_expiries"] == 3).all()


def test_implied_vols_use_the_implied_spots(messy):
    quotes, _ = messy
    spots = chain.spots(quotes, **MESSY)["spot"]
    result = chain.implied_vols(quotes, spot="implied", **MESSY)
    given = quotes.assign(spot=spots.reindex(pd.MultiIndex.from_frame(quotes[["underlying", "quote_date"]])).to_numpy())
    expected = chain.implied_vols(given, **MESSY)
    pd.testing.assert_frame_equal(result, expected[result.columns], check_exact=True)


@pytest.fixture(scope="module")
def vendor():
    quotes, _ = vendor_quotes(quote_dates(2))
    last = quotes.pop("underlying_last")
    return quotes.assign(underlying_bid=last - 0.05, underlying_ask=last + 0.05), last


@pytest.mark.parametrize("bad_side", [np.nan, 0.0, -1.0])
def test_spot_is_the_mid_of_two_columns(vendor, bad_side):
    quotes, last = vendor
    quotes = quotes.copy()
    quotes.loc[[3, 500], "underlying_ask"] = bad_side
    options = dict(VENDOR_COLUMNS, valuation_date="quotedate", rate=RATE)
    options.pop("spot")
    result = chain.implied_vols(quotes, spot=("underlying_bid", "underlying_ask"), **options)
    on_last = chain.implied_vols(quotes.assign(spot=last), **options)
    bad = result.index.isin([3, 500])
    assert (result["status"][bad] == "missing_input").all() and np.isnan(result["spot"][bad]).all()
    np.testing.assert_allclose(result["spot"][~bad], last[~bad], rtol=1e-13)
    np.testing.assert_allclose(result["iv_mid"][~bad], on_last["iv_mid"][~bad], rtol=1e-9)


def _one_underlying_unpriceable(quotes, how):
    """``quotes`` with one underlying left no two expiries with call and put quoted at one strike."""
    gama = quotes["underlying"] == "GAMA"
    if how == "one expiry":
        return quotes[~gama | (quotes["expiry"] == EXPIRIES[0])]
    return quotes[~gama | (quotes["side"] == "C")]  # calls only: no parity


@pytest.mark.parametrize("how", ["one expiry", "calls only"])
def test_no_spot_where_none_can_be_implied(messy, how):
    quotes = _one_underlying_unpriceable(messy[0], how)
    spots = chain.spots(quotes, **MESSY)
    assert spots.loc["GAMA", "spot"].isna().all() and (spots.loc["GAMA", "spot_expiries"] == 0).all()
    assert spots.drop(index="GAMA")["spot"].notna().all()
    result = chain.implied_vols(quotes, spot="implied", **MESSY)
    gama = result["underlying"] == "GAMA"
    assert (result["status"][gama] == "missing_input").all() and (result["status"][~gama] == "ok").any()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda q: chain.implied_vols(q, spot="implied", dividend_yield=0.01, **MESSY), ValueError, "dividend_yield"),
        (lambda q: chain.implied_vols(q.assign(forward=100.0), spot="implied", **MESSY), ValueError, "forward"),
        (lambda q: chain.spots(q, spot=100.0, **MESSY), TypeError, "give no spot="),
        (lambda q: chain.implied_vols(q, spot=("strike",), **MESSY), TypeError, r"\(bid column, ask column\)"),
        (lambda q: pytest.importorskip("velliq.dask").implied_vols(q, spot="implied", **MESSY), ValueError, "spots"),
    ],
)
def test_spot_arguments_refused(messy, call, error, message):
    with pytest.raises(error, match=message):
        call(messy[0])


@pytest.mark.parametrize(
    "arguments, status, said",
    [
        (["--spot", "implied"], 0, "implied spots"),
        (["--column", "spot=underlying_bid,underlying_ask"], 0, "quotes"),
        ([], 2, "--spot implied"),
        (["--column", "spot=underlying_bid,nothing"], 2, "no column 'nothing'"),
        (["--column", "spot=underlying_bid,underlying_ask,strike"], 2, "BID_COL,ASK_COL"),
    ],
)
def test_command_line_spot(vendor, tmp_path, arguments, status, said):
    quotes, last = vendor
    quotes.to_csv(tmp_path / "quotes.csv", index=False)
    columns = [f"--column={name}={column}" for name, column in VENDOR_COLUMNS.items() if name != "spot"]
    market = ["--valuation-date", "quotedate", "--rate", RATE]
    run = velliq("vols", "quotes.csv", *market, *columns, *arguments, cwd=tmp_path)
    assert run.returncode == status, run.stderr
    assert said in (run.stdout if status == 0 else run.stderr)
    if "implied" in arguments:  # each date's spot, to the 4 decimals printed
        for spot in last.unique():
            assert f"{spot:.4f}" in run.stdout
