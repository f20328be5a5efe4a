"""The smiles of an implied_vols result as a matplotlib figure, a panel per
underlying and quote date; matplotlib is imported on the first plot only."""

import math
from collections.abc import Hashable, Iterable
from os import PathLike
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import pandas as pd

from .._sides import sides
from .inputs import YEAR_DAYS, MissingColumnsError
from .results import result_layout
from .statuses import STATUSES

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.colors import Normalize
    from matplotlib.figure import Figure

MAX_PANELS: Final = 24  # beyond this the panels are too small to read; the first ones are drawn
PANEL_COLUMNS: Final = 3
PANEL_INCHES: Final = (4.8, 3.6)
# The y axis spans the volatilities that lie on their smile: within this
# fraction of the median of their neighbours (this many on the smile, the
# quote's own included). A stale or wrong quote does not flatten the smiles.
OFF_SMILE: Final = 0.2
NEIGHBOURS: Final = 5
MIN_Y_SPAN: Final = 0.02  # a flat smile is drawn flat, not its rounding errors magnified
DAY_TICKS: Final = (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000)

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
    underlying: str | None = None,
    strike: str = "strike",
    side: str = "side",
    valuation_date: object = None,
    underlyings: Iterable[object] | None = None,
) -> "Figure":
    """The smiles of a result: a panel per underlying (and per quote date
    when a column gives them), the out-of-the-money mid volatilities of the
    ``ok`` quotes against standardised moneyness ln(K/F)/sqrt(T), a line
    per expiry coloured by its days to expiry.

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    path : str or os.PathLike, optional
        Where to save the picture (its suffix picks the format).
    underlying : str, optional
        The column of underlyings, as named to :func:`implied_vols`; by
        default ``underlying`` when the table has it (else the table is one
        underlying).
    strike, side : str
        The columns of the strikes and the sides, as named to :func:`implied_vols`.
    valuation_date : optional
        As given to :func:`implied_vols`: a column of quote dates gives a
        panel per date; a date is shown in the title.
    underlyings : iterable, optional
        The underlyings to draw (every one by default).

    Returns
    -------
    matplotlib.figure.Figure
        The figure (closed once saved to ``path``). At most ``MAX_PANELS``
        panels are drawn, the first in the order of underlying and date.

    Raises
    ------
    MissingColumnsError
        A column named (or one that :func:`implied_vols` adds) is missing.
    ValueError
        No ``ok`` quote to draw; the message counts the rows by status.
    """
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.cm import ScalarMappable

    columns = _columns(result, underlying, strike, side, valuation_date)
    keys = [c for c in (columns["underlying"], columns["valuation_date"]) if c is not None]
    quotes = result
    if underlyings is not None and columns["underlying"] is not None:
        quotes = quotes[quotes[columns["underlying"]].isin(list(underlyings))]
    ok = quotes[quotes["status"] == "ok"]
    if ok.empty:
        counts = quotes["status"].value_counts()
        by_status = ", ".join(f"{s} {counts[s]}" for s in STATUSES if counts.get(s, 0))
        raise ValueError(f"no ok quotes to draw: {len(quotes)} rows ({by_status or 'none'})")
    is_call = np.asarray(sides(ok[columns["side"]]), dtype=np.bool_)
    above = (ok[columns["strike"]] >= ok["forward"]).to_numpy()
    smiles = ok[is_call == above].assign(
        _moneyness=lambda t: np.log(t[columns["strike"]] / t["forward"]) / np.sqrt(t["years"])
    )
    panels = list(smiles.groupby(keys, sort=True)) if keys else [((), smiles)]

    shown = panels[:MAX_PANELS]
    ncols = min(len(shown), PANEL_COLUMNS)
    nrows = math.ceil(len(shown) / ncols)
    width, height = PANEL_INCHES
    fig, axes = plt.subplots(
        nrows, ncols, figsize=(width * ncols + 1.2, height * nrows + 0.8), squeeze=False, layout="constrained"
    )
    norm = _days_norm(smiles["years"].to_numpy() * YEAR_DAYS)
    colours = matplotlib.colormaps["viridis"]
    for ax, (key, panel) in zip(axes.flat, shown):
        _draw_panel(ax, panel, norm, colours)
        ax.set_title(" \N{MIDDLE DOT} ".join(_label(k) for k in (key if isinstance(key, tuple) else (key,))))
    for ax in axes.flat[len(shown) :]:
        ax.set_visible(False)
    bar = fig.colorbar(ScalarMappable(norm=norm, cmap=colours), ax=axes, label="days to expiry", shrink=0.9)
    ticks = [t for t in DAY_TICKS if norm.vmin is not None and norm.vmax is not None and norm.vmin <= t <= norm.vmax]
    bar.ax.minorticks_off()
    bar.set_ticks(ticks, labels=[str(t) for t in ticks])
    fig.supxlabel("standardised moneyness ln(K / F) / \N{SQUARE ROOT}T (years)")
    fig.supylabel("implied volatility (annual)")
    fig.suptitle(_title(len(shown), len(panels), columns["valuation_date"], valuation_date))
    if path is not None:
        fig.savefig(path, dpi=120)
        plt.close(fig)
    return fig


