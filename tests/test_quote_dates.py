"""velliq.chain on tables of many quote dates: ``valuation_date`` naming a
column groups rows by (underlying, valuation date, expiry), and each date's
rows get, bit for bit, what a call on that date's rows alone gives."""

import numpy as np
import pandas as pd
import pytest
from vendor_quotes import RATE, VENDOR_COLUMNS, YIELD, quote_dates, vendor_quotes

from velliq import chain


@pytest.mark.parametrize(
    "days, shuffled, options",
    [
        (3, False, dict(rate=RATE)),
        (3, True, dict(rate=RATE, forward_pairs=3)),
        (3, False, dict(rate=RATE, dividend_yield=YIELD)),
        (2, False, dict(rate=RATE, model="american", forward_pairs=2)),
        # Beyond one chunk of rows, dates interleaved: whole groups are gathered wherever they lie.
        (85, True, dict(rate=RATE)),
    ],
)
def test_each_date_gets_what_its_rows_alone_give(days, shuffled, options):
    dates = quote_dates(days)
    quotes, true_forward = vendor_quotes(dates)
    quotes = quotes.assign(true_forward=true_forward)
    if shuffled:
        quotes = quotes.sample(frac=1, random_state=4)
    kwargs = dict(VENDOR_COLUMNS, **options)
    result = chain.implied_vols(quotes, valuation_date="quotedate", **kwargs)
    assert list(result.index) == list(quotes.index)
    if options.get("model", "baw") == "baw":  # the model the quotes were priced with
        assert np.allclose(result["forward"], quotes["true_forward"], rtol=1e-9, atol=0)
    forwards = chain.forwards(quotes, valuation_date="quotedate", **kwargs)
    assert forwards.index.names == ["quotedate", "expiry"]
    summary = chain.summary(result, valuation_date="quotedate", expiry=VENDOR_COLUMNS["expiry"])
    assert summary.index.names == ["quotedate", "expiration"] and len(summary) == len(forwards)
    for date in (dates[0], dates[-1]):
        alone = quotes[quotes["quotedate"] == date]
        expected = chain.implied_vols(alone, valuation_date=date, **kwargs)
        pd.testing.assert_frame_equal(result.loc[alone.index], expected, check_exact=True)
        by_date = forwards.xs(pd.Timestamp(date), level="quotedate")
        pd.testing.assert_frame_equal(by_date, chain.forwards(alone, valuation_date=date, **kwargs), check_exact=True)


@pytest.mark.parametrize(
    "valuation_date, outcome",
    [
        ("quotedate", "by column"),
        ("2026-03-02", "one date"),
        (np.datetime64("2026-03-02"), "one date"),
        ("quote_date", "neither a column of the quotes nor a date; found columns quotedate, expiration, type"),
    ],
)
def test_valuation_date_is_a_column_or_a_date(valuation_date, outcome):
    quotes, _ = vendor_quotes(quote_dates(1))
    if outcome.startswith("neither"):
        with pytest.raises(chain.ValuationDateError, match=f"valuation_date '{valuation_date}' is {outcome}"):
            chain.implied_vols(quotes, valuation_date=valuation_date, rate=RATE, **VENDOR_COLUMNS)
        return
    result = chain.implied_vols(quotes, valuation_date=valuation_date, rate=RATE, **VENDOR_COLUMNS)
    forwards = chain.forwards(quotes, valuation_date=valuation_date, rate=RATE, **VENDOR_COLUMNS)
    assert (result["status"] == "ok").mean() > 0.8
    assert forwards.index.names == (["quotedate", "expiry"] if outcome == "by column" else ["expiry"])
