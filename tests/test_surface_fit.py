"""velliq.surface: fitted inside the bands, free of arbitrage on a dense grid, round trips."""

import numpy as np
import pandas as pd
import pytest
import support  # noqa: F401  (tools/ on sys.path)
from devsupport.surface_quotes import ssvi_quotes, ssvi_vol

from velliq.surface import Surface

QUOTE_COLUMNS = ("years", "forward", "discount", "strike", "vol_bid", "vol_ask")


def fit(quotes, **options):
    return Surface.fit(*(quotes[c] for c in QUOTE_COLUMNS), **options)


@pytest.fixture(scope="module")
def ssvi_surface():
    quotes = ssvi_quotes()
    return quotes, fit(quotes)


def test_inside_every_band_of_an_arbitrage_free_smile(ssvi_surface):
    quotes, surface = ssvi_surface
    vol = surface.implied_vol(quotes["strike"], quotes["years"])
    inside = (vol >= quotes["vol_bid"] - 1e-6) & (vol <= quotes["vol_ask"] + 1e-6)
    assert inside.all()
    assert (surface.slices["in_band"] == 1.0).all()


@pytest.mark.parametrize(
    "shift",
    [
        None,
        lambda years: 0.03 if years == 0.25 else 0.0,  # one slice above the next: bands cross
        lambda years: -0.02 * np.sqrt(years),  # total variance falling with expiry far out
    ],
)
def test_no_arbitrage_on_a_dense_grid(shift):
    quotes = ssvi_quotes(seed=3, shift=shift)
    checks = fit(quotes).check_arbitrage(strikes=200, expiries=50)
    assert checks["butterfly"] <= 1e-10
    assert checks["calendar"] <= 1e-10


@pytest.mark.parametrize("fmt", ["parquet", "csv"])
def test_parameters_round_trip_bit_for_bit(ssvi_surface, tmp_path, fmt):
    _, surface = ssvi_surface
    path = tmp_path / f"surface.{fmt}"
    if fmt == "parquet":
        surface.to_table().to_parquet(path)
        table = pd.read_parquet(path)
    else:
        surface.to_table().to_csv(path, index=False)
        table = pd.read_csv(path, float_precision="round_trip")
    again = Surface.from_table(table)
    K, T = np.meshgrid(np.linspace(40.0, 250.0, 37), np.array([0.01, 0.02, 0.3, 1.5, 2.0, 4.0]))
    for query in ("implied_vol", "call_price", "put_price", "density", "local_vol"):
        np.testing.assert_array_equal(getattr(again, query)(K, T), getattr(surface, query)(K, T))


@pytest.mark.parametrize("strike,years", [(np.nan, 0.5), (100.0, np.nan), (-1.0, 0.5), (100.0, 0.0)])
@pytest.mark.parametrize("query", ["implied_vol", "total_variance", "call_price", "put_price", "density",
                                   "local_vol"])
def test_no_answer_for_a_missing_or_impossible_input(ssvi_surface, query, strike, years):
    _, surface = ssvi_surface
    assert np.isnan(getattr(surface, query)(strike, years))


@pytest.mark.parametrize("years", [0.05, 0.3, 1.0])
def test_queries_agree_with_the_ssvi_they_were_fitted_to(ssvi_surface, years):
    # The bands are 0.4 to 1 vol point wide, so the fit is that close to the SSVI.
    _, surface = ssvi_surface
    F = 100.0 * np.exp(0.02 * years)
    x = np.linspace(-1.5, 1.0, 11) * 0.2 * np.sqrt(years)
    np.testing.assert_allclose(surface.implied_vol(F * np.exp(x), years), ssvi_vol(x, years), atol=0.006)
    assert abs(surface.atm_vol(years) - ssvi_vol(0.0, years)) < 0.006


@pytest.mark.parametrize("count", [1, 3])
def test_a_slice_of_few_quotes_borrows_from_its_neighbours(count):
    quotes = ssvi_quotes(expiries=np.array([0.1, 0.25, 0.5]), seed=4)
    few = (quotes["years"] != 0.25) | (np.arange(quotes["years"].size) % 60 < count)
    surface = fit({c: v[few] for c, v in quotes.items()})
    slices = surface.slices
    assert list(slices["determined"]) == ["quotes", "borrowed", "quotes"]
    x = np.linspace(-1.0, 1.0, 9) * 0.2 * np.sqrt(0.25)
    vol = surface.implied_vol(100.0 * np.exp(0.02 * 0.25 + x), 0.25)
    np.testing.assert_allclose(vol, ssvi_vol(x, 0.25), atol=0.02)
    assert surface.check_arbitrage()["calendar"] <= 1e-10
