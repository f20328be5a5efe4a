"""What the command tells the user: a progress bar over large tables, and
the per-expiry summary with the totals by status."""

import importlib.util
import sys
import warnings
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["ATM_VOL_UNITS", "PROGRESS_ROWS", "SPOT_HINT", "implied_vols", "renamed_note", "spot_text", "summary_text"]

PROGRESS_ROWS = 100_000  # larger tables get a progress bar
ATM_VOL_UNITS = "atm_vol: annual implied volatility (0.25 is 25 %) at the strike nearest the forward"

# Said when the quotes have no spot column and no spot is given.
SPOT_HINT = (
    "; give --spot S (one spot for every row), --spot implied (per underlying and date, from put-call parity "
    "on the nearest expiries) or --column spot=COLUMN (or spot=BID_COL,ASK_COL, the mid of two columns)"
)


def implied_vols(quotes: "pd.DataFrame", options: dict[str, Any], *, quiet: bool = False) -> "pd.DataFrame":
    """velliq.chain.implied_vols, under a progress bar when the table is large,
    tqdm installed and the command not ``quiet``; each distinct warning it
    gives printed once, as ``velliq: warning: MESSAGE`` (a chunk of rows may
    repeat one)."""
    with warnings.catch_warnings(record=True) as caught:
        try:
            return _implied_vols(quotes, options, quiet)
        finally:
            for message in dict.fromkeys(str(warning.message) for warning in caught):
                print(f"velliq: warning: {message}", file=sys.stderr)


def _implied_vols(quotes: "pd.DataFrame", options: dict[str, Any], quiet: bool) -> "pd.DataFrame":
    from .. import chain

    if quiet or len(quotes) <= PROGRESS_ROWS or importlib.util.find_spec("tqdm") is None:
        return chain.implied_vols(quotes, **options)
    from tqdm import tqdm

    with tqdm(total=len(quotes), unit=" quotes", unit_scale=True, desc="implied vols", file=sys.stderr) as bar:
        return chain.implied_vols(quotes, **options, progress=bar.update)


def summary_text(result: "pd.DataFrame", options: dict[str, Any], *, quiet: bool = False) -> str:
    """The per-expiry summary as a table under a line giving atm_vol's units,
    and a line of totals by status; ``quiet``: the totals line alone.
    Status columns that are zero throughout are left out of the table."""
    from .. import chain

    table = chain.summary(result).reset_index()  # the columns from the result's record of them
    empty = [s for s in chain.STATUSES if table[s].sum() == 0]
    table = table.drop(columns=empty)
    text = table.to_string(
        index=False,
        formatters={"years": "{:.4f}".format, "forward": "{:.6f}".format, "atm_vol": "{:.4f}".format},
        na_rep="-",
    )
    counts = result["status"].value_counts()
    totals = ", ".join(f"{s} {counts.get(s, 0)}" for s in chain.STATUSES)
    totals_line = f"{len(result)} quotes, {len(table)} expiries: {totals}"
    return totals_line if quiet else f"{ATM_VOL_UNITS}\n{text}\n\n{totals_line}"


def spot_text(quotes: "pd.DataFrame", options: dict[str, Any]) -> str:
    """The implied spot of each (underlying, date) as a table, with its consistent range."""
    from .. import chain

    keywords = {k: v for k, v in options.items() if k not in ("spot", "greeks")}
    table = chain.spots(quotes, **keywords).reset_index()
    spot = "{:.4f}".format
    text = table.to_string(index=False, formatters={"spot": spot, "spot_lo": spot, "spot_hi": spot}, na_rep="-")
    return f"\nimplied spots (put-call parity on the nearest expiries):\n{text}"


def renamed_note(result: "pd.DataFrame") -> str | None:
    """A line naming the quotes' columns kept under a new name, as the
    result's own columns take theirs; None when there are none."""
    from .. import chain

    renamed = chain.result_layout(result).renamed
    if not renamed:
        return None
    kept = ", ".join(f"{old!r} as {new!r}" for old, new in renamed)
    return f"note: the result adds columns the quotes have; the quotes' own are kept: {kept}"
