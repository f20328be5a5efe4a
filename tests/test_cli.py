"""The velliq command line as users run it: ``python -m velliq`` in a
subprocess, on the shipped sample quotes (examples/data/quotes.csv.gz) and on
copies of them. The reference values come from examples/data/quotes_truth.json,
which examples/make_quotes.py writes next to the quotes from the forwards,
discount factors and mess it built them with."""

import contextlib
import json
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from velliq import baw, chain, forward_terms
from velliq.cli.output_files import TEMPORARY_PREFIX

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "data" / "quotes.csv.gz"
TRUTH = json.loads((ROOT / "examples" / "data" / "quotes_truth.json").read_text())
MARKET = ["--valuation-date", TRUTH["valuation_date"], "--rate", str(TRUTH["rate"])]
ADDED = ["years", "discount", "forward", "iv_bid", "iv_mid", "iv_ask", "vega", "status"]
EXAMPLE = "velliq vols examples/data/quotes.csv.gz --valuation-date 2026-12-04 --rate 0.04"


def velliq(*args, cwd):
    # Runs in a folder of its own, where the relative paths of the arguments and outputs
    # resolve; with the package under src/, any folder, the checkout's too, imports the installed one.
    return subprocess.run(
        [sys.executable, "-m", "velliq", *map(str, args)], cwd=cwd, capture_output=True, text=True, timeout=120
    )


def printed_summary(stdout):
    """The summary table and the totals line of the status counts."""
    table, totals = stdout.split("\n\n")
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


@pytest.fixture
def quote_files(tmp_path):
    quotes = pd.read_csv(SAMPLE).head(400)
    quotes.drop(columns="strike").to_csv(tmp_path / "no_strike.csv", index=False)
    quotes.to_csv(tmp_path / "quotes.txt", index=False)
    (tmp_path / "broken.parquet").write_text("not parquet\n")
    quotes.assign(side=["X"] + ["C"] * 399).to_csv(tmp_path / "bad_side.csv", index=False)
    quotes.to_csv(tmp_path / "quotes.csv", index=False)
    (tmp_path / "link.csv").hardlink_to(tmp_path / "quotes.csv")
    (tmp_path / "folder.csv").mkdir()
    garbage = quotes.astype({"strike": object, "bid": object})
    garbage.loc[7, "bid"], garbage.loc[5, "strike"] = "n/a", "abc"
    garbage.to_csv(tmp_path / "garbage.csv", index=False)
    garbage.astype({"strike": str, "bid": str}).rename(columns={"strike": "K"}).to_parquet(tmp_path / "garbage.parquet")
    quotes.assign(expiry=quotes["expiry"].where(quotes.index != 3, "soon")).to_csv(tmp_path / "soon.csv", index=False)
    return tmp_path


def folder_contents(folder):
    return {path.name: path.read_bytes() for path in sorted(folder.iterdir()) if path.is_file()}


@pytest.mark.parametrize(
    "args, status, messages",
    [
        (
            ["no_strike.csv", *MARKET],
            2,
            ["no column 'strike'", "expected expiry, strike, side", "found underlying, expiry, side, bid, ask, spot"],
        ),
        (["quotes.txt", *MARKET], 2, ["quotes.txt: unknown format"]),
        (["quotes.csv", *MARKET, "-o", "vols.xlsx"], 2, ["vols.xlsx: unknown format"]),
        (["broken.parquet", *MARKET], 2, ["cannot read broken.parquet"]),
        (["absent.csv", *MARKET], 2, ["cannot read absent.csv: no such file"]),
        (["quotes.csv", "--rate", "0.04"], 2, ["give --valuation-date"]),
        (["quotes.csv", *MARKET, "--workers", "0"], 2, ["0 is not a positive whole number"]),
        (["quotes.csv", *MARKET, "--model", "bsm"], 2, ["invalid choice: 'bsm'"]),
        (["bad_side.csv", *MARKET], 2, ["column 'side', row 0, line 2 of bad_side.csv: 'X' is not a side"]),
        (["quotes.csv", *MARKET, "-o", "no/such/vols.csv"], 2, ["vols.csv: no folder no/such"]),
        (["quotes.csv", *MARKET, "-o", "link.csv"], 2, ["-o link.csv is the quotes file quotes.csv"]),
        (["quotes.csv", *MARKET, "--plot", "./link.csv"], 2, ["--plot link.csv is the quotes file quotes.csv"]),
        (["quotes.csv", *MARKET, "-o", "folder.csv"], 2, ["-o folder.csv: it is a directory"]),
        (["folder.csv", *MARKET], 2, ["cannot read folder.csv: it is a directory"]),
        (["garbage.csv", *MARKET], 2, ["column 'strike', row 5, line 7 of garbage.csv: 'abc' is not a number"]),
        (["garbage.parquet", *MARKET, "--column", "strike=K"], 2, ["column 'K' (strike), row 5: 'abc'"]),
        (["soon.csv", *MARKET], 2, ["column 'expiry', row 3, line 5 of soon.csv: 'soon' is not a date"]),
        (["quotes.csv", *MARKET, "--workers", "-2"], 2, ["argument --workers: -2 is not a positive whole number"]),
        (
            ["quotes.csv", *MARKET, "--workers", "99999999999999999999"],
            2,
            ["argument --workers: 99999999999999999999 is out of range"],
        ),
        (["quotes.csv", *MARKET, "--workers", "two"], 2, ["argument --workers: 'two' is not a whole number"]),
        (["quotes.csv", *MARKET, "-o", "vols.csv", "--plot", "smiles.xyz"], 1, ["Format 'xyz' is not supported"]),
    ],
)
def test_failures_exit_with_a_message(quote_files, args, status, messages):
    """A failure names its cause (the option, or the column and row) and writes
    nothing: every file of the folder, the quotes under another name too, is as it was."""
    before = folder_contents(quote_files)
    run = velliq("vols", *args, cwd=quote_files)
    assert folder_contents(quote_files) == before
    assert run.returncode == status
    assert run.stdout == "" or status == 1
    assert "Traceback" not in run.stderr
    for message in messages:
        assert message in run.stderr
    if status == 1:
        assert len(run.stderr.splitlines()) == 1


