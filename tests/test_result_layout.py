"""A result of velliq.chain.implied_vols remembers how it was read: summary,
plot_smiles and the command line regroup it by the columns it was read with,
refuse what they cannot regroup, and never lose an input column to an output
column of the same name. Reference values: the sample's truth
(examples/data/quotes_truth.json, written by examples/make_quotes.py) and the
vendor-like table's known forwards (tests/vendor_quotes.py)."""

import numpy as np
import pandas as pd
import pytest
from cli_runs import SAMPLE, TRUTH, velliq
from vendor_quotes import EXPIRATIONS, RATE, VENDOR_COLUMNS, quote_dates, vendor_quotes

from velliq import chain

SAMPLE_OPTIONS = dict(valuation_date=TRUTH["valuation_date"], rate=TRUTH["rate"])
DAYS = 3
VENDOR_OPTIONS = dict(VENDOR_COLUMNS, valuation_date="quotedate", rate=RATE)
SECOND_NAME = 2.5  # the second underlying of a two-name vendor table: its spot over the first's


def sample_renamed():
    """The shipped sample, its column of underlyings named ``symbol``: 4 names, 18 expiries each."""
    quotes = pd.read_csv(SAMPLE).rename(columns={"underlying": "symbol"})
    return quotes, dict(SAMPLE_OPTIONS, underlying="symbol")


def vendor_dates():
    """A vendor-like table of DAYS quote dates x 4 expirations, its own column names."""
    quotes, forward = vendor_quotes(quote_dates(DAYS))
    return quotes.assign(true_forward=forward), dict(VENDOR_OPTIONS)


def vendor_names():
    """The vendor-like table for two underlyings (``ticker``), both the expiry and
    the underlying columns renamed."""
    one, forward = vendor_quotes(quote_dates(DAYS))
    two = one.assign(strike=one["strike"] * SECOND_NAME, **{c: one[c] * SECOND_NAME for c in (" bid", "ask ")})
    two["underlying_last"] *= SECOND_NAME
    quotes = pd.concat([one.assign(ticker="AAA"), two.assign(ticker="BBB")], ignore_index=True)
    return quotes.assign(true_forward=np.r_[forward, forward * SECOND_NAME]), dict(VENDOR_OPTIONS, underlying="ticker")


def through_parquet(result, folder):
    result.to_parquet(folder / "result.parquet")
    return pd.read_parquet(folder / "result.parquet")


KEEPING_THE_RECORD = {
    "as returned": lambda result, folder: result,
    "read back from Parquet": through_parquet,
    "filtered": lambda result, folder: result[result["status"] != "crossed"],
    "halves concatenated": lambda result, folder: pd.concat([result.iloc[::2], result.iloc[1::2]]),
}


@pytest.mark.parametrize("keep", list(KEEPING_THE_RECORD))
@pytest.mark.parametrize(
    "table, groups",
    [(sample_renamed, 4 * 18), (vendor_dates, DAYS * 4), (vendor_names, 2 * DAYS * 4)],
)
def test_summary_regroups_as_the_result_was_read(table, groups, keep, tmp_path):
    """One summary row per (underlying, quote date, expiry) the table was read
    with, none merged, none split, each with its group's forward: the summary
    joins the forwards of the quotes, row for row."""
    quotes, options = table()
    result = KEEPING_THE_RECORD[keep](chain.implied_vols(quotes, **options), tmp_path)
    summary = chain.summary(result)
    forwards = chain.forwards(quotes, **options)
    assert len(summary) == groups
    pd.testing.assert_index_equal(summary.index, forwards.index)
    np.testing.assert_array_equal(summary["forward"], forwards["forward"])


def read_back_from_csv(result, folder):
    result.to_csv(folder / "result.csv", index=False)
    return pd.read_csv(folder / "result.csv")


@pytest.mark.parametrize(
    "table, spoil, asked, message, give",
    [
        # Read back from CSV, no record: four underlyings under a name nothing can guess.
        (sample_renamed, read_back_from_csv, {}, "several underlyings; give underlying=", dict(underlying="symbol")),
        (
            vendor_dates,
            read_back_from_csv,
            {},
            "no column 'expiry'",
            dict(expiry="expiration", valuation_date="quotedate"),
        ),
        (
            vendor_dates,
            read_back_from_csv,
            dict(expiry="expiration"),
            "several quote dates; give valuation_date=",
            dict(valuation_date="quotedate"),
        ),
        # A keyword naming a column the result lacks, and a record naming one renamed since.
        (
            sample_renamed,
            lambda r, _: r,
            dict(underlying="ticker"),
            r"no column 'ticker' \(underlying='ticker'\)",
            dict(underlying="symbol"),
        ),
        (
            sample_renamed,
            lambda r, _: r.rename(columns={"symbol": "name"}),
            {},
            "no column 'symbol', its underlying column as implied_vols read it: give underlying=",
            dict(underlying="name"),
        ),
    ],
)
def test_a_result_that_cannot_be_regrouped_is_refused(table, spoil, asked, message, give, tmp_path):
    """Refused with the keyword to give; given it, regrouped as it was read."""
    quotes, options = table()
    result = chain.implied_vols(quotes, **options)
    spoilt = spoil(result, tmp_path)
    with pytest.raises(chain.ResultLayoutError, match=message):
        chain.summary(spoilt, **asked)
    regrouped = chain.summary(spoilt, **{**asked, **give})
    pd.testing.assert_frame_equal(regrouped, chain.summary(result), check_names=False)


