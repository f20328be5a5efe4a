"""velliq.surface: fitted inside the bands, free of arbitrage on a dense grid, round trips."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
import support  # noqa: F401  (tools/ on sys.path)
from devsupport.surface_quotes import ssvi_quotes, ssvi_vol

from velliq.surface import Surface

QUOTE_COLUMNS = ("years", "forward", "discount", "strike", "vol_bid", "vol_ask")
# A RuntimeWarning (a division by zero at the support's edge, say) fails the test.
pytestmark = pytest.mark.filterwarnings("error::RuntimeWarning")


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
        table = pd.read_csv(path)  # round-trip precision: pandas 3's default (float_precision deprecated)
    again = Surface.from_table(table)
    K, T = np.meshgrid(np.linspace(40.0, 250.0, 37), np.array([0.01, 0.02, 0.3, 1.5, 2.0, 4.0]))
    for query in ("implied_vol", "call_price", "put_price", "density", "local_vol"):
        np.testing.assert_array_equal(getattr(again, query)(K, T), getattr(surface, query)(K, T))


@pytest.mark.parametrize("strike,years", [(np.nan, 0.5), (100.0, np.nan), (-1.0, 0.5), (100.0, 0.0)])
@pytest.mark.parametrize("query", ["implied_vol", "total_variance", "call_price", "put_price", "density", "local_vol"])
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


@pytest.mark.parametrize("years", [0.01, 0.05, 0.7, 2.0, 3.5])
def test_implied_vol_reprices_the_call(ssvi_surface, years):
    # Black's call (scipy's normal cdf) at the returned vol is the surface's own call price.
    from scipy.stats import norm

    _, surface = ssvi_surface
    F = 100.0 * np.exp(0.02 * years)
    D = np.exp(-0.04 * years)
    K = F * np.exp(np.linspace(-2.0, 1.5, 15) * 0.2 * np.sqrt(years))
    sigma = surface.implied_vol(K, years) * np.sqrt(years)
    d1 = np.log(F / K) / sigma + sigma / 2.0
    black = D * (F * norm.cdf(d1) - K * norm.cdf(d1 - sigma))
    np.testing.assert_allclose(black, surface.call_price(K, years), rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(surface.total_variance(K, years), sigma**2, rtol=1e-12)


@pytest.mark.parametrize("years", [0.01, 0.03, 0.3, 1.5, 2.0])
def test_put_call_parity_and_density_integrate(ssvi_surface, years):
    # ln F and ln D are linear in T between and beyond expiries, as the quotes' are.
    _, surface = ssvi_surface
    F, D = 100.0 * np.exp(0.02 * years), np.exp(-0.04 * years)
    knots = surface.to_table()["knot"]
    K = F * np.linspace(knots.min(), knots.max(), 400001)
    parity = surface.call_price(K, years) - surface.put_price(K, years)
    np.testing.assert_allclose(parity, D * (F - K), atol=1e-9 * F)
    density = surface.density(K, years)
    assert np.all(density >= 0.0)
    assert abs(np.trapezoid(density, K) - 1.0) < 1e-6


@pytest.mark.parametrize("years", [0.01, 0.15, 0.7, 2.5])
def test_local_vol_is_dupire_by_finite_differences(ssvi_surface, years):
    # Dupire in forward terms with the surface's own normalised calls, differenced in T and k.
    _, surface = ssvi_surface
    F0 = 100.0 * np.exp(0.02 * years)
    k = np.exp(np.linspace(-0.5, 0.4, 7) * 0.2 * np.sqrt(years) * 3)
    dt, dk = 1e-5, 1e-4

    def c(kk, t):
        F, D = 100.0 * np.exp(0.02 * t), np.exp(-0.04 * t)
        return surface.call_price(kk * F, t) / (D * F)

    dc_dt = (c(k, years + dt) - c(k, years - dt)) / (2 * dt)
    d2c = (c(k + dk, years) - 2 * c(k, years) + c(k - dk, years)) / dk**2
    expected = np.sqrt(2 * dc_dt / (k * k * d2c))
    np.testing.assert_allclose(surface.local_vol(k * F0, years), expected, rtol=2e-3)


def test_25_delta_strikes_use_forward_delta(ssvi_surface):
    # brentq on N(d1) = 0.25 (0.75 for the put, N(d1) - 1 = -0.25) with the surface's own vols.
    from scipy.optimize import brentq
    from scipy.stats import norm

    _, surface = ssvi_surface
    years = 0.5
    F = 100.0 * np.exp(0.02 * years)

    def vol_at_delta(delta):
        def gap(x):
            sigma = surface.implied_vol(F * np.exp(x), years) * np.sqrt(years)
            return norm.cdf(-x / sigma + sigma / 2.0) - delta

        return surface.implied_vol(F * np.exp(brentq(gap, -2.0, 2.0, xtol=1e-14)), years)

    call, put = vol_at_delta(0.25), vol_at_delta(0.75)
    assert surface.risk_reversal_25(years) == pytest.approx(call - put, abs=1e-9)
    assert surface.butterfly_25(years) == pytest.approx((call + put) / 2 - surface.atm_vol(years), abs=1e-9)


@pytest.mark.parametrize("workers", [1, 2])
def test_queries_are_the_same_on_any_number_of_workers(ssvi_surface, workers):
    import velliq

    _, surface = ssvi_surface
    rng = np.random.default_rng(3)
    K, T = 100.0 * np.exp(rng.normal(0, 0.3, 5000)), rng.uniform(0.01, 3.0, 5000)
    alone = surface.implied_vol(K, T)
    with velliq.workers(workers):
        np.testing.assert_array_equal(surface.implied_vol(K, T), alone)


@pytest.mark.parametrize("missing", ["bid", "ask"])
def test_a_missing_bid_is_no_lower_bound_and_a_missing_ask_no_quote(missing):
    quotes = ssvi_quotes(expiries=np.array([0.25]), seed=5)
    far = np.log(quotes["strike"] / quotes["forward"]) > 0.1
    column = "vol_bid" if missing == "bid" else "vol_ask"
    quotes[column] = np.where(far, np.nan, quotes[column])
    slices = fit(quotes).slices
    assert slices["quotes"].iloc[0] == (60 if missing == "bid" else 60 - far.sum())
    assert slices["in_band"].iloc[0] == 1.0


@pytest.mark.parametrize("outlier", [0.10, -0.05])
def test_a_quote_off_the_others_alone_is_left_outside_its_band(outlier):
    quotes = ssvi_quotes(expiries=np.array([0.1, 0.4]), seed=6)
    bad = 60 + 30  # the second slice's ATM quote, moved by `outlier` vol
    for column in ("vol_bid", "vol_ask"):
        quotes[column][bad] += outlier
    surface = fit(quotes)
    vol = surface.implied_vol(quotes["strike"], quotes["years"])
    inside = (vol >= quotes["vol_bid"] - 1e-6) & (vol <= quotes["vol_ask"] + 1e-6)
    # The least total violation in spreads: that quote outside, at most its neighbours
    # with it (where bending the smile their way costs less than it saves the outlier),
    # and softened counts exactly the quotes left outside.
    outside = np.flatnonzero(~inside)
    assert bad in outside and set(outside) <= {bad - 1, bad, bad + 1}
    assert surface.slices["softened"].tolist() == [0, outside.size]
    checks = surface.check_arbitrage()
    assert max(checks["butterfly"], checks["calendar"]) <= 1e-10


@pytest.mark.parametrize(
    "k,sigma",
    # every pair but strikes beyond 10 % at sigma 0.005, whose prices underflow to 0
    [
        (k, sigma)
        for k in (0.3, 0.8, 0.99, 1.0, 1.01, 1.3, 3.0)
        for sigma in (0.005, 0.1, 0.6, 2.5)
        if sigma > 0.005 or 0.9 < k < 1.1
    ],
)
def test_black_inversion_recovers_sigma(k, sigma):
    # The out-of-the-money Black price from scipy's normal cdf, inverted by the kernel.
    from scipy.stats import norm

    from velliq import _ufuncs

    d1 = -np.log(k) / sigma + sigma / 2.0
    price = norm.cdf(d1) - k * norm.cdf(d1 - sigma) if k >= 1 else k * norm.cdf(sigma - d1) - norm.cdf(-d1)
    for start in (0.0, sigma * 0.5, sigma * 2.0):
        assert _ufuncs.surface_black_sigma(k, price, start) == pytest.approx(sigma, rel=1e-9)


@pytest.mark.parametrize("price,expected", [(0.0, 0.0), (-1e-17, 0.0), (np.nan, np.nan), (1.0, np.nan)])
def test_black_inversion_edges(price, expected):
    from velliq import _ufuncs

    np.testing.assert_equal(_ufuncs.surface_black_sigma(1.2, price, 0.2), expected)


@pytest.mark.parametrize("shape", [(), (3,), (2, 4)])
def test_queries_broadcast_strikes_and_years(ssvi_surface, shape):
    _, surface = ssvi_surface
    K = np.full(shape, 95.0)
    T = np.full(shape[-1:] if shape else (), 0.4)
    assert surface.implied_vol(K, T).shape == np.broadcast_shapes(K.shape, T.shape)


def test_from_table_takes_its_rows_in_any_order(ssvi_surface):
    _, surface = ssvi_surface
    table = surface.to_table().sample(frac=1.0, random_state=3)
    again = Surface.from_table(table)
    K, T = np.meshgrid(np.linspace(60.0, 140.0, 9), np.array([0.03, 0.6, 2.5]))
    np.testing.assert_array_equal(again.implied_vol(K, T), surface.implied_vol(K, T))
    pd.testing.assert_frame_equal(again.slices, surface.slices)


@pytest.mark.parametrize("years", [0.05, 1.0, 4.0])
def test_wings_within_lees_bound(ssvi_surface, years):
    # Lee (2004): total variance / |ln k| tends to at most 2 in both wings.
    _, surface = ssvi_surface
    F = 100.0 * np.exp(0.02 * years)
    x = np.array([-6.0, -3.0, 2.0, 4.0])
    w = surface.total_variance(F * np.exp(x), years)
    assert np.all(np.nan_to_num(w / np.abs(x), nan=0.0) <= 2.0)


@pytest.mark.parametrize("expiries", [[0.3], [0.05, 1.2]])
def test_one_or_two_expiries_extend_soundly(expiries):
    surface = fit(ssvi_quotes(expiries=np.array(expiries), seed=8))
    checks = surface.check_arbitrage(strikes=200, expiries=50)
    assert max(checks["butterfly"], checks["calendar"]) <= 1e-10
    assert checks["expiries"] == 50 + len(expiries)
    assert np.isfinite(surface.atm_vol(np.array([0.01, 0.5, 5.0]))).all()


def test_every_slice_below_min_quotes_is_on_its_own():
    quotes = ssvi_quotes(expiries=np.array([0.1, 0.5]), per_slice=4, seed=9)
    assert list(fit(quotes).slices["determined"]) == ["few", "few"]


def test_no_usable_quote_is_an_error():
    quotes = ssvi_quotes(expiries=np.array([0.1]))
    quotes["vol_ask"][:] = np.nan
    with pytest.raises(ValueError, match="no quote"):
        fit(quotes)


@pytest.mark.parametrize("offset", [0.04, -0.03])
def test_a_wide_band_missing_the_narrow_one_at_its_strike_is_set_aside(offset):
    # A second quote at every fifth strike, its band 4 vol points wide and clear of the first's.
    quotes = ssvi_quotes(expiries=np.array([0.2, 0.6]), seed=10)
    extra = np.arange(0, quotes["years"].size, 5)
    centre = quotes["vol"][extra] + offset + np.sign(offset) * 0.02
    wide = {c: v[extra].copy() for c, v in quotes.items()}
    wide["vol_bid"], wide["vol_ask"] = centre - 0.02, centre + 0.02
    both = {c: np.concatenate([quotes[c], wide[c]]) for c in quotes}
    surface = fit(both)
    vol = surface.implied_vol(quotes["strike"], quotes["years"])
    assert ((vol >= quotes["vol_bid"] - 1e-6) & (vol <= quotes["vol_ask"] + 1e-6)).all()
    assert surface.slices["softened"].sum() == extra.size


def test_slices_and_table_columns_are_the_contract(ssvi_surface):
    _, surface = ssvi_surface
    assert list(surface.slices.columns) == [
        "years",
        "forward",
        "discount",
        "quotes",
        "in_band",
        "rmse_mid",
        "worst_violation",
        "softened",
        "determined",
        "butterfly",
        "calendar",
    ]
    kinds = {c: surface.to_table()[c].dtype.kind for c in surface.to_table().columns}
    assert set(kinds.values()) <= {"f", "i", "O"}
    assert len(surface.slices) == 7


@pytest.mark.parametrize("where", ["first", "last"])
def test_a_thin_slice_at_either_end_borrows_from_its_one_neighbour(where):
    quotes = ssvi_quotes(expiries=np.array([0.1, 0.3, 0.9]), seed=11)
    thin = 0.1 if where == "first" else 0.9
    keep = (quotes["years"] != thin) | (np.arange(quotes["years"].size) % 60 == 30)
    surface = fit({c: v[keep] for c, v in quotes.items()})
    determined = list(surface.slices["determined"])
    assert determined[0 if where == "first" else 2] == "borrowed"
    checks = surface.check_arbitrage()
    assert max(checks["butterfly"], checks["calendar"]) <= 1e-10
    assert abs(surface.atm_vol(thin) - ssvi_vol(0.0, thin)) < 0.02


@pytest.mark.parametrize("years", [0.1, 0.5, 1.5])
def test_risk_reversal_and_butterfly_near_the_ssvi_they_were_fitted_to(ssvi_surface, years):
    # The SSVI's own 25-delta vols by brentq on N(d1) = 0.25 / 0.75 with its vol function.
    from scipy.optimize import brentq
    from scipy.stats import norm

    _, surface = ssvi_surface

    def ssvi_delta_vol(delta):
        def gap(x):
            sigma = ssvi_vol(x, years) * np.sqrt(years)
            return norm.cdf(-x / sigma + sigma / 2.0) - delta

        return ssvi_vol(brentq(gap, -3.0, 3.0, xtol=1e-14), years)

    call, put = ssvi_delta_vol(0.25), ssvi_delta_vol(0.75)
    assert surface.risk_reversal_25(years) == pytest.approx(call - put, abs=2e-3)
    assert surface.butterfly_25(years) == pytest.approx((call + put) / 2 - ssvi_vol(0.0, years), abs=2e-3)


def test_strided_tables_give_no_answer():
    # The query ufuncs read C-contiguous tables only; velliq.surface always hands them so.
    from velliq import _ufuncs

    quotes = ssvi_quotes(expiries=np.array([0.5]))
    grid, terms, tables, rate = fit(quotes)._core
    strided = np.repeat(grid, 2)[::2]
    assert np.isnan(_ufuncs.surface_implied_vol(100.0, 0.5, strided, terms, tables, rate))
    assert np.isfinite(_ufuncs.surface_implied_vol(100.0, 0.5, grid, terms, tables, rate))


def test_velliq_surface_is_a_lazy_attribute_of_the_package():
    code = (
        "import sys, velliq; assert 'velliq.surface' not in sys.modules; "
        "print(velliq.surface.Surface.__module__, 'surface' in dir(velliq))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, cwd="/")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["velliq.surface", "True"]


def test_black_inversion_whose_step_falls_below_one_ulp_at_the_root():
    # From start 0.1 the iterate lands on the root with f 9e-16, the step rounds to
    # nothing and once fell "outside" the bracket: the bracket's midpoint, 6e-6 off, was
    # returned. k and price: one of bench/surface.py's queries; sigma by brentq on
    # scipy's Black price.
    from scipy.optimize import brentq
    from scipy.stats import norm

    from velliq import _ufuncs

    k, price = 1.8355354557974157, 0.0008872635274391915

    def black(sigma):
        d1 = -np.log(k) / sigma + sigma / 2.0
        return norm.cdf(d1) - k * norm.cdf(d1 - sigma) - price

    sigma = brentq(black, 0.1, 0.5, xtol=1e-16)
    for start in (0.1, 0.25):
        assert _ufuncs.surface_black_sigma(k, price, start) == pytest.approx(sigma, rel=1e-12)
