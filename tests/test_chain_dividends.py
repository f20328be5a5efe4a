"""Quote tables with cash dividends: velliq.chain's ``dividends=`` and ``velliq vols --dividends``.

The chain is tools/devsupport/dividend_quotes.py's: two underlyings priced by
velliq.dividends at its default setting, expiries before, on and a week after
ex-dates, one with a borrow on top of its dividends."""

import functools

import numpy as np
import pandas as pd
import pytest
import support  # noqa: F401  # puts tools/ on the path, for devsupport
from cli_runs import velliq
from devsupport import dividend_quotes

from velliq import chain
from velliq.chain import table as table_module
from velliq.chain.chunks import group_chunks
from velliq.chain.dividend_inputs import dividend_table
from velliq.chain.dividend_terms import dividend_rate_greeks

MARKET = dict(valuation_date=dividend_quotes.VALUATION, rate=dividend_quotes.RATE)
# Vols are compared where vega is at least 0.01 per vol point (1 per unit of vol): below it a
# quote's price, a few millionths, pins its vol no better than the price's own error.
MIN_VEGA = 1.0


@pytest.fixture(scope="module")
def priced():
    quotes, table, truth = dividend_quotes.dividend_chain()
    return quotes, table, truth, chain.implied_vols(quotes, model="american", dividends=table, **MARKET)


def test_vols_and_forwards_are_the_priced_ones(priced):
    # The goal of the dividend model in a table: mid vols within 0.5 bp and forwards within 1 bp of
    # those the quotes were priced at, through the forward search and the inversion.
    quotes, _, truth, result = priced
    assert (result["status"] == "ok").sum() >= 0.95 * len(result)
    compared = (result["status"] == "ok") & (result["vega"] >= MIN_VEGA)
    assert compared.sum() >= 0.8 * len(result)  # 185 of 216
    np.testing.assert_allclose(result["iv_mid"][compared], truth["vol"][compared], rtol=0, atol=0.5e-4)
    np.testing.assert_allclose(result["forward"], truth["forward"], rtol=1e-4)


def test_summary_gives_each_expirys_dividends_and_residual_yield(priced):
    # The PV of the dividends each expiry's quotes were priced with, at the flat rate (sum d e^(-r t),
    # computed here from the schedule), and the borrow the forward leaves on top of them.
    quotes, _, truth, result = priced
    summary = chain.summary(result)
    assert list(summary.columns[:4]) == ["years", "forward", "dividend_pv", "residual_yield"]
    for (name, expiry), row in summary.iterrows():
        spot, borrow, _, amount, ex_dates = dividend_quotes.UNDERLYINGS[name]
        t, d = dividend_quotes.schedule(ex_dates, amount, expiry)
        assert row["dividend_pv"] == pytest.approx(float(np.sum(d * np.exp(-dividend_quotes.RATE * t))), rel=1e-12)
        assert row["residual_yield"] == pytest.approx(borrow, abs=1e-4 / row["years"])  # the forward's 1 bp


def test_forwards_with_dividends_are_the_tables(priced):
    quotes, table, _, result = priced
    forwards = chain.forwards(quotes, model="american", dividends=table, **MARKET)
    by_expiry = result.groupby(["underlying", "expiry"])[["forward", "dividend_pv", "residual_yield"]].first()
    for column in by_expiry:
        np.testing.assert_array_equal(forwards[column].to_numpy(), by_expiry[column].to_numpy())


def test_dividends_change_the_calls_before_an_ex_date(priced):
    # ACME's expiry a week after its first ex-date, priced as the dividend model prices it: the
    # same table read without the dividends (one forward, a continuous carry) gives other vols.
    quotes, _, truth, result = priced
    bare = chain.implied_vols(quotes, model="american", **MARKET)
    week_after = (quotes["underlying"] == "ACME") & (quotes["expiry"] == "2026-02-20") & (result["vega"] >= MIN_VEGA)
    assert (bare["iv_mid"] - truth["vol"])[week_after].abs().max() > 10 * (result["iv_mid"] - truth["vol"])[
        week_after
    ].abs().max()


def test_chunks_on_threads_give_the_whole_tables_result(priced, monkeypatch):
    quotes, table, _, result = priced
    monkeypatch.setattr(table_module, "group_chunks", functools.partial(group_chunks, size=20))
    chunked = chain.implied_vols(quotes, model="american", dividends=table, workers=3, **MARKET)
    pd.testing.assert_frame_equal(chunked, result, check_exact=True)


def test_dask_gives_the_tables_result(priced):
    dd = pytest.importorskip("dask.dataframe")
    from velliq import dask as velliq_dask

    quotes, table, _, result = priced
    lazy = velliq_dask.implied_vols(dd.from_pandas(quotes, npartitions=3), model="american", dividends=table, **MARKET)
    added = result.columns[len(quotes.columns) :]  # the quotes' own columns as Dask stores them
    pd.testing.assert_frame_equal(lazy.compute().sort_index()[added], result[added], check_exact=True)
    forwards = velliq_dask.forwards(quotes, model="american", dividends=table, **MARKET)
    local = chain.forwards(quotes, model="american", dividends=table, **MARKET)
    assert list(forwards.columns) == list(local.columns)
    np.testing.assert_array_equal(forwards.to_numpy(), local.to_numpy())


