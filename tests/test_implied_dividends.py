"""chain.implied_dividends: cash dividends from the term structure of a quote table's forwards."""

import numpy as np
import pandas as pd
import pytest

from velliq import chain, dividends
from velliq.chain.dividend_fit import fit_group

VALUATION = pd.Timestamp("2026-01-05")
RATE = 0.04
EXPIRY_DAYS = [30, 60, 91, 120, 182, 270, 365]
STRIKES = np.arange(85.0, 116.0, 7.5)

# Two underlyings, each with a borrow and quarterly ex-dates (days after valuation, amount per share).
# XYZ: one ex-date between each pair of expiries, then two in (270, 365] days and one after the last expiry.
# ABC: an ex-date on an expiry (91 days) and one before the first expiry.
UNDERLYINGS = {
    "XYZ": (100.0, 0.01, [(45, 0.8), (135, 0.85), (225, 0.9), (315, 0.95), (330, 0.3), (405, 1.0)]),
    "ABC": (50.0, 0.0, [(10, 0.4), (91, 1.2), (150, 0.45)]),
}
# Whether the forwards determine each ex-date's amount, in the order above.
DETERMINED = {"XYZ": [True, True, True, False, False, False], "ABC": [True, True, True]}


def true_schedule():
    return pd.DataFrame(
        [
            {"underlying": name, "ex_date": VALUATION + pd.Timedelta(days=days), "amount": amount}
            for name, (_, _, schedule) in UNDERLYINGS.items()
            for days, amount in schedule
        ]
    )


def forward_with_dividends(S, borrow, years, ex_years, amounts):
    """The cash-dividend model's forward: S e^(bT) less each dividend paid by T, carried to T."""
    carry = RATE - borrow
    paid = ex_years <= years
    return S * np.exp(carry * years) - np.sum(amounts[paid] * np.exp(carry * (years - ex_years[paid])))


def synthetic_quotes(vol=0.25):
    """Calls and puts of both underlyings priced by velliq.dividends with their true schedules, quoted
    a cent or 0.2 % either side of the price."""
    rows = []
    for name, (S, borrow, schedule) in UNDERLYINGS.items():
        ex_years = np.array([days for days, _ in schedule]) / 365.0
        amounts = np.array([amount for _, amount in schedule])
        for days in EXPIRY_DAYS:
            years = days / 365.0
            F = forward_with_dividends(S, borrow, years, ex_years, amounts)
            strikes = STRIKES * S / 100.0
            for is_call, side in ((True, "C"), (False, "P")):
                D, sigma = np.exp(-RATE * years), vol * years**0.5
                price = dividends.price(S, strikes, D, F, sigma, is_call, ex_years / years, amounts)
                half = np.maximum(0.01, 0.002 * price)
                expiry = VALUATION + pd.Timedelta(days=days)
                rows += [
                    {"underlying": name, "expiry": expiry, "strike": k, "side": side, "spot": S}
                    | {"bid": p - h, "ask": p + h}
                    for k, p, h in zip(strikes, price, half)
                ]
    return pd.DataFrame(rows)


@pytest.fixture(scope="module")
def quotes():
    return synthetic_quotes()


# The quotes carry the early exercise the dividends cause: the forwards are right only once
# estimated with the dividends (chain.forwards' dividends=).
def test_determined_amounts_within_a_cent_or_one_percent(quotes):
    truth = true_schedule()
    found = chain.implied_dividends(quotes, truth.drop(columns="amount"), valuation_date=VALUATION, rate=RATE)
    assert found[["underlying", "ex_date"]].equals(truth[["underlying", "ex_date"]])
    assert found["determined"].tolist() == DETERMINED["XYZ"] + DETERMINED["ABC"]
    determined = found["determined"].to_numpy()
    error = np.abs(found["amount"] - truth["amount"]).to_numpy()[determined]
    assert np.all(error <= np.maximum(0.01, 0.01 * truth["amount"].to_numpy()[determined]))
    assert found["amount"][~determined].isna().all()
    borrow = found.groupby("underlying")["borrow"].first()
    assert borrow.to_dict() == pytest.approx({"XYZ": 0.01, "ABC": 0.0}, abs=1e-4)


def test_projected_amounts_fill_what_the_forwards_cannot_tell(quotes):
    truth = true_schedule()
    projected = truth.assign(amount=np.where(truth["ex_date"] > VALUATION + pd.Timedelta(days=300), 0.5, np.nan))
    found = chain.implied_dividends(quotes, projected, valuation_date=VALUATION, rate=RATE)
    xyz = found[found["underlying"] == "XYZ"]
    assert xyz["amount"].tolist()[3:] == [0.5, 0.5, 0.5]
    assert xyz["determined"].tolist() == DETERMINED["XYZ"]


