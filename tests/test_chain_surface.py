"""velliq.chain.surface on results of velliq.chain.implied_vols over quotes
priced by velliq.baw: a surface per (underlying, quote date), the groups too
thin for one, the parameter table's round trip, queries, the picture, the
``velliq surface`` command and velliq.dask."""

import numpy as np
import pandas as pd
import pytest
from cli_runs import velliq

import velliq as vq
from velliq import baw, chain

RATE, YIELD = 0.04, 0.01
EXPIRIES = ("2026-12-18", "2027-01-15", "2027-03-19", "2027-06-18")
DATES = ("2026-12-04", "2026-12-07", "2026-12-08")
SPOTS = {"AAA": 100.0, "BBB": 40.0}
RATIOS = np.arange(0.7, 1.31, 0.05)
# A RuntimeWarning (a division by zero at the support's edge, say) fails the test.
pytestmark = pytest.mark.filterwarnings("error::RuntimeWarning")


def smile_vol(k, years):
    """A skewed smile, flatter with time: the synthetic market's volatility at log-moneyness k."""
    return 0.22 - 0.15 * k / np.sqrt(1 + 4 * years) + 0.3 * k * k


def quotes(spots=SPOTS, dates=DATES, expiries=EXPIRIES, ratios=RATIOS):
    """BAW mids of ``smile_vol`` quoted two cents wide, a call and a put at every strike."""
    grid = pd.MultiIndex.from_product(
        [list(spots), dates, expiries, ratios, ("C", "P")], names=["underlying", "quotedate", "expiry", "ratio", "side"]
    ).to_frame(index=False)
    spot = grid["underlying"].map(spots).to_numpy() * (1 + 0.01 * grid["quotedate"].map(dates.index).to_numpy())
    years = (pd.to_datetime(grid["expiry"]) - pd.to_datetime(grid["quotedate"])).dt.days.to_numpy() / 365.0
    strike = np.round(spot * grid["ratio"].to_numpy(), 2)
    D, F = vq.forward_terms(spot, RATE, YIELD, years)
    vol = smile_vol(np.log(strike / F), years)
    mid = baw.price(spot, strike, D, F, vol * np.sqrt(years), (grid["side"] == "C").to_numpy())
    table = grid.drop(columns="ratio").assign(strike=strike, spot=spot)
    return table.assign(bid=np.maximum(mid - 0.01, 0.0), ask=mid + 0.01)


OPTIONS = dict(valuation_date="quotedate", rate=RATE, dividend_yield=YIELD)  # forwards of single quotes too


@pytest.fixture(scope="module")
def result():
    return chain.implied_vols(quotes(), **OPTIONS)


@pytest.fixture(scope="module")
def surfaces(result):
    return chain.surface(result)


def fitted_counts(result, which):
    """Per (underlying, date), the ok quotes a surface is fitted to, counted with pandas."""
    ok = result[(result["status"] == "ok") & result["iv_ask"].notna()]
    if which == "out_of_the_money":
        ok = ok[(ok["side"] == "C") == (ok["strike"] >= ok["forward"])]
    counts = ok.groupby([ok["underlying"], pd.to_datetime(ok["quotedate"])]).size()
    return {key: int(n) for key, n in counts.items()}


@pytest.mark.parametrize("which", ["out_of_the_money", "all"])
def test_a_surface_per_underlying_and_quote_date(result, which):
    found = chain.surface(result, quotes=which)
    expected = fitted_counts(result, which)
    assert list(found) == sorted(expected)  # underlyings as sorted, then dates in time
    assert found.groups["quotes"].to_dict() == expected
    assert found.groups["expiries"].eq(len(EXPIRIES)).all() and found.groups["surface"].all()
    slices = found.slices
    for key, surface in found.items():
        rows = result[(result["underlying"] == key[0]) & (pd.to_datetime(result["quotedate"]) == key[1])]
        assert np.array_equal(np.sort(surface.slices["years"]), np.sort(rows["years"].unique()))
        mine = slices[(slices["underlying"] == key[0]) & (slices["valuation_date"] == key[1])]
        assert np.array_equal(mine["years"].to_numpy(), surface.slices["years"].to_numpy())


