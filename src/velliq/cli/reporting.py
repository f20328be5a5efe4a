"""What the command tells the user: a progress bar over large tables, and
the per-expiry summary with the totals by status."""

import importlib.util
import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["PROGRESS_ROWS", "implied_vols", "renamed_note", "summary_text"]

PROGRESS_ROWS = 100_000  # larger tables get a progress bar


def implied_vols(quotes: "pd.DataFrame", options: dict[str, Any]) -> "pd.DataFrame":
    """velliq.chain.implied_vols, under a progress bar when the table is large
    and tqdm installed."""
    from .. import chain

    if len(quotes) <= PROGRESS_ROWS or importlib.util.find_spec("tqdm") is None:
        return chain.implied_vols(quotes, **options)
    from tqdm import tqdm

    with tqdm(total=len(quotes), unit=" quotes", unit_scale=True, desc="implied vols", file=sys.stderr) as bar:
        return chain.implied_vols(quotes, **options, progress=bar.update)


def summary_text(result: "pd.DataFrame", options: dict[str, Any]) -> str:
    """The per-expiry summary as a table, and a line of totals by status.
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
    return f"{text}\n\n{len(result)} quotes, {len(table)} expiries: {totals}"


def renamed_note(result: "pd.DataFrame") -> str | None:
    """A line naming the quotes' columns kept under a new name, as the
    result's own columns take theirs; None when there are none."""
    from .. import chain

    renamed = chain.result_layout(result).renamed
    if not renamed:
        return None
    kept = ", ".join(f"{old!r} as {new!r}" for old, new in renamed)
    return f"note: the result adds columns the quotes have; the quotes' own are kept: {kept}"