def test_one_row_per_valuation_date_of_a_column_of_dates(quotes):
    two_days = pd.concat([quotes.assign(date=VALUATION), quotes.assign(date=VALUATION - pd.Timedelta(days=1))])
    schedule = true_schedule()[lambda t: t["underlying"] == "ABC"].drop(columns="amount")
    found = chain.implied_dividends(
        two_days[two_days["underlying"] == "ABC"], schedule, valuation_date="date", rate=RATE
    )
    assert found.groupby("date").size().to_dict() == {VALUATION - pd.Timedelta(days=1): 3, VALUATION: 3}


def test_ex_dates_before_the_valuation_date_are_left_out(quotes):
    schedule = pd.concat([true_schedule(), pd.DataFrame({"underlying": ["ABC"], "ex_date": [VALUATION]})])
    found = chain.implied_dividends(quotes, schedule.drop(columns="amount"), valuation_date=VALUATION, rate=RATE)
    assert len(found) == len(true_schedule())


# One group's forwards straight from the model (provenance: forward_with_dividends, S 100, borrow 1 %).
EXPIRY_YEARS = np.array(EXPIRY_DAYS) / 365.0


def exact_forwards(ex_days, amounts):
    ex_years = np.array(ex_days) / 365.0
    return [forward_with_dividends(100.0, 0.01, T, ex_years, np.array(amounts)) for T in EXPIRY_YEARS], ex_years


@pytest.mark.parametrize(
    "spot, ex_days, determined",
    [
        (100.0, [10, 45], [True, True]),
        (np.nan, [10, 45], [False, True]),  # a fitted spot absorbs a dividend before every expiry
        (100.0, [40, 50], [False, False]),  # one interval, two dividends
        (100.0, [10, 45, 75, 100, 150, 200, 300], [False] * 7),  # eight unknowns, seven forwards
    ],
    ids=["spot given", "spot fitted", "shared interval", "too few forwards"],
)
def test_which_amounts_the_forwards_determine(spot, ex_days, determined):
    amounts = [0.5 + 0.1 * i for i in range(len(ex_days))]
    forwards, ex_years = exact_forwards(ex_days, amounts)
    no_projection = np.full(len(ex_days), np.nan)
    fit = fit_group(spot, EXPIRY_YEARS, np.exp(-RATE * EXPIRY_YEARS), np.array(forwards), ex_years, no_projection)
    assert fit.determined.tolist() == determined
    assert fit.amounts[fit.determined] == pytest.approx(np.array(amounts)[fit.determined], abs=1e-9)
    assert np.isnan(fit.amounts[~fit.determined]).all()


@pytest.mark.parametrize(
    "ex_dates, message",
    [
        (pd.DataFrame({"date": [VALUATION]}), "needs a column 'ex_date'"),
        (pd.DataFrame({"underlying": ["XYZ"], "ex_date": ["not a date"]}), "no date"),
        (pd.DataFrame({"underlying": ["XYZ"], "ex_date": [VALUATION], "amount": [-0.1]}), "negative or infinite"),
        (pd.DataFrame({"ex_date": [VALUATION + pd.Timedelta(days=40)]}), "needs a column 'underlying'"),
    ],
    ids=["no ex_date", "bad date", "negative amount", "no underlying"],
)
def test_malformed_ex_date_tables_are_refused(quotes, ex_dates, message):
    with pytest.raises(ValueError, match=message):
        chain.implied_dividends(quotes, ex_dates, valuation_date=VALUATION, rate=RATE, passes=1)


def test_amount_spread_is_the_forwards_ranges_carried_through_the_fit():
    # Reference: refit with each forward moved alone by its half-range; the root sum of squares of the
    # moves of each amount (the linearised spread should agree to a few percent).
    ex_days, amounts = [10, 45, 100], [0.5, 0.6, 0.7]
    forwards, ex_years = exact_forwards(ex_days, amounts)
    D, none = np.exp(-RATE * EXPIRY_YEARS), np.full(len(ex_days), np.nan)
    half_range = 0.002 * np.array(forwards) * np.linspace(1, 2, len(forwards))
    fit = fit_group(100.0, EXPIRY_YEARS, D, np.array(forwards), ex_years, none, half_range)
    moves = []
    for j in range(len(forwards)):
        moved = np.array(forwards)
        moved[j] += half_range[j]
        moves.append(fit_group(100.0, EXPIRY_YEARS, D, moved, ex_years, none).amounts - fit.amounts)
    assert fit.spread == pytest.approx(np.sqrt(np.sum(np.square(moves), axis=0)), rel=0.05)
