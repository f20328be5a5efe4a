"""The slow reference of the cash-dividend kernel (tools/devsupport/dividend_reference.py) on
cases with known answers: without dividends it is the accurate model's price (the probe's
_american_price, itself checked against QuantLib in tests/test_american_kernel.py), and a
call's dividend on the expiry date is worth nothing to it. Coarse grids: seconds each."""

import math
import pathlib
import sys

import pytest
from dividend_probe import CALL, HIGH, PUT, load

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
from devsupport import dividend_reference  # noqa: E402

GRID = {"nodes": 400, "steps": 200}


def reference(side, K, days, r, q, vol, div_days=(), amounts=()):
    row = {
        "S": 100.0,
        "K": K,
        "days": days,
        "r": r,
        "q": q,
        "vol": vol,
        "side": side,
        "div_days": list(div_days),
        "amounts": list(amounts),
        **GRID,
    }
    price, error, _ = dividend_reference.converged(row)
    return price, error


@pytest.mark.parametrize("side", [CALL, PUT])
@pytest.mark.parametrize(
    "K, days, r, q, vol", [(100.0, 365, 0.05, 0.0, 0.25), (120.0, 91, 0.02, 0.03, 0.5), (80.0, 730, 0.08, 0.01, 0.15)]
)
def test_without_dividends_the_reference_is_the_accurate_model(side, K, days, r, q, vol):
    got, error = reference(side, K, days, r, q, vol)
    T = days / 365
    D, F = math.exp(-r * T), 100.0 * math.exp((r - q) * T)
    exact = load().probe_american_price(100.0, K, D, F, vol * math.sqrt(T), side, HIGH)
    assert abs(got - exact) <= max(3 * error, 2e-6 * K)


def test_a_calls_dividend_on_the_expiry_date_is_worth_nothing_to_the_reference():
    with_it, error = reference(CALL, 100.0, 182, 0.05, 0.0, 0.3, [182], [5.0])
    without, _ = reference(CALL, 100.0, 182, 0.05, 0.0, 0.3)
    assert abs(with_it - without) <= max(3 * error, 2e-6 * 100)


def test_the_reference_table_states_how_it_was_made():
    lines = (ROOT / "tests" / "data" / "dividend_reference.csv").read_text().splitlines()
    assert lines[0].startswith("# Written by: python tools/devsupport/dividend_reference.py")
    assert len([line for line in lines if not line.startswith("#")]) == 1 + len(list(dividend_reference.scenarios()))
