"""What the command tells the user: a progress bar over large tables, and
the per-expiry summary with the totals by status."""

import importlib.util
import sys
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["ATM_VOL_UNITS", "PROGRESS_ROWS", "implied_vols", "summary_text"]

PROGRESS_ROWS = 100_000  # larger tables get a progress bar
ATM_VOL_UNITS = "atm_vol: annual implied volatility (0.25 is 25 %) at the strike nearest the forward"


def implied_vols(quotes: "pd.DataFrame", options: dict[str, Any], *, quiet: bool = False) -> "pd.DataFrame":
    """velliq.chain.implied_vols, under a progress bar when the table is large,
    tqdm installed and the command not ``quiet``."""
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
    totals_line = f"{len(result)} quotes, {len(table)} expiries: {totals}"
    return totals_line if quiet else f"{ATM_VOL_UNITS}\n{text}\n\n{totals_line}"
