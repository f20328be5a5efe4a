"""The velliq command line as users run it: ``python -m velliq`` in a
subprocess, on the shipped sample quotes (examples/data/quotes.csv.gz) and on
copies of them. The reference values come from examples/data/quotes_truth.json,
which examples/make_quotes.py writes next to the quotes from the forwards,
discount factors and mess it built them with."""

import fcntl
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from cli_runs import MARKET, SAMPLE, TRUTH, velliq

from velliq import chain
from velliq.cli.output_files import TEMPORARY_PREFIX

ADDED = ["years", "discount", "forward", "iv_bid", "iv_mid", "iv_ask", "vega", "status"]
EXAMPLE = "velliq vols examples/data/quotes.csv.gz --valuation-date 2026-12-04 --rate 0.04"


def printed_summary(stdout):
    """The summary table, under the line giving atm_vol's units, and the totals line of the status counts."""
    units, rest = stdout.split("\n", 1)
    assert units.startswith("atm_vol: annual implied volatility")
    table, totals = rest.split("\n\n")
    lines = [line.split() for line in table.splitlines()]
    frame = pd.DataFrame(lines[1:], columns=lines[0])
    counts = dict(item.rsplit(" ", 1) for item in totals.split(": ", 1)[1].split(", "))
    return frame.astype({"forward": float, "atm_vol": float}), {k: int(v) for k, v in counts.items()}


@pytest.fixture(scope="module")
def sample_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sample")
    run = velliq("vols", SAMPLE, *MARKET, "-o", "vols.csv", "--plot", "smiles.png", cwd=folder)
    assert run.returncode == 0, run.stderr
    return run, folder


@pytest.fixture(scope="module")
def parquet_run(tmp_path_factory):
    folder = tmp_path_factory.mktemp("parquet")
    pd.read_csv(SAMPLE).to_parquet(folder / "quotes.parquet")
    run = velliq("vols", "quotes.parquet", *MARKET, "--workers", "1", "-o", "vols.parquet", cwd=folder)
    assert run.returncode == 0, run.stderr
    return run, folder


def truth_table():
    return pd.DataFrame(TRUTH["expiries"]).set_index(["underlying", "expiry"])


def test_summary_forwards_and_vols_match_the_truth(sample_run):
    """A clean row's mid is within half a tick of the price it was quoted
    around (bids were rounded down, asks up), and a strike's forward moves by
    about (dC - dP) / D for errors dC, dP in its call and put (exactly, for
    European options, by put-call parity); spoilt strikes are few, so the
    median over strikes is within a tick over D of the true forward (printed
    to 6 decimals). The at-the-money volatility is read at the strike nearest
    the forward, up to half a strike step away on a skewed smile: within 2 %
    of the true at-the-money volatility."""
    table, _ = printed_summary(sample_run[0].stdout)
    truth = truth_table()
    assert list(zip(table.underlying, table.expiry)) == list(truth.index)
    F, D = truth["forward"].to_numpy(), truth["discount"].to_numpy()
    np.testing.assert_array_less(np.abs(table["forward"].to_numpy() - F), TRUTH["tick"] / D + 5e-7)
    np.testing.assert_allclose(table["atm_vol"], truth["atm_vol"], rtol=0.02)


def test_status_counts_are_the_mess(sample_run):
    """Each kind of mess has its status: a missing bid or ask is one-sided
    (both missing: a missing input), a crossed quote crossed, a quote below
    exercise value below intrinsic, a zero bid one-sided, a repeated row
    duplicate; stale quotes break no-arbitrage bounds against their
    neighbours (most of them: a stale quote can also be a fair price at
    another spot). The printed counts are those the sample's maker checked."""
    _, counts = printed_summary(sample_run[0].stdout)
    by_kind = TRUTH["statuses_by_kind"]
    assert counts == TRUTH["statuses"]
    for kind, statuses in [
        ("missing", {"missing_input", "one_sided"}),
        ("crossed", {"crossed"}),
        ("below_intrinsic", {"below_intrinsic"}),
        ("zero_bid", {"one_sided", "duplicate"}),
        ("duplicate", {"duplicate"}),
        ("stale", {"arbitrage", "ok"}),
    ]:
        assert set(by_kind[kind]) <= statuses
    assert by_kind["stale"].get("ok", 0) <= 0.25 * TRUTH["mess"]["stale"]["count"]


