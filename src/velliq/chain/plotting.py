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


def smile_underlying(result: pd.DataFrame, wanted: object = None) -> tuple[Hashable, int]:
    """The underlying whose smiles :func:`plot_smiles` draws.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    wanted : optional
        An underlying, matched as text too (a command line's argument finds
        a numeric name); the first of the table when None.

    Returns
    -------
    tuple
        The underlying and how many the table holds; ``(None, 0)`` for a
        table without an ``underlying`` column.

    Raises
    ------
    LookupError
        ``wanted`` is not an underlying of the table.
    """
    if "underlying" not in result.columns:
        return None, 0
    names = list(result["underlying"].dropna().unique())
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
) -> "Figure":
    """The smiles of one underlying: per expiry, the out-of-the-money mid
    volatilities against log-moneyness ln(K/F), with the bid-ask band.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    path : str or os.PathLike, optional
        Where to save the picture (its suffix picks the format).
    underlying : optional
        The underlying to draw when the table has several; the first by
        default (:func:`smile_underlying`).
    strike, side : str
        The columns of the strikes and the sides.

    Returns
    -------
    matplotlib.figure.Figure
        The figure (closed once saved to ``path``).
    """
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    chosen, _ = smile_underlying(result, underlying)
    frame = result[result["status"] == "ok"]
    if "underlying" in frame.columns:
        frame = frame[frame["underlying"] == chosen]
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
    ax.set_title(title if "underlying" not in frame.columns else f"{chosen}: {title}")
    ax.legend(title="expiry", fontsize="small", ncol=2)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
        plt.close(fig)
    return fig