@pytest.mark.parametrize("paid", ["elsewhere", "before", "after"])
def test_no_dividend_in_the_table_prices_as_without_one(priced, paid):
    # Dividends of another underlying, ex on or before the valuation date, or after every expiry:
    # every added column as without dividends, bit for bit, and no PV.
    quotes = priced[0]
    day = {"elsewhere": "2026-03-02", "before": "2026-01-05", "after": "2027-01-04"}[paid]
    table = pd.DataFrame({"underlying": "ZZZ" if paid == "elsewhere" else "ACME", "ex_date": [day], "amount": [2.0]})
    result = chain.implied_vols(quotes, model="american", dividends=table, greeks=True, **MARKET)
    bare = chain.implied_vols(quotes, model="american", greeks=True, **MARKET)
    kept = [c for c in bare.columns if c not in ("theta_1d", "rho_1pct", "dividend_rho_1pct")]
    pd.testing.assert_frame_equal(result[kept], bare[kept], check_exact=True)
    assert (result["dividend_pv"] == 0).all()


def test_ex_dates_on_the_valuation_date_are_left_out_and_on_the_expiry_kept():
    table = dividend_table(
        pd.DataFrame({"ex_date": ["2026-01-05", "2026-01-20", "2026-02-13", "2026-02-14"], "amount": [1, 2, 3, 4.0]})
    )
    years = np.array([(pd.Timestamp("2026-02-13") - dividend_quotes.VALUATION).days / 365.0, 0.01])
    rows = table.for_rows(None, dividend_quotes.VALUATION, years)
    # Days 15 and 39 of 39, each in years as the table reads an expiry on that date.
    np.testing.assert_array_equal(rows.fractions, [[(15 / 365) / (39 / 365), 1.0], [np.inf, np.inf]])
    np.testing.assert_array_equal(rows.amounts, [[2.0, 3.0], [0.0, 0.0]])


def test_each_quote_date_has_its_own_schedule(priced):
    # A column of quote dates: the same quotes dated on ACME's first ex-date as well, where that
    # dividend is already out of the spot (its PV 0 for the expiry a week later, whatever the vols).
    quotes, table, _, result = priced
    dated = pd.concat([quotes.assign(quote_date=day) for day in ("2026-01-05", "2026-02-13")], ignore_index=True)
    both = chain.forwards(dated, model="american", dividends=table, valuation_date="quote_date", rate=MARKET["rate"])
    assert both["dividend_pv"].loc[("ACME", "2026-02-13", "2026-02-20")] == 0
    first = result.groupby(["underlying", "expiry"])["dividend_pv"].first()
    np.testing.assert_array_equal(both["dividend_pv"].xs("2026-01-05", level="quote_date"), first)


def test_implied_spot_with_dividends(priced):
    # The line through the nearest expiries' forwards with their dividends' forward value added back.
    quotes, table, _, _ = priced
    spots = chain.spots(quotes.drop(columns="spot"), model="american", dividends=table, **MARKET)["spot"]
    truth = {name: values[0] for name, values in dividend_quotes.UNDERLYINGS.items()}
    np.testing.assert_allclose(spots.to_numpy(), [truth[name] for name in spots.index], rtol=1e-4)


