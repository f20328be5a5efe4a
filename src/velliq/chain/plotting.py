"""The smiles of an implied_vols result as a matplotlib figure; matplotlib is
imported on the first plot only."""

from collections.abc import Hashable
from os import PathLike
from typing import TYPE_CHECKING, cast

import numpy as np
import pandas as pd

from .._sides import sides

if TYPE_CHECKING:
    from matplotlib.figure import Figure

__all__ = ["plot_smiles", "smile_underlying"]


def smile_underlying(
    result: pd.DataFrame, wanted: object = None, *, column: str = "underlying"
) -> tuple[Hashable, int]:
    """The underlying whose smiles :func:`plot_smiles` draws.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    wanted : optional
        An underlying, matched as text too (a command line's argument finds
        a numeric name); the first of the table when None.
    column : str
        The table's column of underlyings.

    Returns
    -------
    tuple
        The underlying and how many the table holds; ``(None, 0)`` for a
        table without that column.

    Raises
    ------
    LookupError
        ``wanted`` is not an underlying of the table.
    """
    if column not in result.columns:
        return None, 0
    names = list(result[column].dropna().unique())
    if wanted is None:
        return (names[0] if names else None), len(names)
    chosen = next((name for name in names if name == wanted or str(name) == str(wanted)), None)
    if chosen is None:
        raise LookupError(f"underlying {wanted!r} is not in the table")
    return chosen, len(names)


def plot_smiles(
    result: pd.DataFrame,
    path: "str | PathLike[str] | None" = None,
    *,
    underlying: object = None,
    strike: str = "strike",
    side: str = "side",
    underlying_column: str = "underlying",
    valuation_date: object = None,
) -> "Figure":
    """The smiles of one underlying: per expiry, the out-of-the-money mid
    volatilities against log-moneyness ln(K/F), with the bid-ask band; of
    the latest quote date when a column holds several.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    path : str or os.PathLike, optional
        Where to save the picture (its suffix picks the format).
    underlying : optional
        The underlying to draw when the table has several; the first by
        default (:func:`smile_underlying`).
    strike, side, underlying_column : str
        The columns of the strikes, the sides and the underlyings.
    valuation_date : optional
        As given to :func:`implied_vols`: a column of quote dates draws the
        latest date's smiles.

    Returns
    -------
    matplotlib.figure.Figure
        The figure (closed once saved to ``path``).
    """
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    chosen, _ = smile_underlying(result, underlying, column=underlying_column)
    frame = result[result["status"] == "ok"]
    if underlying_column in frame.columns:
        frame = frame[frame[underlying_column] == chosen]
    dated = isinstance(valuation_date, str) and valuation_date in frame.columns
    if dated:
        dates = pd.to_datetime(frame[valuation_date])
        latest = dates.max()
        frame = frame[dates == latest]
    otm = frame[np.where(sides(frame[side]), frame[strike] >= frame["forward"], frame[strike] < frame["forward"])]
    fig, ax = plt.subplots(figsize=(9, 5.5))
    for years, group in otm.groupby("years"):
        group = group.sort_values(strike)
        x = np.log(group[strike] / group["forward"])
        (line,) = ax.plot(x, group["iv_mid"], label=f"{cast(float, years) * 365:.0f} d")
        bid = group["iv_bid"].where(group["iv_bid"] > 0)  # a zero bid bounds nothing
        ax.fill_between(x, bid, group["iv_ask"], color=line.get_color(), alpha=0.2)
    ax.set_xlabel("log-moneyness ln(K / F)")
    ax.set_ylabel("implied volatility (annual)")
    title = "Implied volatility smiles, out-of-the-money mids with bid-ask bands"
    if dated:
        title = f"{title}, {latest:%Y-%m-%d}"
    ax.set_title(title if underlying_column not in frame.columns else f"{chosen}: {title}")
    ax.legend(title="expiry", fontsize="small", ncol=2)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
        plt.close(fig)
    return fig