def test_output_keeps_every_row_and_adds_the_columns(sample_run):
    quotes = pd.read_csv(SAMPLE)
    result = pd.read_csv(sample_run[1] / "vols.csv")
    assert list(result.columns) == list(quotes.columns) + ADDED
    pd.testing.assert_frame_equal(result[quotes.columns], quotes)
    for kind, statuses in TRUTH["statuses_by_kind"].items():
        assert result["status"].iloc[TRUTH["mess"][kind]["rows"]].value_counts().to_dict() == statuses


def test_forwards_are_those_of_the_library(sample_run):
    """The file's forward of each expiry is velliq.chain.forwards' of the same
    quotes, within a tick over D of the truth, and the truth lies in the range
    that forwards reports as consistent with the supporting strikes' quotes.
    (It once equalled velliq.chain.forward of the mean mids, the plain median
    over every strike; the table now weighs strikes by their spreads.)"""
    result = pd.read_csv(sample_run[1] / "vols.csv")
    firsts = result.groupby(["underlying", "expiry"])[["forward", "discount"]].first()
    truth = truth_table().loc[firsts.index]
    np.testing.assert_array_less(np.abs(firsts["forward"] - truth["forward"]), TRUTH["tick"] / truth["discount"])

    library = chain.forwards(pd.read_csv(SAMPLE), valuation_date=TRUTH["valuation_date"], rate=TRUTH["rate"])
    # Both in (underlying, expiry) order: the library's expiries are years, the file's dates.
    np.testing.assert_allclose(firsts["forward"].to_numpy(), library["forward"].to_numpy(), rtol=1e-12)
    F = truth["forward"].to_numpy()
    assert ((library["forward_lo"].to_numpy() <= F) & (F <= library["forward_hi"].to_numpy())).all()


def test_picture_is_written(sample_run):
    picture = (sample_run[1] / "smiles.png").read_bytes()
    assert picture.startswith(b"\x89PNG\r\n\x1a\n") and len(picture) > 10_000


