"""velliq.chain.plot_smiles on results of velliq.chain.implied_vols over quotes
priced by velliq.baw: what a reader of the picture gets, panel by panel."""

import numpy as np
import pandas as pd
import pytest

import velliq
from velliq import baw, chain

pytest.importorskip("matplotlib")

RATE, YIELD = 0.04, 0.01
EXPIRIES = (0.05, 0.25, 1.0)
STRIKES = np.arange(80.0, 121.0, 5.0)


def quotes(underlyings=("XYZ",), dates=("2026-12-04",), expiries=EXPIRIES):
    """BAW mids of a skewed smile with a one-cent spread, every strike a call and a put."""
    rows = []
    for n, underlying in enumerate(underlyings):
        spot = 100.0 + 10 * n
        for date in dates:
            for years in expiries:
                D, F = velliq.forward_terms(spot, RATE, YIELD, years)
                for K in STRIKES * spot / 100:
                    vol = 0.25 - 0.2 * np.log(K / F)
                    for side in ("C", "P"):
                        mid = float(baw.price(spot, K, D, F, vol * np.sqrt(years), side == "C"))
                        row = dict(underlying=underlying, quotedate=date, expiry=years, strike=K, side=side)
                        rows.append(row | dict(bid=mid - 0.005, ask=mid + 0.005, spot=spot))
    return pd.DataFrame(rows)


def smile_panels(fig, gid="mid"):
    """The panels that hold smiles, by title: the (x, y) of every point drawn
    (``gid`` "mid": on the smiles; "forward": the smiles' points at their forwards)."""
    panels = {}
    for ax in fig.axes:
        lines = [line for line in ax.lines if line.get_gid() == gid]
        if ax.get_visible() and lines:
            panels[ax.get_title()] = np.concatenate([np.column_stack(line.get_data()) for line in lines])
    return panels


@pytest.mark.parametrize(
    "underlyings, dates, titles",
    [
        (("XYZ",), ("2026-12-04",), ["XYZ · 2026-12-04"]),
        (("XYZ", "ABC", "QRS"), ("2026-12-04",), ["ABC · 2026-12-04", "QRS · 2026-12-04", "XYZ · 2026-12-04"]),
        (
            ("XYZ", "ABC"),
            ("2026-12-04", "2026-12-05"),
            ["ABC · 2026-12-04", "ABC · 2026-12-05", "XYZ · 2026-12-04", "XYZ · 2026-12-05"],
        ),
    ],
)
def test_a_panel_per_underlying_and_quote_date(underlyings, dates, titles):
    result = chain.implied_vols(quotes(underlyings, dates), rate=RATE, valuation_date="quotedate")
    panels = smile_panels(chain.plot_smiles(result, valuation_date="quotedate"))
    assert sorted(panels) == titles