def test_plot_smiles_draws_a_panel_per_underlying_the_result_was_read_with():
    quotes, options = sample_renamed()
    result = chain.implied_vols(quotes, **options)
    fig = chain.plot_smiles(result)
    titles = [ax.get_title() for ax in fig.axes if ax.get_visible() and ax.lines]
    assert titles == sorted(quotes["symbol"].unique())


def vendor_greeks(quotes):
    """The vendor's own Greeks, in the middle of its columns (numbers of its own, not ours)."""
    rng = np.random.default_rng(5)
    for position, name in ((3, "delta"), (4, "gamma"), (5, "vega")):
        quotes.insert(position, name, rng.uniform(0, 1, len(quotes)))
    return quotes


@pytest.mark.parametrize(
    "change, greeks, renamed",
    [
        (vendor_greeks, False, {"vega": "vega_input"}),  # delta and gamma are added with greeks only
        (vendor_greeks, True, {"delta": "delta_input", "gamma": "gamma_input", "vega": "vega_input"}),
        (lambda q: vendor_greeks(q).assign(vega_input=1.0), False, {"vega": "vega_input_input"}),
        (lambda q: q.rename(columns={"expiration": "years"}), False, {"years": "years_input"}),
    ],
)
def test_input_columns_the_result_adds_are_kept_renamed_in_place(change, greeks, renamed):
    quotes, options = vendor_dates()
    quotes = change(quotes)
    if "years" in quotes:
        options["expiry"] = "years"
    result = chain.implied_vols(quotes, greeks=greeks, **options)
    kept = [renamed.get(c, c) for c in quotes.columns]
    assert list(result.columns) == kept + list(chain.result_columns(greeks))
    for old, new in renamed.items():
        pd.testing.assert_series_equal(result[new], quotes[old], check_names=False)
    assert dict(chain.result_layout(result).renamed) == renamed
    assert len(chain.summary(result)) == DAYS * 4


def test_command_line_names_the_kept_columns_and_its_parquet_keeps_the_record(tmp_path):
    quotes, _ = vendor_dates()
    vendor_greeks(quotes).to_csv(tmp_path / "quotes.csv", index=False)
    mapping = [f"--column={k.strip()}={v.strip()}" for k, v in VENDOR_COLUMNS.items()]
    run = velliq(
        "vols",
        "quotes.csv",
        "--valuation-date",
        "quotedate",
        "--rate",
        RATE,
        *mapping,
        "-o",
        "vols.parquet",
        cwd=tmp_path,
    )
    assert run.returncode == 0, run.stderr
    assert "the quotes' own are kept: 'vega' as 'vega_input'" in run.stderr
    result = pd.read_parquet(tmp_path / "vols.parquet")
    assert "vega_input" in result and len(chain.summary(result)) == DAYS * 4


def month_first(dates):
    return pd.to_datetime(pd.Series(dates)).dt.strftime("%m/%d/%Y").to_numpy()


@pytest.mark.parametrize("regroup", ["summary", "forwards"])
def test_month_first_dates_sort_as_dates(regroup):
    """MM/DD/YYYY text sorts in time, not as text (01/19/2027 after 12/18/2026),
    and shows as dates."""
    quotes, options = vendor_dates()
    quotes = quotes.assign(quotedate=month_first(quotes["quotedate"]), expiration=month_first(quotes["expiration"]))
    if regroup == "summary":
        table = chain.summary(chain.implied_vols(quotes, **options))
    else:
        table = chain.forwards(quotes, **options)
    index = table.index.to_frame(index=False)
    in_time = sorted(pd.to_datetime(EXPIRATIONS))  # 09/18/2026 to 09/17/2027, not 03/19/2027 first
    assert index["quotedate"].is_monotonic_increasing
    assert all(list(group) == in_time for _, group in index.groupby("quotedate")["expiration"])
