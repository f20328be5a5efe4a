"""What the command tells the user: a progress bar over large tables, and
the per-expiry summary with the totals by status."""

import importlib.util
import sys
import warnings
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["PROGRESS_ROWS", "implied_vols", "summary_text"]

PROGRESS_ROWS = 100_000  # larger tables get a progress bar


def implied_vols(quotes: "pd.DataFrame", options: dict[str, Any]) -> "pd.DataFrame":
    """velliq.chain.implied_vols, under a progress bar when the table is large
    and tqdm installed; each distinct warning it gives printed once, as
    ``velliq: warning: MESSAGE`` (a chunk of rows may repeat one)."""
    with warnings.catch_warnings(record=True) as caught:
        try:
            return _implied_vols(quotes, options)
        finally:
            for message in dict.fromkeys(str(warning.message) for warning in caught):
                print(f"velliq: warning: {message}", file=sys.stderr)


def _implied_vols(quotes: "pd.DataFrame", options: dict[str, Any]) -> "pd.DataFrame":
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

    names = {k: options[k] for k in ("underlying", "expiry", "strike", "valuation_date") if k in options}
    table = chain.summary(result, **names).reset_index()
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