@pytest.mark.parametrize(
    "renames",
    [{"side": "type"}, {"underlying": "ticker", "strike": "K"}, {"side": "cp", "underlying": "root", "strike": "k"}],
)
def test_columns_named_as_the_table_was_read(tmp_path, renames):
    """The same picture from the renamed columns: the out-of-the-money quotes
    at ln(K/F)/sqrt(T), their mid volatilities."""
    table = quotes(("XYZ", "ABC"))
    result = chain.implied_vols(table.rename(columns=renames), rate=RATE, **renames)
    panels = smile_panels(chain.plot_smiles(result, tmp_path / "smiles.png", **renames))

    otm = table.assign(iv=result["iv_mid"], F=result["forward"], T=result["years"])
    otm = otm[((otm["side"] == "C") == (otm["strike"] >= otm["F"])) & (result["status"] == "ok")]
    assert sorted(panels) == ["ABC", "XYZ"]
    for underlying, points in panels.items():
        mine = otm[otm["underlying"] == underlying]
        x = np.log(mine["strike"] / mine["F"]) / np.sqrt(mine["T"])
        expected = np.column_stack([x, mine["iv"]])
        np.testing.assert_allclose(points[np.lexsort(points.T)], expected[np.lexsort(expected.T)], rtol=1e-12)
    assert (tmp_path / "smiles.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_only_ok_quotes_and_the_axis_of_the_smiles():
    """A crossed quote is not drawn; a wild ok quote is drawn, off the axis,
    which spans the smiles."""
    table = quotes()
    crossed, wild = np.flatnonzero((table["side"] == "C") & (table["strike"] == 110.0))[:2]
    table.loc[crossed, "bid"] = table.loc[crossed, "ask"] + 0.01
    result = chain.implied_vols(table, rate=RATE)
    result.loc[wild, "iv_mid"] = 3.0
    fig = chain.plot_smiles(result)
    (points,) = smile_panels(fig).values()
    ok = result[result["status"] == "ok"]
    assert result["status"].iloc[crossed] == "crossed" and result["strike"].iloc[crossed] > result["forward"].iloc[0]
    assert len(points) == ((ok["side"] == "C") == (ok["strike"] >= ok["forward"])).sum()
    low, high = fig.axes[0].get_ylim()
    assert 3.0 in points[:, 1] and high < 1.0
    assert low < ok["iv_mid"].drop(wild).min() and high > ok["iv_mid"].drop(wild).max()


@pytest.mark.parametrize(
    "renames, missing_bids, keywords, error, message",
    [
        ({}, True, {}, ValueError, r"no ok quotes to draw: 54 rows \(one_sided 54\)"),
        ({}, False, {"underlyings": ["ABC"]}, ValueError, r"no ok quotes to draw: 0 rows \(none\)"),
        ({"side": "type"}, False, {"side": "cp"}, chain.MissingColumnsError, "no column 'cp'"),
        ({}, False, {"underlying": "CRVL"}, chain.ResultLayoutError, "no column 'CRVL'"),
    ],
)
def test_nothing_to_draw_is_said(renames, missing_bids, keywords, error, message):
    table = quotes().rename(columns=renames).assign(bid=lambda t: np.nan if missing_bids else t["bid"])
    result = chain.implied_vols(table, rate=RATE, **renames)
    with pytest.raises(error, match=message):
        chain.plot_smiles(result, **keywords)


def otm_ok(result):
    """The rows a smile draws: ok, calls at and above the forward, puts below."""
    return result[(result["status"] == "ok") & ((result["side"] == "C") == (result["strike"] >= result["forward"]))]


def black_forward_delta(strike, forward, years, vol, bump=1e-6):
    """d/dF of Black's undiscounted call price F·N(d1) - K·N(d2) (Black 1976), by central differences."""
    from scipy.stats import norm

    def price(F):
        s = vol * np.sqrt(years)
        d1 = np.log(F / strike) / s + s / 2
        return F * norm.cdf(d1) - strike * norm.cdf(d1 - s)

    return (price(forward * (1 + bump)) - price(forward * (1 - bump))) / (2 * forward * bump)


@pytest.mark.parametrize("x_axis", ["moneyness", "strike", "delta"])
def test_the_x_axis_and_the_bid_ask_bands(x_axis):
    """Each ok out-of-the-money quote's mid is drawn at its place on the axis
    asked for, its band from its bid to its ask volatility at the same place;
    on the delta axis strikes still rise to the right."""
    result = chain.implied_vols(quotes(), rate=RATE)
    fig = chain.plot_smiles(result, x_axis=x_axis)
    ax = fig.axes[0]
    rows = otm_ok(result)
    K, F, T, vol = (rows[c].to_numpy() for c in ("strike", "forward", "years", "iv_mid"))
    x = {"moneyness": np.log(K / F) / np.sqrt(T), "strike": K, "delta": black_forward_delta(K, F, T, vol)}[x_axis]
    (mids,) = smile_panels(fig).values()
    expected = np.column_stack([x, vol])
    np.testing.assert_allclose(mids[np.lexsort(mids.T)], expected[np.lexsort(expected.T)], rtol=1e-7)

    bands = [c for c in ax.collections if c.get_gid() == "band"]
    assert len(bands) == len(EXPIRIES)
    edges = np.concatenate([band.get_paths()[0].vertices for band in bands])
    for ends in ("iv_bid", "iv_ask"):
        for xi, yi in zip(x, rows[ends]):
            assert np.isclose(edges, [xi, yi], rtol=1e-7).all(axis=1).any()
    assert ax.xaxis_inverted() == (x_axis == "delta")


@pytest.mark.parametrize("x_axis", ["moneyness", "strike"])
def test_a_diamond_at_each_forward(x_axis):
    """One point per expiry, in its colour, at its forward, between the mid
    volatilities of the out-of-the-money quotes either side of it."""
    result = chain.implied_vols(quotes(), rate=RATE)
    fig = chain.plot_smiles(result, x_axis=x_axis)
    legend = zip(fig.legends[0].legend_handles, fig.legends[0].texts)
    by_colour = {h.get_color(): t.get_text() for h, t in legend if t.get_text().endswith(" d)")}
    diamonds = [line for line in fig.axes[0].lines if line.get_gid() == "forward"]
    expiries = {by_colour[line.get_markerfacecolor()].split(" y")[0]: line.get_xydata()[0] for line in diamonds}
    assert sorted(expiries) == sorted(f"{e:g}" for e in EXPIRIES)
    for years, smile in otm_ok(result).groupby("expiry"):
        x, y = expiries[f"{years:g}"]
        F = smile["forward"].iloc[0]
        below, above = smile[smile["strike"] < F].iloc[-1], smile[smile["strike"] >= F].iloc[0]
        assert x == pytest.approx({"moneyness": 0.0, "strike": F}[x_axis], abs=1e-12)
        assert min(below["iv_mid"], above["iv_mid"]) <= y <= max(below["iv_mid"], above["iv_mid"])


@pytest.mark.parametrize(
    "expiries, drawn, note",
    [
        ((0.05, 0.25, 1.0), [0.05, 0.25, 1.0], None),
        (tuple(np.round(np.geomspace(0.02, 2.0, 12), 4)), list(np.round(np.geomspace(0.02, 2.0, 12), 4)), None),
        # Weekly for 20 weeks, then 0.75 to 2 years. Worked by hand: the targets 7·(730/7)^(i/11)
        # days are 7, 10.7, 16.3, 24.8, 37.9, 57.8, 88.2, 134.6, 205, 313, 478, 730; each takes the
        # expiry nearest in log time not yet taken: 7, 14, 21, 28, 35, 56, 91, 133, 274, 365, 548, 730 d.
        (
            (*np.round(np.arange(1, 21) * 7 / 365, 4), 0.75, 1.0, 1.5, 2.0),
            [0.0192, 0.0384, 0.0575, 0.0767, 0.0959, 0.1534, 0.2493, 0.3644, 0.75, 1.0, 1.5, 2.0],
            "12 of 24 expiries, spread over the term",
        ),
    ],
)
def test_expiries_get_labelled_colours_and_many_are_spread(expiries, drawn, note):
    """Up to twelve expiries, a colour each, named in the legend with their
    days; of more, twelve spread over the term, nearest and farthest kept,
    and the title says so."""
    result = chain.implied_vols(quotes(expiries=expiries), rate=RATE)
    fig = chain.plot_smiles(result)
    legend = fig.legends[0]
    labels = [text.get_text() for text in legend.get_texts()]
    assert labels == [f"{e:g} y ({round(e * 365)} d)" for e in drawn] + ["bid–ask vols", "at the forward"]
    colours = [line.get_color() for line in fig.axes[0].lines if line.get_gid() == "mid"]
    assert len(colours) == len(set(colours)) == len(drawn)
    assert (note in fig.get_suptitle()) if note else fig.get_suptitle().count("\n") == 1


DATES = [f"{day:%Y-%m-%d}" for day in pd.bdate_range("2026-03-02", periods=5)]


@pytest.mark.parametrize(
    "dates, titles, note",
    [
        (None, [DATES[-1]], "the last of 5 quote dates"),
        ([DATES[3], DATES[0]], [DATES[0], DATES[3]], "2 of 5 quote dates"),
        (pd.Timestamp(DATES[2]), [DATES[2]], "1 of 5 quote dates"),
        ("all", DATES, None),
    ],
)
def test_many_quote_dates_draw_the_last_or_those_asked_for(dates, titles, note):
    result = chain.implied_vols(quotes(dates=DATES[::-1]), rate=RATE, valuation_date="quotedate")
    fig = chain.plot_smiles(result, valuation_date="quotedate", dates=dates)
    assert list(smile_panels(fig)) == [f"XYZ · {date}" for date in titles]
    assert (note in fig.get_suptitle()) if note else "quote dates" not in fig.get_suptitle()


def test_a_date_not_in_the_table_is_named():
    result = chain.implied_vols(quotes(dates=DATES), rate=RATE, valuation_date="quotedate")
    message = "quote date '2026-04-01' is not in the table: 5 dates, 2026-03-02 to 2026-03-06"
    with pytest.raises(LookupError, match=message):
        chain.plot_smiles(result, valuation_date="quotedate", dates=["2026-03-03", "2026-04-01"])
