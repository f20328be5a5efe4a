"""Expiry dates on a Saturday or Sunday, as vendors date monthly options: one
warning per table naming the column and counting them, or, rolled to the
preceding Friday, the Friday's results to the last bit; in Python and on the
command line."""

import warnings

import pandas as pd
import pytest
from cli_runs import velliq
from vendor_quotes import EXPIRATIONS, VENDOR_COLUMNS, quote_dates, vendor_quotes

from velliq import chain

MOVED = EXPIRATIONS[:2]  # vendor_quotes' expirations are Fridays; these two move to the weekend
MAPPING = {name: column.strip() for name, column in VENDOR_COLUMNS.items()}


def _fridays_and_weekend(days, time_of_day):
    quotes, _ = vendor_quotes(quote_dates(2))
    quotes = quotes.rename(columns=str.strip)
    fridays = quotes.assign(expiration=pd.to_datetime(quotes["expiration"]) + time_of_day)
    moved = quotes["expiration"].isin(MOVED)
    weekend = fridays.assign(expiration=fridays["expiration"] + pd.to_timedelta(moved * days, unit="D"))
    return fridays, weekend, int(moved.sum())


def _run(function, quotes, **keywords):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = function(quotes, valuation_date="quotedate", rate=0.04, **MAPPING, **keywords)
    return result.reset_index(drop=True), [str(w.message) for w in caught if w.category is chain.WeekendExpiryWarning]


@pytest.mark.parametrize("function", [chain.implied_vols, chain.forwards])
@pytest.mark.parametrize("days", [1, 2])  # Saturday, Sunday
@pytest.mark.parametrize("time_of_day", [pd.Timedelta(0), pd.Timedelta(hours=16)])
def test_a_weekend_expiry_warns_once_or_rolls_to_friday(function, days, time_of_day):
    fridays, weekend, rows = _fridays_and_weekend(days, time_of_day)
    friday_result, none = _run(function, fridays)
    as_given, warned = _run(function, weekend)
    rolled, unwarned = _run(function, weekend, roll_weekend_expiries=True)
    assert none == unwarned == [] and len(warned) == 1
    assert f"column 'expiration': 2 expiry dates on a Saturday or Sunday ({rows} rows;" in warned[0]
    assert (as_given["years"] > friday_result["years"]).any()
    pd.testing.assert_frame_equal(
        rolled.drop(columns="expiration", errors="ignore"), friday_result.drop(columns="expiration", errors="ignore")
    )


def test_the_roll_is_a_bool():
    with pytest.raises(TypeError, match="roll_weekend_expiries must be True or False, not 'yes'"):
        _run(chain.implied_vols, _fridays_and_weekend(1, pd.Timedelta(0))[1], roll_weekend_expiries="yes")


def test_the_command_line_warns_once_per_file_or_rolls(tmp_path):
    fridays, weekend, _ = _fridays_and_weekend(1, pd.Timedelta(0))
    fridays.to_csv(tmp_path / "fridays.csv", index=False)
    weekend.to_csv(tmp_path / "weekend.csv", index=False)
    mapping = [argument for name, column in MAPPING.items() for argument in ("--column", f"{name}={column}")]
    runs = {
        (name, roll): velliq(
            "vols",
            f"{name}.csv",
            "--valuation-date",
            "quotedate",
            "--rate",
            "0.04",
            *mapping,
            *roll,
            "-o",
            f"{name}{len(roll)}.csv",
            cwd=tmp_path,
        )
        for name, roll in [("fridays", ()), ("weekend", ()), ("weekend", ("--roll-weekend-expiries",))]
    }
    assert all(run.returncode == 0 for run in runs.values())
    warned = [run.stderr.count("velliq: warning: column 'expiration': 2 expiry dates") for run in runs.values()]
    assert warned == [0, 1, 0]
    rolled, friday = (
        pd.read_csv(tmp_path / name).drop(columns="expiration") for name in ("weekend1.csv", "fridays0.csv")
    )
    pd.testing.assert_frame_equal(rolled, friday)