@pytest.mark.parametrize("kept, fitted", [(0, False), (4, False), (5, True), (9, True)])
def test_a_group_of_few_ok_quotes_gets_no_surface_and_says_so(kept, fitted):
    table = quotes()
    thin = (table["underlying"] == "BBB") & (table["quotedate"] == DATES[1])
    otm = (table["side"] == "C") == (table["strike"] >= table["spot"] * 1.001)  # off any strike at the forward
    keep = np.flatnonzero(thin & otm & (table["expiry"] == EXPIRIES[-1]))[:kept]
    crossed = table[thin].head(6).assign(bid=9.0, ask=1.0)  # rows of the group, none of them ok
    table = pd.concat([table[~thin | table.index.isin(keep)], crossed], ignore_index=True)
    found = chain.surface(chain.implied_vols(table, **OPTIONS))
    key = ("BBB", pd.Timestamp(DATES[1]))
    assert (key in found) == fitted
    assert found.groups.loc[key, "surface"] == fitted and found.groups.loc[key, "quotes"] == kept
    assert len(found.groups) == 6 and found.groups["surface"].sum() == 5 + fitted


@pytest.mark.parametrize("valuation_date", [DATES[0], None])
def test_a_table_of_one_underlying_and_date_keys_its_surface_by_none(tmp_path, valuation_date):
    table = quotes(spots={"AAA": 100.0}, dates=(DATES[0],)).drop(columns=["underlying", "quotedate"])
    key = (None, pd.Timestamp(DATES[0]))
    if valuation_date is None:  # expiries in years, no date at all
        table["expiry"] = (pd.to_datetime(table["expiry"]) - pd.Timestamp(DATES[0])).dt.days / 365.0
        key = (None, None)
    found = chain.surface(chain.implied_vols(table, valuation_date=valuation_date, rate=RATE, dividend_yield=YIELD))
    found.write(tmp_path / "s.csv")
    read = chain.Surfaces.read(tmp_path / "s.csv")
    assert list(found) == [key] and list(read) == [key]
    points = pd.DataFrame({"strike": [90.0, 110.0], "years": 0.5})  # no key columns: the one surface's
    values = read.query(points).to_numpy()
    assert np.isfinite(values).all() and np.array_equal(values, found[key].implied_vol([90.0, 110.0], 0.5))


def test_quote_order_changes_no_bit(result, surfaces):
    shuffled = chain.surface(result.sample(frac=1, random_state=3))
    pd.testing.assert_frame_equal(shuffled.to_table(), surfaces.to_table(), check_exact=True)


def grid_points(surfaces):
    """Every key's strikes from 60 % to 140 % of its forward at four times, keys interleaved."""
    rows = []
    for key, surface in surfaces.items():
        forward = float(surface.slices["forward"].iloc[0])
        for years in (0.03, 0.2, 0.5, 1.5):
            for ratio in np.linspace(0.6, 1.4, 9):
                rows.append(dict(underlying=key[0], valuation_date=key[1], strike=forward * ratio, years=years))
    return pd.DataFrame(rows).sample(frac=1, random_state=1)


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_parameter_table_round_trip_is_bit_identical(surfaces, tmp_path, suffix):
    path = tmp_path / f"surfaces{suffix}"
    surfaces.write(path)
    read = chain.Surfaces.read(path)
    assert list(read) == list(surfaces)
    points = grid_points(surfaces)
    for quantity in ("implied_vol", "call_price"):
        got, expected = read.query(points, quantity), surfaces.query(points, quantity)
        assert np.array_equal(got.to_numpy().view(np.int64), expected.to_numpy().view(np.int64))


@pytest.mark.parametrize("quantity", chain.surfaces.QUANTITIES)
def test_query_evaluates_each_row_on_its_own_surface(surfaces, quantity):
    points = grid_points(surfaces)
    missing = pd.DataFrame([dict(underlying="ZZZ", valuation_date=pd.Timestamp(DATES[0]), strike=100.0, years=0.5)])
    got = surfaces.query(pd.concat([points, missing], ignore_index=True), quantity)
    assert np.isnan(got.iloc[-1])
    for key, surface in surfaces.items():
        mine = ((points["underlying"] == key[0]) & (points["valuation_date"] == key[1])).to_numpy()
        expected = getattr(surface, quantity)(points["strike"].to_numpy()[mine], points["years"].to_numpy()[mine])
        assert np.array_equal(got.to_numpy()[: len(points)][mine], expected, equal_nan=True)


def test_the_fit_sits_in_the_synthetic_bands(result, surfaces):
    """Exact BAW quotes of a smooth smile: the fit passes inside every band, each quote fitted at its own
    (years, forward, strike), and the surface gives back the smile the quotes were priced at."""
    slices = surfaces.slices
    assert (slices["in_band"] == 1.0).all()
    key = ("AAA", pd.Timestamp(DATES[0]))
    years, forward = surfaces[key].slices[["years", "forward"]].iloc[-1]
    strikes = forward * np.array([0.9, 1.0, 1.1])
    got = surfaces[key].implied_vol(strikes, np.full(3, years))
    assert np.allclose(got, smile_vol(np.log(strikes / forward), years), atol=0.002)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda r: chain.surface(r, quotes="itm"), ValueError),
        (lambda r: chain.surface(r.drop(columns="iv_ask")), chain.MissingColumnsError),
        (lambda r: chain.surface(r, strike="nope"), chain.ResultLayoutError),
        (lambda r: chain.Surfaces.from_table(pd.DataFrame({"years": [1.0]})), chain.MissingColumnsError),
    ],
)
def test_bad_calls_raise(result, call, error):
    with pytest.raises(error):
        call(result)


