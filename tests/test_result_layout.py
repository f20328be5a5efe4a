"""A result of velliq.chain.implied_vols remembers how it was read: summary,
plot_smiles and the command line regroup it by the columns it was read with,
refuse what they cannot regroup, and never lose an input column to an output
column of the same name. Reference values: the sample's truth
(examples/data/quotes_truth.json, written by examples/make_quotes.py) and the
vendor-like table's known forwards (tests/vendor_quotes.py)."""

import numpy as np
import pandas as pd
import pytest
from cli_runs import MARKET, SAMPLE, TRUTH, velliq
from vendor_quotes import RATE, VENDOR_COLUMNS, quote_dates, vendor_quotes

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
        (sample_renamed, lambda r, _: r, dict(underlying="ticker"), r"no column 'ticker' \(underlying='ticker'\)", dict(underlying="symbol")),
        (
            sample_renamed,
            lambda r, _: r.rename(columns={"symbol": "name"}),
            {},
            "no column 'symbol' \\(its underlying column 'symbol'\\): give underlying=",
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
