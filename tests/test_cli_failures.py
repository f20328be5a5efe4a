"""The velliq command line failing as users meet it: each failure's message
and exit status, and outputs never left half-written, whatever stops the command."""

import contextlib
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import pytest
from cli_runs import MARKET, SAMPLE, TRUTH, velliq

from velliq import baw, forward_terms
from velliq.cli.output_files import TEMPORARY_PREFIX


@pytest.fixture
def quote_files(tmp_path):
    quotes = pd.read_csv(SAMPLE).head(400)
    quotes.drop(columns="strike").to_csv(tmp_path / "no_strike.csv", index=False)
    quotes.to_csv(tmp_path / "quotes.txt", index=False)
    (tmp_path / "broken.parquet").write_text("not parquet\n")
    quotes.assign(side=["X"] + ["C"] * 399).to_csv(tmp_path / "bad_side.csv", index=False)
    quotes.to_csv(tmp_path / "quotes.csv", index=False)
    (tmp_path / "link.csv").hardlink_to(tmp_path / "quotes.csv")
    (tmp_path / "alias.csv").symlink_to("quotes.csv")
    (tmp_path / "folder.csv").mkdir()
    garbage = quotes.astype({"strike": object, "bid": object})
    garbage.loc[7, "bid"], garbage.loc[5, "strike"] = "n/a", "abc"
    garbage.loc[1, "side"] = None  # a missing side is the table's missing_input, not a bad cell
    garbage.to_csv(tmp_path / "garbage.csv", index=False)
    garbage.astype({"strike": str, "bid": str}).rename(columns={"strike": "K"}).to_parquet(tmp_path / "garbage.parquet")
    quotes.assign(expiry=quotes["expiry"].where(quotes.index != 3, "soon")).to_csv(tmp_path / "soon.csv", index=False)
    spots = quotes.assign(side=quotes["side"].where(quotes.index != 1))  # a missing side is no fault of the table
    spots.assign(spot=quotes["spot"].where(quotes.index != 3, 768.5)).to_csv(tmp_path / "two_spots.csv", index=False)
    (tmp_path / "bid_twice.csv").write_text(quotes.to_csv(index=False).replace(",bid,ask,", ",bid, bid,", 1))
    durations = pd.to_datetime(quotes["expiry"]) - pd.Timestamp(TRUTH["valuation_date"])
    quotes.assign(expiry=durations).to_parquet(tmp_path / "durations.parquet")
    os.mkfifo(tmp_path / "pipe.csv")
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
        (["quotes.csv", *MARKET, "-o", "alias.csv"], 2, ["-o alias.csv is the quotes file quotes.csv"]),
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
        (["quotes.csv", *MARKET, "-o", "vols.csv", "--plot", "smiles.xyz"], 2, ["unknown picture format 'xyz'"]),
        (["quotes.csv", *MARKET, "--plot", "smiles.csv"], 2, ["--plot smiles.csv: unknown picture format 'csv'"]),
        (["quotes.csv", *MARKET, "--plot", "s.png", "--plot-underlying", "ZZZ"], 2, ["--plot-underlying 'ZZZ' is not"]),
        (["quotes.csv", *MARKET, "-o", "pipe.csv"], 2, ["-o pipe.csv: it is not a regular file"]),
        (
            ["two_spots.csv", *MARKET],
            2,
            ["rows 0 and 3 share an", "have spots 512.37 and 768.5: several", "(lines 2 and 5 of two_spots.csv)"],
        ),
        (["bid_twice.csv", *MARKET], 2, ["bid_twice.csv: the columns 'bid' and ' bid' are both named 'bid'"]),
        (["durations.parquet", *MARKET], 2, ["column 'expiry' holds durations (timedelta64"]),
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


@pytest.mark.parametrize(
    "option, path, module",
    [("-o", "vols.csv.zst", "zstandard"), ("-o", "vols.parquet", "pyarrow"), ("--plot", "smiles.png", "matplotlib")],
)
def test_an_output_without_its_writer_is_refused_before_the_work(quote_files, option, path, module):
    """Without the module that writes an output (made absent by a module of its
    name that fails to import), the command stops before computing anything."""
    absent = quote_files / "absent_modules"
    absent.mkdir()
    (absent / f"{module}.py").write_text("raise ImportError('absent for this test')\n")
    run = velliq("vols", "quotes.csv", *MARKET, option, path, cwd=quote_files, env={"PYTHONPATH": str(absent)})
    assert run.returncode == 2 and run.stdout == "" and "Traceback" not in run.stderr
    assert f"{path}: writing it needs the module {module}" in run.stderr
    assert not (quote_files / path).exists()


def test_debug_shows_the_traceback(quote_files):
    run = velliq("vols", "bad_side.csv", *MARKET, "--debug", cwd=quote_files)
    assert run.returncode == 1 and "Traceback" in run.stderr
    assert "CellError: column 'side', row 0: side 'X'" in run.stderr


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