def _columns(
    result: pd.DataFrame, underlying: str | None, strike: str, side: str, valuation_date: object
) -> dict[str, str | None]:
    """The columns to read, each checked; ``underlying`` and ``valuation_date`` None when there are none.
    Those not given (the default names) are the result's own (:func:`result_layout`)."""
    found = result.columns
    layout = result_layout(
        result,
        underlying=underlying,
        strike=None if strike == "strike" else strike,
        side=None if side == "side" else side,
        valuation_date=valuation_date,
    )
    date = layout.valuation_date
    named: dict[str, str | None] = {
        "underlying": layout.underlying,
        "valuation_date": date if isinstance(date, str) else None,
        "strike": layout.strike,
        "side": layout.side,
    }
    strike, side = layout.strike, layout.side
    needed = [c for c in (named["underlying"], strike, side, "years", "forward", "iv_mid", "status") if c is not None]
    missing = [c for c in needed if c not in found]
    if missing:
        raise MissingColumnsError(missing, needed, list(found))
    return named


def _days_norm(days: "np.ndarray[Any, np.dtype[np.float64]]") -> "Normalize":
    """Days to expiry on a log scale: the short expiries, whose smiles differ most, get most of the colours."""
    from matplotlib.colors import LogNorm, Normalize

    low, high = float(days.min()), float(days.max())
    return LogNorm(low, high) if high > low else Normalize(low - 1, high + 1)


def _draw_panel(ax: "Axes", panel: pd.DataFrame, norm: "Normalize", colours: Any) -> None:
    for years, smile in panel.groupby("years"):
        smile = smile.sort_values("_moneyness")
        days = float(years) * YEAR_DAYS  # type: ignore[arg-type]
        ax.plot(smile["_moneyness"], smile["iv_mid"], color=colours(norm(days)), lw=1.2, marker=".", ms=3)
    low, high = _y_limits(panel)
    margin = max(0.05 * (high - low), (MIN_Y_SPAN - (high - low)) / 2)
    ax.set_ylim(max(low - margin, 0.0), high + margin)
    ax.grid(alpha=0.3)


def _y_limits(panel: pd.DataFrame) -> tuple[float, float]:
    ordered = panel.sort_values(["years", "_moneyness"])
    vols = ordered["iv_mid"]
    local = vols.groupby(ordered["years"]).transform(
        lambda smile: smile.rolling(NEIGHBOURS, center=True, min_periods=1).median()
    )
    on_smile = vols[(vols / local - 1).abs() <= OFF_SMILE]
    shown = on_smile if len(on_smile) else vols
    return float(shown.min()), float(shown.max())


def _label(value: object) -> str:
    return f"{value:%Y-%m-%d}" if isinstance(value, pd.Timestamp | np.datetime64) else str(value)


def _title(shown: int, panels: int, date_column: str | None, valuation_date: object) -> str:
    """Two lines, so that a single panel's width holds them."""
    title = "Implied volatility smiles"
    if date_column is None and valuation_date is not None:
        title += f", {pd.Timestamp(valuation_date):%Y-%m-%d}"  # type: ignore[arg-type]
    title += "\nout-of-the-money mids of the ok quotes"
    if shown < panels:
        title += f" (the first {shown} of {panels} panels)"
    return title
