"""Rates on the command line: a rate or yield above 1 in magnitude refused with the
fraction meant, and the same given as a percentage, to the last bit."""

import pandas as pd
import pytest
from cli_runs import SAMPLE, TRUTH, velliq


@pytest.fixture(scope="module")
def one_underlying(tmp_path_factory):
    folder = tmp_path_factory.mktemp("rates")
    pd.read_csv(SAMPLE).query("underlying == 'DMTK'").to_csv(folder / "one.csv", index=False)
    return folder


DATE = ["--valuation-date", TRUTH["valuation_date"]]


@pytest.mark.parametrize(
    "args, message",
    [
        (["--rate", "4"], "--rate 4 looks like a percentage: give --rate 0.04 or --rate-percent 4"),
        (["--rate", "-2.5"], "--rate -2.5 looks like a percentage: give --rate -0.025 or --rate-percent -2.5"),
        (
            ["--rate", "0.04", "--dividend-yield", "1.5"],
            "--dividend-yield 1.5 looks like a percentage: give --dividend-yield 0.015 or --dividend-yield-percent 1.5",
        ),
        (["--rate", "0.04", "--rate-percent", "4"], "give --rate or --rate-percent, not both"),
        (["--rate-percent", "four"], "argument --rate-percent: 'four' is not a number"),
        (["--rate-percent", "4", "--column", "rate=spot"], "give --rate or --column rate=..., not both"),
    ],
)
def test_a_rate_that_looks_like_a_percentage_is_refused(one_underlying, args, message):
    run = velliq("vols", "one.csv", *DATE, *args, cwd=one_underlying)
    assert run.returncode == 2 and run.stdout == "" and message in run.stderr


@pytest.mark.parametrize(
    "percent, fraction",
    [
        (["--rate-percent", "4"], ["--rate", "0.04"]),
        (["--rate-percent", "4.3"], ["--rate", "0.043"]),
        (["--rate", "0.04", "--dividend-yield-percent", "1.5"], ["--rate", "0.04", "--dividend-yield", "0.015"]),
    ],
)
def test_a_percentage_gives_what_its_fraction_gives(one_underlying, percent, fraction):
    for name, args in (("percent.csv", percent), ("fraction.csv", fraction)):
        run = velliq("vols", "one.csv", *DATE, *args, "-o", name, cwd=one_underlying)
        assert run.returncode == 0, run.stderr
    assert (one_underlying / "percent.csv").read_bytes() == (one_underlying / "fraction.csv").read_bytes()
