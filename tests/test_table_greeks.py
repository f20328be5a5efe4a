"""The Greek columns of velliq.chain.implied_vols against re-pricing with bumped inputs."""

import numpy as np
import pandas as pd
import pytest

import velliq
from velliq import chain
from velliq._models import pricing_model

SPOT, RATE, DIVIDEND_YIELD = 100.0, 0.03, 0.01


def _quotes(model: str) -> pd.DataFrame:
    """Quotes priced by ``model`` at a 25 % vol, a cent either side; the last one has no bid."""
    years, strike, side = (
        a.ravel() for a in np.meshgrid([0.25, 1.0], [85.0, 100.0, 115.0], ["call", "put"], indexing="ij")
    )
    D, F = velliq.forward_terms(SPOT, RATE, DIVIDEND_YIELD, years)
    price = pricing_model(model).price(SPOT, strike, D, F, 0.25 * np.sqrt(years), side == "call")
    bid = price - 0.01
    bid[-1] = np.nan
    return pd.DataFrame({"expiry": years, "strike": strike, "side": side, "bid": bid, "ask": price + 0.01})


def _bumped(model: str, table: pd.DataFrame) -> dict[str, np.ndarray]:
    """The Greeks by central differences of the model's price in spot, vol, years, rate and dividend yield."""
    price = pricing_model(model).price
    K, v, is_call = table.strike.values, table.iv_mid.values, (table.side == "call").values

    def value(S=SPOT, vol=v, T=table.years.values, rate=RATE, dividend_yield=DIVIDEND_YIELD):
        D, F = velliq.forward_terms(S, rate, dividend_yield, T)
        return price(S, K, D, F, vol * np.sqrt(T), is_call)

    h_spot, h_vol, h_years, h_rate = 1e-3 * SPOT, 1e-4, 1e-4, 1e-4
    S, vol, T, rate, dividend_yield = SPOT, v, table.years.values, RATE, DIVIDEND_YIELD
    return {
        "delta": (value(S=S + h_spot) - value(S=S - h_spot)) / (2 * h_spot),
        "gamma": (value(S=S + h_spot) - 2 * value() + value(S=S - h_spot)) / h_spot**2,
        "vega_1pct": (value(vol=vol + h_vol) - value(vol=vol - h_vol)) / (2 * h_vol) / 100,
        "theta_1d": -(value(T=T + h_years) - value(T=T - h_years)) / (2 * h_years) / 365,
        "rho_1pct": (value(rate=rate + h_rate) - value(rate=rate - h_rate)) / (2 * h_rate) / 100,
        "dividend_rho_1pct": (
            value(dividend_yield=dividend_yield + h_rate) - value(dividend_yield=dividend_yield - h_rate)
        )
        / (2 * h_rate)
        / 100,
    }


@pytest.mark.parametrize(("model", "rtol"), [("baw", 1e-4), ("american", 1e-3)])
def test_greek_columns_match_bumped_prices(model: str, rtol: float) -> None:
    table = chain.implied_vols(
        _quotes(model), model=model, rate=RATE, dividend_yield=DIVIDEND_YIELD, spot=SPOT, greeks=True
    )
    has_mid = table.iv_mid.notna().values
    assert has_mid.sum() == len(table) - 1
    for name, expected in _bumped(model, table).items():
        got = table[name].values
        assert np.isnan(got[~has_mid]).all(), name
        scale = np.abs(expected[has_mid]).max()
        np.testing.assert_allclose(got[has_mid], expected[has_mid], rtol=rtol, atol=rtol * scale, err_msg=name)