def test_rate_greeks_move_the_forward_with_the_schedule_fixed(priced):
    # The forward's move with the rate (spot, borrow and dividends fixed), which rho_1pct and
    # dividend_rho_1pct take the model's dF by: against the forward of dividend_quotes at the
    # rate 1 bp either side (unit dF, no dD: the forward's own sensitivity, per 1 %).
    quotes, table, _, result = priced
    rows = np.flatnonzero(quotes["expiry"] == "2026-12-18")
    S, D, F, years = (result[c].iloc[rows].to_numpy() for c in ("spot", "discount", "forward", "years"))
    read = dividend_table(table).for_rows(quotes["underlying"].iloc[rows], dividend_quotes.VALUATION, years)
    unit = np.ones(len(rows))
    rho = dividend_rate_greeks(unit, 0 * unit, S, D, F, years, read, np.zeros(len(rows), bool))

    def forward(name, rate):
        spot, borrow, _, amount, ex_dates = dividend_quotes.UNDERLYINGS[name]
        T = (pd.Timestamp("2026-12-18") - dividend_quotes.VALUATION).days / 365
        t, d = dividend_quotes.schedule(ex_dates, amount, pd.Timestamp("2026-12-18"))
        return spot * np.exp((rate - borrow) * T) - np.sum(d * np.exp((rate - borrow) * (T - t)))

    step, rate = 1e-6, dividend_quotes.RATE
    names = quotes["underlying"].iloc[rows]
    moved = [(forward(name, rate + step) - forward(name, rate - step)) / (2 * step) * 0.01 for name in names]
    np.testing.assert_allclose(rho["rho_1pct"], moved, rtol=1e-6)
    np.testing.assert_allclose(rho["dividend_rho_1pct"], -np.asarray(moved), rtol=1e-6)
    with_greeks = chain.implied_vols(quotes, model="american", dividends=table, greeks=True, **MARKET)
    assert with_greeks["theta_1d"].isna().all() and with_greeks["rho_1pct"].notna().sum() >= 0.8 * len(quotes)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda t: t.drop(columns="amount"), "no column 'amount'"),
        (lambda t: t.assign(amount=t["amount"].where(t.index != 2, -0.5)), "'amount' has .* rows 2$"),
        (lambda t: t.assign(amount=t["amount"].where(t.index != 3, np.inf)), "'amount' has .* rows 3$"),
        (lambda t: t.assign(amount=t["amount"].where(t.index != 1)), "'amount' has .* rows 1$"),
        (lambda t: t.assign(ex_date=t["ex_date"].where(t.index != 4, "soon")), "column 'ex_date', row 4"),
        (lambda t: t.assign(ex_date=t["ex_date"].where(t.index != 0)), "'ex_date' has no date at rows 0$"),
        (lambda t: t.assign(ex_date=np.nan), "'ex_date' has no date at rows 0, "),
        (lambda t: t.assign(ex_date=20251110), "'ex_date' holds numbers"),
        (lambda t: t.assign(underlying=t["underlying"].where(t.index != 5)), "'underlying' is missing at rows 5$"),
        (lambda t: pd.concat([t, t.iloc[[1]]], ignore_index=True), "ex-date repeats .* rows 1, 6"),
    ],
)
def test_malformed_dividend_tables_are_refused(priced, change, message):
    quotes, table, _, _ = priced
    with pytest.raises(ValueError, match=message):
        chain.implied_vols(quotes, model="american", dividends=change(table), **MARKET)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda q, t: (q, t, dict(model="baw")), 'needs model="american"'),
        (lambda q, t: (q, t, dict(dividend_yield=0.01)), "dividends= with a dividend_yield"),
        (lambda q, t: (q.drop(columns="underlying"), t, {}), "no underlying column and the dividends are of 2"),
        (lambda q, t: (q.assign(expiry=0.5), t, dict(valuation_date=None)), "needs valuation_date"),
        (lambda q, t: (q, t.drop(columns="underlying"), {}), "dividends have no underlying column and the quotes"),
    ],
)
def test_dividends_refused_where_they_cannot_be_used(priced, change, message):
    quotes, table, keywords = change(*priced[:2])
    with pytest.raises(ValueError, match=message):
        chain.implied_vols(quotes, dividends=table, **{**MARKET, "model": "american", **keywords})


def test_command_line_with_a_dividend_file(priced, tmp_path):
    # One underlying's file without an underlying column, its dividends without one either.
    quotes, table, truth, result = priced
    acme = (quotes["underlying"] == "ACME").to_numpy()
    quotes[acme].drop(columns="underlying").to_csv(tmp_path / "quotes.csv", index=False)
    table[table["underlying"] == "ACME"].drop(columns="underlying").to_csv(tmp_path / "dividends.csv", index=False)
    market = ["--valuation-date", "2026-01-05", "--rate", str(dividend_quotes.RATE), "--model", "american"]
    run = velliq("vols", "quotes.csv", *market, "--dividends", "dividends.csv", "-o", "vols.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "dividend_pv" in run.stdout and "residual_yield" in run.stdout
    written = pd.read_csv(tmp_path / "vols.csv")
    np.testing.assert_allclose(written["iv_mid"], result["iv_mid"][acme], rtol=1e-12)
    refused = velliq("vols", "quotes.csv", *market[:4], "--dividends", "dividends.csv", cwd=tmp_path)
    assert refused.returncode == 2 and "--dividends needs --model american" in refused.stderr
    table.assign(amount=-1.0).to_csv(tmp_path / "negative.csv", index=False)
    refused = velliq("vols", "quotes.csv", *market, "--dividends", "negative.csv", cwd=tmp_path)
    assert refused.returncode == 2 and "--dividends negative.csv: dividends: column 'amount'" in refused.stderr
    both = ["--dividends", "dividends.csv", "--dividend-yield", "0.01"]
    refused = velliq("vols", "quotes.csv", *market, *both, cwd=tmp_path)
    assert refused.returncode == 2 and "--dividends with --dividend-yield" in refused.stderr
    quotes[acme].drop(columns="underlying").assign(q=0.01).to_csv(tmp_path / "yields.csv", index=False)
    column = ["--column", "dividend_yield=q"]
    refused = velliq("vols", "yields.csv", *market, *column, "--dividends", "dividends.csv", cwd=tmp_path)
    assert refused.returncode == 2 and "file has a dividend_yield column 'q'" in refused.stderr