def test_debug_shows_the_traceback(quote_files):
    run = velliq("vols", "bad_side.csv", *MARKET, "--debug", cwd=quote_files)
    assert run.returncode == 1 and "Traceback" in run.stderr
    assert "CellError: column 'side', row 0: side 'X'" in run.stderr


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


# --- Interrupted: no output half-written ----------------------------------------------------

# Rows whose output CSV takes about a second to write on a 2-core test machine
# (measured: 0.9 s for these 80,000 rows), time enough to interrupt the writing.
LARGE_ROWS = 80_000


@pytest.fixture(scope="module")
def large_quotes(tmp_path_factory):
    """BAW mids with a two-cent spread, random strikes and sides over five expiries."""
    rng = np.random.default_rng(3)
    years = rng.choice([0.1, 0.25, 0.5, 1.0, 2.0], LARGE_ROWS)
    strike, is_call = np.round(rng.uniform(60, 140, LARGE_ROWS), 1), rng.random(LARGE_ROWS) < 0.5
    D, F = forward_terms(100.0, 0.04, 0.01, years)
    mid = baw.price(100.0, strike, D, F, 0.25 * np.sqrt(years), is_call)
    quotes = pd.DataFrame(
        dict(expiry=years, strike=strike, side=np.where(is_call, "C", "P"), bid=mid - 0.01, ask=mid + 0.01, spot=100.0)
    )
    path = tmp_path_factory.mktemp("large") / "quotes.parquet"
    quotes.to_parquet(path)
    return path


def temporary_bytes(folder):
    total = 0
    for path in folder.glob(TEMPORARY_PREFIX + "*"):
        with contextlib.suppress(FileNotFoundError):  # renamed or removed since listed
            total += path.stat().st_size
    return total


@pytest.mark.parametrize("signum, previous", [(signal.SIGINT, None), (signal.SIGTERM, b"the previous output\n")])
def test_interrupted_writing_leaves_no_partial_output(large_quotes, tmp_path, signum, previous):
    """Interrupted while the CSV is being written, the command leaves no output
    (or the one that was there, as it was) and no temporary file; had it
    finished first, the whole table."""
    shutil.copy(large_quotes, tmp_path)
    output = tmp_path / "vols.csv"
    if previous is not None:
        output.write_bytes(previous)
    command = subprocess.Popen(
        [sys.executable, "-m", "velliq", "vols", "quotes.parquet", "--rate", "0.04", "--dividend-yield", "0.01"]
        + ["-o", "vols.csv"],
        cwd=tmp_path,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while temporary_bytes(tmp_path) == 0:
        assert command.poll() is None and time.monotonic() < deadline, command.stderr.read()
        time.sleep(0.001)
    command.send_signal(signum)
    _, stderr = command.communicate(timeout=60)
    assert not list(tmp_path.glob(TEMPORARY_PREFIX + "*"))
    if command.returncode == 0:
        assert len(pd.read_csv(output)) == LARGE_ROWS
    else:
        assert command.returncode == 128 + signum and "Traceback" not in stderr
        assert (output.read_bytes() == previous) if previous is not None else not output.exists()
