"""velliq.chain on tables of many quote dates: ``valuation_date`` naming a
column groups rows by (underlying, valuation date, expiry), and each date's
rows get, bit for bit, what a call on that date's rows alone gives."""

import numpy as np
import pandas as pd
import pytest
from vendor_quotes import RATE, VENDOR_COLUMNS, YIELD, quote_dates, vendor_quotes

from velliq import chain
from velliq.chain.cells import TableError


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
    assert forwards.index.names == ["quotedate", "expiration"]
    summary = chain.summary(result)  # the columns from the result's record
    pd.testing.assert_index_equal(summary.index, forwards.index)
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
    assert forwards.index.names == (["quotedate", "expiration"] if outcome == "by column" else ["expiration"])


def with_zone(dates, zone):
    """Date strings as timestamps in ``zone`` at the same wall clock ("mixed":
    alternate rows at UTC-5 and UTC+9, offsets written into the text)."""
    if zone == "mixed":
        return dates + np.where(np.arange(len(dates)) % 2, "T00:00-05:00", "T00:00+09:00")
    return pd.to_datetime(dates).dt.tz_localize(zone)


@pytest.mark.parametrize(
    "quote_zone, expiry_zone, one_date",
    [
        ("America/New_York", None, False),
        (None, "UTC", False),
        ("Asia/Tokyo", "America/New_York", False),
        ("mixed", None, False),
        ("Europe/London", None, True),
        (None, "UTC", True),
    ],
)
def test_zoned_dates_are_read_at_their_own_wall_clock(quote_zone, expiry_zone, one_date):
    """A date with a time zone is the quote's own day there, whatever the other
    dates' zones: the table gives, bit for bit, what the same days without
    zones give (a quote date given once, or as a column)."""
    quotes, _ = vendor_quotes(quote_dates(1 if one_date else 2))
    kwargs = dict(VENDOR_COLUMNS, rate=RATE)
    day = quotes["quotedate"].iloc[0]
    expected = chain.implied_vols(quotes, valuation_date=day if one_date else "quotedate", **kwargs)
    zoned = quotes.copy()
    if expiry_zone is not None:
        zoned["expiration"] = with_zone(quotes["expiration"], expiry_zone)
    if quote_zone is not None and not one_date:
        zoned["quotedate"] = with_zone(quotes["quotedate"], quote_zone)
    valuation_date = "quotedate" if not one_date else day if quote_zone is None else pd.Timestamp(day, tz=quote_zone)
    result = chain.implied_vols(zoned, valuation_date=valuation_date, **kwargs)
    assert (expected["status"] == "ok").mean() > 0.8
    added = list(chain.result_columns())
    pd.testing.assert_frame_equal(result[added], expected[added], check_exact=True)


@pytest.mark.parametrize(
    "change, message",
    [
        (
            lambda q: q.assign(expiration=pd.to_datetime(q["expiration"]) - pd.to_datetime(q["quotedate"])),
            "column 'expiration' holds durations (timedelta64",
        ),
        (
            lambda q: q.assign(quotedate=pd.to_datetime(q["quotedate"]).dt.strftime("%Y%m%d").astype(int)),
            "column 'quotedate' holds numbers (int64), not quote dates",
        ),
        (lambda q: pd.concat([q, q[[" bid"]]], axis=1), "the quotes have 2 columns named ' bid'"),
        (lambda q: pd.concat([q, q[["type"]]], axis=1), "the quotes have 2 columns named 'type'"),
        (
            lambda q: q.assign(underlying_last=q["underlying_last"].where(q.index != 3, 150.0)),
            "rows 0 and 3 share an (underlying, valuation date, expiry) but have spots 100.0 and 150.0",
        ),
    ],
)
def test_table_faults_name_their_column_or_rows(change, message):
    """A table that cannot be read for more than one cell (durations for dates,
    numbers for quote dates, a column named twice, one group's spots apart)
    says which column or rows, its numbers as they print."""
    quotes, _ = vendor_quotes(quote_dates(1))
    with pytest.raises(TableError) as raised:
        chain.implied_vols(change(quotes), valuation_date="quotedate", rate=RATE, **VENDOR_COLUMNS)
    assert message in str(raised.value)
