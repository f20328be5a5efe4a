"""Running the velliq command line as users run it, on the shipped sample
quotes (examples/data/quotes.csv.gz), with the truth examples/make_quotes.py
wrote beside them (examples/data/quotes_truth.json): what the command-line
tests share."""

import json
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "data" / "quotes.csv.gz"
TRUTH = json.loads((ROOT / "examples" / "data" / "quotes_truth.json").read_text())
MARKET = ["--valuation-date", TRUTH["valuation_date"], "--rate", str(TRUTH["rate"])]


def velliq(*args, cwd, env=None):
    # Runs in a folder of its own, where the relative paths of the arguments and outputs
    # resolve; with the package under src/, any folder, the checkout's too, imports the installed one.
    # ``env``: variables set on top of this process's environment.
    return subprocess.run(
        [sys.executable, "-m", "velliq", *map(str, args)],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=120,
        env=None if env is None else {**os.environ, **env},
    )
