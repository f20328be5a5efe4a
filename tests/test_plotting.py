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


def quotes(underlyings=("XYZ",), dates=("2026-12-04",)):
    """BAW mids of a skewed smile with a one-cent spread, every strike a call and a put."""
    rows = []
    for n, underlying in enumerate(underlyings):
        spot = 100.0 + 10 * n
        for date in dates:
            for years in EXPIRIES:
                D, F = velliq.forward_terms(spot, RATE, YIELD, years)
                for K in STRIKES * spot / 100:
                    vol = 0.25 - 0.2 * np.log(K / F)
                    for side in ("C", "P"):
                        mid = float(baw.price(spot, K, D, F, vol * np.sqrt(years), side == "C"))
                        row = dict(underlying=underlying, quotedate=date, expiry=years, strike=K, side=side)
                        rows.append(row | dict(bid=mid - 0.005, ask=mid + 0.005, spot=spot))
    return pd.DataFrame(rows)


def smile_panels(fig):
    """The panels that hold smiles (not the colour bar), by title: the (x, y) of every point drawn."""
    panels = {}
    for ax in fig.axes:
        if ax.get_visible() and ax.lines:
            points = np.concatenate([np.column_stack(line.get_data()) for line in ax.lines])
            panels[ax.get_title()] = points
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