def test_the_picture_has_a_panel_per_expiry_and_the_term_panels(result, surfaces):
    pytest.importorskip("matplotlib")
    key = chain.surface_key(surfaces, "BBB", DATES[0])
    fig = chain.plot_surface(result, surfaces, key=key)
    fits = [ax for ax in fig.axes if any(line.get_gid() == "fit" for line in ax.lines)]
    assert len(fits) == len(EXPIRIES)
    assert any(line.get_gid() == "atm" for ax in fig.axes for line in ax.lines)
    assert any(line.get_gid() == "risk_reversal" for ax in fig.axes for line in ax.lines)
    assert chain.surface_key(surfaces) == ("AAA", pd.Timestamp(DATES[-1]))
    with pytest.raises(LookupError):
        chain.surface_key(surfaces, "ZZZ")


@pytest.mark.parametrize("npartitions, scheduler", [(1, "sync"), (4, "threads"), (3, "processes")])
def test_dask_surfaces_equal_one_process(surfaces, npartitions, scheduler):
    dask = pytest.importorskip("dask")
    dd = pytest.importorskip("dask.dataframe")
    import velliq.dask as vd

    frame = dd.from_pandas(quotes().sample(frac=1, random_state=4), npartitions=npartitions)
    with dask.config.set(scheduler=scheduler):
        got = vd.surfaces(frame, **OPTIONS)
    assert list(got) == list(surfaces)
    pd.testing.assert_frame_equal(got.groups, surfaces.groups)
    pd.testing.assert_frame_equal(got.to_table(), surfaces.to_table(), check_exact=True)


CLI = ["--valuation-date", "quotedate", "--rate", str(RATE), "--dividend-yield", str(YIELD)]


@pytest.fixture(scope="module")
def quote_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("surface") / "quotes.csv"
    quotes().to_csv(path, index=False)
    return path


@pytest.mark.parametrize("output", ["surfaces.parquet", "surfaces.csv"])
def test_command_writes_the_parameters_and_the_picture(quote_file, surfaces, tmp_path, output):
    run = velliq("surface", quote_file, *CLI, "-o", output, "--plot", "s.png", "--plot-date", DATES[0], cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip().splitlines()[-1].startswith(f"6 surfaces of 6 (underlying, quote date), {6 * 4} expiries")
    assert (tmp_path / "s.png").read_bytes()[:4] == b"\x89PNG"
    read = chain.Surfaces.read(tmp_path / output)
    pd.testing.assert_frame_equal(read.to_table(), surfaces.to_table(), check_exact=True)


@pytest.mark.parametrize(
    "options, message",
    [
        (["-o", "s.txt"], "unknown format"),
        (["--plot", "s.png", "--plot-date", DATES[0], "--plot-date", DATES[1]], "give one quote date"),
        (["--plot", "s.png", "--plot-underlying", "ZZZ"], "'ZZZ' is not in the quotes"),
        (["--plot", "s.png", "--plot-date", "2020-01-01"], "2020-01-01"),
        (["--greeks"], "unrecognized arguments: --greeks"),
        (["--column", "strike=nope"], "no column 'nope'"),
    ],
)
def test_command_refuses_bad_options(quote_file, tmp_path, options, message):
    run = velliq("surface", quote_file, *CLI, *options, cwd=tmp_path)
    assert run.returncode == 2 and message in run.stderr, run.stderr
    assert "usage: velliq" in run.stderr
    assert not list(tmp_path.iterdir())


def test_command_on_quotes_too_few_for_a_surface_says_so(tmp_path):
    few = quotes(spots={"AAA": 100.0}, dates=(DATES[0],), expiries=EXPIRIES[-1:], ratios=np.array([0.9, 1.1]))
    few.to_csv(tmp_path / "few.csv", index=False)
    run = velliq("surface", "few.csv", *CLI, "-o", "s.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "no surface (fewer than 5 ok quotes): AAA 2026-12-04 (2 ok)" in run.stdout
    assert chain.Surfaces.read(tmp_path / "s.csv").groups.empty
    refused = velliq("surface", "few.csv", *CLI, "--plot", "s.png", cwd=tmp_path)
    assert refused.returncode == 2 and "no surface to draw" in refused.stderr
