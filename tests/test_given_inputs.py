"""The market inputs given as a pandas Series matched to the quotes by index
label, and every other kind of value refused naming its argument."""

import numpy as np
import pandas as pd
import pytest
from messy_quotes import RATE, messy_quotes

import velliq
from velliq import chain


def _small():
    quotes = messy_quotes()
    return quotes[(quotes["label"] == "clean") & (quotes["underlying"] == "ALPH")].drop(columns="label")


def _by_label(table, values):
    """``values`` as a Series in another order than the table's rows, with a label the table lacks."""
    series = pd.Series(values, index=table.index, dtype=float).iloc[::-1]
    return pd.concat([series, pd.Series([np.nan], index=[-1])])


def _terms(table):
    years = (table["expiry"] - table["quote_date"]).dt.days.to_numpy() / 365.0
    return velliq.forward_terms(table["spot"].to_numpy(), RATE, 0.01, years)


@pytest.mark.parametrize(
    "given, as_series",
    [
        ({"rate": RATE}, lambda t: {"rate": _by_label(t, RATE), "spot": _by_label(t, t["spot"])}),
        ({"rate": RATE, "dividend_yield": 0.01}, lambda t: {"rate": RATE, "dividend_yield": _by_label(t, 0.01)}),
        (
            {"discount": "D", "forward": "F"},
            lambda t: {"discount": _by_label(t, t["D"]), "forward": _by_label(t, t["F"])},
        ),
    ],
)
def test_a_series_is_read_by_index_label(given, as_series):
    """A Series gives each row the value of its label, whatever its order: the result is
    that of the same values as a column or a number, to the last bit."""
    table = _small()
    D, F = _terms(table)
    table = table.assign(D=D, F=F)
    expected = chain.implied_vols(table, valuation_date="quote_date", **given)
    result = chain.implied_vols(table, valuation_date="quote_date", **as_series(table))
    pd.testing.assert_frame_equal(result, expected)


@pytest.mark.parametrize("name", ["spot", "rate", "dividend_yield", "discount", "forward"])
@pytest.mark.parametrize(
    "spoil, error, message",
    [
        (lambda t: t["strike"].iloc[:-2], ValueError, r"{name}: the Series has no value for row \d+ of the quotes"),
        (lambda t: t["side"], ValueError, r"{name}: the Series' value '[CP]' at row \d+ is not a number"),
        (lambda t: pd.concat([t["strike"]] * 2), ValueError, r"{name}: a Series .* repeats \d+"),
        (lambda t: t["strike"].to_numpy(), TypeError, "{name} must be a column name, a number or a pandas Series"),
        (lambda t: [1.0, 2.0], TypeError, r"{name} must be .*, not list \[1.0, 2.0\]"),
        (lambda t: True, TypeError, "{name} must be .*, not bool"),
    ],
)
def test_a_value_of_the_wrong_kind_names_its_argument(name, spoil, error, message):
    table = _small()
    inputs = {"rate": RATE, "spot": "spot", name: spoil(table)}
    with pytest.raises(error, match=message.format(name=name)):
        chain.implied_vols(table, valuation_date="quote_date", **inputs)