def test_quiet_prints_the_totals_line_alone(sample_run, tmp_path):
    """--quiet: of the summary, only its last line, the totals; what was written is still said on stderr."""
    run = velliq("vols", SAMPLE, *MARKET, "--quiet", "--plot", "smiles.png", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert run.stdout == sample_run[0].stdout.splitlines(keepends=True)[-1]
    assert run.stdout.startswith(f"{len(pd.read_csv(SAMPLE))} quotes, 72 expiries: ")
    assert "wrote smiles.png" in run.stderr


def test_parquet_copy_gives_the_same(sample_run, parquet_run):
    assert parquet_run[0].stdout == sample_run[0].stdout
    from_csv = pd.read_csv(sample_run[1] / "vols.csv")
    from_parquet = pd.read_parquet(parquet_run[1] / "vols.parquet")
    assert isinstance(from_parquet["status"].dtype, pd.CategoricalDtype)
    pd.testing.assert_frame_equal(from_parquet.astype({"status": str}), from_csv.astype({"status": str}))


def test_large_table_shows_progress_and_changes_nothing(tmp_path):
    """Over 100,000 rows the work runs under a progress bar, chunk by chunk of
    whole groups. One underlying's quotes are padded with copies lacking bid and ask,
    which leave the forwards alone and cost little to compute."""
    quotes = pd.read_csv(SAMPLE).query("underlying == 'DMTK'")
    copies = -(-100_001 // len(quotes)) - 1
    padded = pd.concat([quotes] + [quotes.assign(bid=np.nan, ask=np.nan)] * copies, ignore_index=True)
    padded.to_parquet(tmp_path / "padded.parquet")
    run = velliq("vols", "padded.parquet", *MARKET, "-o", "vols.parquet", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert "implied vols: 100%" in run.stderr
    result = pd.read_parquet(tmp_path / "vols.parquet")
    assert len(result) == len(padded) > 100_000
    at_once = chain.implied_vols(
        quotes.reset_index(drop=True), valuation_date=TRUTH["valuation_date"], rate=TRUTH["rate"]
    )
    pd.testing.assert_frame_equal(result.iloc[: len(quotes)], at_once)
    assert (result["status"].iloc[len(quotes) :] == "missing_input").all()


def test_one_spot_for_every_row(tmp_path):
    """--spot stands for a spot column holding that number."""
    quotes = pd.read_csv(SAMPLE).query("underlying == 'DMTK'").reset_index(drop=True)
    quotes.drop(columns="spot").to_csv(tmp_path / "no_spot.csv", index=False)
    run = velliq("vols", "no_spot.csv", *MARKET, "--spot", repr(float(quotes["spot"][0])), "-o", "v.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    expected = chain.implied_vols(quotes, valuation_date=TRUTH["valuation_date"], rate=TRUTH["rate"])
    np.testing.assert_array_equal(pd.read_csv(tmp_path / "v.csv")["iv_mid"], expected["iv_mid"])


@pytest.mark.parametrize("option", ["--forward-pairs", "--forward-strikes"])
def test_the_pair_cap_under_its_name_and_its_former_one(tmp_path, option):
    """--forward-strikes, the former name, still caps the pairs and says the new name."""
    quotes = pd.read_csv(SAMPLE).query("underlying == 'DMTK'").reset_index(drop=True)
    quotes.to_csv(tmp_path / "one.csv", index=False)
    run = velliq("vols", "one.csv", *MARKET, option, "1", "-o", "v.csv", cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    assert ("is now --forward-pairs" in run.stderr) == (option == "--forward-strikes")
    expected = chain.implied_vols(quotes, valuation_date=TRUTH["valuation_date"], rate=TRUTH["rate"], forward_pairs=1)
    np.testing.assert_array_equal(pd.read_csv(tmp_path / "v.csv")["forward"], expected["forward"])


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "velliq"],
        [shutil.which("velliq", path=str(Path(sys.executable).parent)) or "velliq"],
    ],
)
@pytest.mark.parametrize("args", [["--help"], ["vols", "--help"]])
def test_help_shows_an_example(tmp_path, command, args):
    run = subprocess.run(command + args, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0
    assert EXAMPLE in run.stdout


# --- A vendor's file: its own column names, many quote dates ------------------------------

VENDOR_MAPPING = ["--column", "expiry=expiration", "--column", "side=type", "--column", "spot=underlying_last"]


@pytest.fixture(scope="module")
def vendor_file(tmp_path_factory):
    from vendor_quotes import quote_dates, vendor_quotes

    folder = tmp_path_factory.mktemp("vendor")
    quotes, true_forward = vendor_quotes(quote_dates(3))
    quotes.to_csv(folder / "options.csv", index=False)
    return folder, quotes, true_forward


def test_vendor_file_with_a_column_of_quote_dates(vendor_file):
    """Headers such as " bid" are read without their spaces; each (quote date,
    expiration) gets its own forward, that of the prices the quotes were built from."""
    folder, quotes, true_forward = vendor_file
    run = velliq(
        "vols",
        "options.csv",
        "--valuation-date",
        "quotedate",
        "--rate",
        "0.04",
        *VENDOR_MAPPING,
        "-o",
        "vols.csv",
        "--plot",
        "smiles.png",
        cwd=folder,
    )
    assert run.returncode == 0, run.stderr
    result = pd.read_csv(folder / "vols.csv")
    assert len(result) == len(quotes)
    assert list(result.columns[: len(quotes.columns)]) == [c.strip() for c in quotes.columns]
    np.testing.assert_allclose(result["forward"], true_forward, rtol=1e-9)
    table, _ = printed_summary(run.stdout)
    assert list(table.columns[:2]) == ["quotedate", "expiration"] and len(table) == 3 * 4


@pytest.mark.parametrize(
    "args, messages",
    [
        (
            ["--valuation-date", "quotedate", "--column", "side=option_type"],
            [
                "--column side=option_type",
                "no column 'option_type'",
                "found quotedate, expiration, type, strike, bid, ask, underlying_last",
            ],
        ),
        (
            ["--valuation-date", "quote_date", "--column", "side=type"],
            ["'quote_date' is neither a column of the quotes nor a date", "found columns quotedate, expiration"],
        ),
        (["--valuation-date", "quotedate", "--column", "sides=type"], ["sides is not an input; choose from"]),
        (["--valuation-date", "quotedate", "--column", "side"], ["'side' is not NAME=COLUMN"]),
        (
            [
                "--valuation-date",
                "quotedate",
                "--column",
                "side=type",
                "--spot",
                "9",
                "--column",
                "spot=underlying_last",
            ],
            ["give --spot or --column spot=..., not both"],
        ),
        (
            ["--valuation-date", "quotedate", "--column", "side=type", "--column", "rate=underlying_last"],
            ["give --rate or --column rate=..., not both"],
        ),
        (
            ["--valuation-date", "quotedate", "--column", "side=type", "--column", "expiry=expiration"],
            ["no column 'spot'", "found quotedate"],
        ),
        (
            [*VENDOR_MAPPING[2:], "--valuation-date", "quotedate", "--plot", "s.png", "--plot-date", "2026-03-09"],
            ["--plot-date: quote date '2026-03-09' is not in the table: 3 dates, 2026-03-02 to 2026-03-04"],
        ),
        (
            [*VENDOR_MAPPING[2:], "--valuation-date", "2026-03-02", "--plot", "s.png", "--plot-date", "2026-03-02"],
            ["--plot-date chooses among the quote dates of a column: give --valuation-date COLUMN"],
        ),
        (
            [*VENDOR_MAPPING[2:], "--valuation-date", "quotedate", "--plot", "s.png", "--plot-x-axis", "gamma"],
            ["--plot-x-axis gamma: choose from moneyness, strike, delta"],
        ),
        (
            [*VENDOR_MAPPING[2:], "--valuation-date", "quotedate", "--plot-x-axis", "delta"],
            ["--plot-x-axis and --plot-date shape the picture of --plot PNG: give --plot"],
        ),
    ],
)
def test_wrong_mapping_is_a_usage_error(vendor_file, args, messages):
    run = velliq("vols", "options.csv", "--rate", "0.04", "--column", "expiry=expiration", *args, cwd=vendor_file[0])
    assert run.returncode == 2 and run.stdout == "" and "Traceback" not in run.stderr
    for message in messages:
        assert message in run.stderr


def test_version_is_the_installed_one(tmp_path):
    import velliq as package

    run = velliq("--version", cwd=tmp_path)
    assert run.returncode == 0 and run.stdout.strip() == f"velliq {package.__version__}"


# --- Where the outputs go: compressed, through links, and what a killed run left -----------


@pytest.fixture
def one_underlying(tmp_path):
    quotes = pd.read_csv(SAMPLE).query("underlying == 'DMTK'").reset_index(drop=True)
    quotes.to_csv(tmp_path / "one.csv", index=False)
    return tmp_path, len(quotes)


def gzip_recorded_name(path):
    """The file name a gzip header records (RFC 1952: FNAME, flag 0x08, after the 10 fixed bytes)."""
    data = path.read_bytes()
    assert data[3] == 0x08  # FNAME alone: GzipFile writes no extra field or comment
    return data[10 : data.index(b"\0", 10)].decode()


@pytest.mark.parametrize("suffix", [".csv.zip", ".csv.gz"])
def test_compressed_output_is_named_for_its_file(one_underlying, suffix):
    """The zip member, and the name gzip records, are the output's name less
    the compression suffix, not the temporary file's it was written under."""
    folder, rows = one_underlying
    run = velliq("vols", "one.csv", *MARKET, "-o", f"vols{suffix}", cwd=folder)
    assert run.returncode == 0, run.stderr
    output = folder / f"vols{suffix}"
    if suffix == ".csv.zip":
        assert zipfile.ZipFile(output).namelist() == ["vols.csv"]
    else:
        assert gzip_recorded_name(output) == "vols.csv"
    assert len(pd.read_csv(output)) == rows


@pytest.mark.parametrize("link", ["symbolic", "symbolic, target absent", "hard"])
def test_output_is_written_through_a_link(one_underlying, link):
    """-o onto a link writes the file it names: a symbolic link stays a link to
    its target (created when absent), a hard link's names stay one file."""
    folder, rows = one_underlying
    (folder / "elsewhere").mkdir()
    target = folder / "elsewhere" / "vols.csv"
    if link != "symbolic, target absent":
        target.write_text("the previous output\n")
    if link == "hard":
        (folder / "vols.csv").hardlink_to(target)
    else:
        (folder / "vols.csv").symlink_to(target)
    run = velliq("vols", "one.csv", *MARKET, "-o", "vols.csv", cwd=folder)
    assert run.returncode == 0, run.stderr
    assert (folder / "vols.csv").is_symlink() == (link != "hard")
    assert (folder / "vols.csv").samefile(target)
    assert len(pd.read_csv(target)) == rows
    assert not list(folder.rglob(TEMPORARY_PREFIX + "*"))


def test_temporaries_a_killed_run_left_are_removed(one_underlying):
    """A run writing into a folder removes the temporary files no running
    command holds (locks die with their process, SIGKILL too), and no other file."""
    folder, _ = one_underlying
    left = folder / f"{TEMPORARY_PREFIX}k1ll3d_0-vols.csv"
    held = folder / f"{TEMPORARY_PREFIX}runn1ng0-vols.csv"
    others = [folder / f"{TEMPORARY_PREFIX}notes.txt", folder / "vols.csv.bak"]
    for path in [left, held, *others]:
        path.write_text("partial\n")
    with open(held) as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)  # as a command still writing it holds it
        run = velliq("vols", "one.csv", *MARKET, "-o", "vols.csv", cwd=folder)
    assert run.returncode == 0, run.stderr
    assert not left.exists()
    assert held.exists() and all(path.exists() for path in others)
