"""One vol surface as a matplotlib figure: a panel per expiry with its quotes'
bid/ask band and the fitted smile, then the ATM term structure and the
25-delta skew; matplotlib is imported on the first plot only."""

import math
from collections.abc import Hashable
from os import PathLike
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import pandas as pd

from .._sides import sides
from .inputs import YEAR_DAYS
from .plotting import BAND_ALPHA, PANEL_INCHES, smile_dates
from .results import key_values, result_layout
from .smile_axes import X_LABELS, chosen_expiries, x_values
from .surfaces import Key, Surfaces

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from ..surface import Surface

__all__ = ["plot_surface", "surface_key"]

MAX_SMILES: Final = 22  # expiry panels; of more, this many spread over the term (the nearest and farthest)
SURFACE_COLUMNS: Final = 4
FIT_POINTS: Final = 200  # points of each drawn smile and term structure
FIT_COLOUR: Final = "#d62728"
QUOTE_COLOUR: Final = "#1f77b4"
STRIKE_MARGIN: Final = 0.05  # each fitted smile reaches this share of the quoted range beyond it


def surface_key(surfaces: Surfaces, underlying: object = None, date: object = None) -> Key:
    """The key of the surface to draw: of ``underlying`` (the first by
    default, matched as text too) and quote ``date`` (the last by default,
    matched as a date or as text).

    Raises
    ------
    LookupError
        No surface, or none of that underlying or date.
    """
    keys = list(surfaces)
    if not keys:
        raise LookupError("no surface to draw: no (underlying, quote date) has enough ok quotes")
    names = list(dict.fromkeys(key[0] for key in keys))
    name = names[0]
    if underlying is not None:
        name = next((n for n in names if n == underlying or str(n) == str(underlying)), None)
        if name is None:
            raise LookupError(f"no surface of underlying {underlying!r}")
    dates = [key[1] for key in keys if key[0] == name]
    if date is None or dates == [None]:
        return name, dates[-1]
    try:
        chosen, _ = smile_dates(pd.Series(dates, dtype=object), [date])
    except LookupError:
        raise LookupError(f"no surface of {name} on quote date {date!r}") from None
    return name, chosen[0]


def plot_surface(
    result: pd.DataFrame,
    surfaces: Surfaces,
    path: "str | PathLike[str] | None" = None,
    *,
    key: Key | None = None,
    underlying: str | None = None,
    expiry: str | None = None,
    strike: str | None = None,
    side: str | None = None,
    valuation_date: object = None,
) -> "Figure":
    """One surface of :func:`surface`: a panel per expiry with the bid/ask band
    and mids of its out-of-the-money ``ok`` quotes and the fitted smile
    against standardised moneyness ln(K/F)/√T, then the ATM volatility term
    structure and the 25-delta risk reversal and butterfly.

    Parameters
    ----------
    result : pandas.DataFrame
        The result of :func:`implied_vols` the surfaces were fitted to.
    surfaces : Surfaces
        Its surfaces.
    path : str or os.PathLike, optional
        Where to save the picture (its suffix picks the format).
    key : tuple, optional
        The (underlying, valuation date) to draw; by default the first
        underlying's last date (:func:`surface_key`).
    underlying, expiry, strike, side, valuation_date : optional
        The result's columns, by default those it records (:func:`result_layout`).

    Returns
    -------
    matplotlib.figure.Figure
        The figure (closed once saved to ``path``). Of more than ``MAX_SMILES``
        (22) expiries, that many spread over the term are drawn.
    """
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    key = surface_key(surfaces) if key is None else key
    fitted = surfaces[key]
    quotes = _quotes_of(result, key, underlying, expiry, strike, side, valuation_date)
    slices = fitted.slices.reset_index(drop=True)
    drawn = chosen_expiries(slices["years"], MAX_SMILES)
    count = len(drawn) + 2
    ncols = min(count, SURFACE_COLUMNS)
    nrows = math.ceil(count / ncols)
    width, height = PANEL_INCHES
    fig, axes = plt.subplots(
        nrows, ncols, figsize=(width * ncols, height * nrows + 1.0), squeeze=False, layout="constrained"
    )
    panels = list(axes.flat)
    for ax, (_, row) in zip(panels, slices.loc[drawn].iterrows()):
        _draw_smile(ax, fitted, row, quotes)
    _draw_term_structure(panels[len(drawn)], fitted, slices)
    _draw_skew(panels[len(drawn) + 1], fitted, slices)
    for ax in panels[count:]:
        ax.set_visible(False)
    fig.supxlabel(f"smiles: {X_LABELS['moneyness']}; term structure and skew: years")
    fig.supylabel("implied volatility (annual)")
    note = "" if len(drawn) == len(slices) else f", {len(drawn)} of {len(slices)} expiries"
    bands = "bid\N{EN DASH}ask vols of the out-of-the-money ok quotes, and the fit"
    fig.suptitle(f"Vol surface, {_label(key)}{note}\n{bands}")
    if path is not None:
        fig.savefig(path, dpi=110)
        plt.close(fig)
    return fig


def _quotes_of(
    result: pd.DataFrame,
    key: Key,
    underlying: str | None,
    expiry: str | None,
    strike: str | None,
    side: str | None,
    valuation_date: object,
) -> pd.DataFrame:
    """The key's out-of-the-money ok quotes: ``years``, ``strike``, ``forward`` and their vols."""
    layout = result_layout(
        result, underlying=underlying, expiry=expiry, strike=strike, side=side, valuation_date=valuation_date
    )
    rows = (result["status"] == "ok").to_numpy().copy()
    if layout.underlying is not None and layout.underlying in result.columns:
        rows &= (result[layout.underlying] == key[0]).to_numpy()
    if isinstance(layout.valuation_date, str):
        rows &= np.asarray(key_values(result[layout.valuation_date]) == key[1], dtype=np.bool_)
    chosen = result[rows]
    is_call = np.asarray(sides(chosen[layout.side]), dtype=np.bool_)
    chosen = chosen[is_call == (chosen[layout.strike] >= chosen["forward"]).to_numpy()]
    columns = {layout.strike: "strike", "years": "years", "forward": "forward"}
    picked: pd.DataFrame = chosen[[*columns, "iv_bid", "iv_mid", "iv_ask"]].rename(columns=columns)
    return picked


def _draw_smile(ax: "Axes", fitted: "Surface", expiry: "pd.Series[Any]", quotes: pd.DataFrame) -> None:
    """An expiry's quotes (band ``band``, mids ``mid``) and its fitted smile (``fit``)."""
    years, forward = float(expiry["years"]), float(expiry["forward"])
    smile = quotes[quotes["years"] == years].sort_values("strike")
    k = smile["strike"].to_numpy(np.float64)
    low, high = (float(k.min()), float(k.max())) if len(k) else (forward * 0.8, forward * 1.2)
    reach = STRIKE_MARGIN * (high - low)
    grid = np.linspace(max(low - reach, low / 2), high + reach, FIT_POINTS)
    moneyness = x_values(grid, np.full_like(grid, forward), np.full_like(grid, years), grid, "moneyness")
    ax.plot(moneyness, fitted.implied_vol(grid, np.full_like(grid, years)), color=FIT_COLOUR, lw=1.3, gid="fit")
    x = x_values(k, smile["forward"].to_numpy(np.float64), smile["years"].to_numpy(np.float64), k, "moneyness")
    ax.fill_between(x, smile["iv_bid"], smile["iv_ask"], color=QUOTE_COLOUR, alpha=BAND_ALPHA * 2, lw=0, gid="band")
    ax.plot(x, smile["iv_mid"], ls="none", marker=".", ms=3, color=QUOTE_COLOUR, gid="mid")
    ax.set_title(f"{years * YEAR_DAYS:.0f} d, {_share(expiry)}", fontsize="medium")
    ax.grid(alpha=0.3)


def _share(expiry: "pd.Series[Any]") -> str:
    """The expiry's share of quotes in band, when its slice row gives it."""
    if "in_band" not in expiry.index or "quotes" not in expiry.index:
        return f"{int(expiry.get('quotes', 0))} quotes"
    return f"{float(expiry['in_band']):.1%} of {int(expiry['quotes'])} in band"


def _term_grid(slices: pd.DataFrame) -> Any:
    years = slices["years"].to_numpy(np.float64)
    return np.geomspace(years.min(), years.max(), FIT_POINTS) if years.max() > years.min() else years


def _draw_term_structure(ax: "Axes", fitted: "Surface", slices: pd.DataFrame) -> None:
    """The ATM volatility against years (``atm``), a point at each expiry."""
    grid = _term_grid(slices)
    years = slices["years"].to_numpy(np.float64)
    ax.plot(grid, fitted.atm_vol(grid), color=FIT_COLOUR, lw=1.3, gid="atm")
    ax.plot(years, fitted.atm_vol(years), ls="none", marker="o", ms=3, color=FIT_COLOUR)
    ax.set_title("ATM vol term structure", fontsize="medium")
    ax.set_xlabel("years")
    ax.grid(alpha=0.3)


def _draw_skew(ax: "Axes", fitted: "Surface", slices: pd.DataFrame) -> None:
    """The 25-delta risk reversal (``risk_reversal``) and butterfly (``butterfly``) against years."""
    grid = _term_grid(slices)
    delta = "25\N{GREEK SMALL LETTER DELTA}"
    ax.plot(grid, fitted.risk_reversal_25(grid), lw=1.3, color=QUOTE_COLOUR, label=f"{delta} RR", gid="risk_reversal")
    ax.plot(grid, fitted.butterfly_25(grid), lw=1.3, color=FIT_COLOUR, label=f"{delta} BF", gid="butterfly")
    ax.axhline(0.0, color="0.5", lw=0.6)
    ax.set_title("25-delta skew", fontsize="medium")
    ax.set_xlabel("years")
    ax.legend(fontsize="small")
    ax.grid(alpha=0.3)


def _label(key: Key) -> str:
    parts: list[Hashable] = [part for part in key if part is not None]
    text = " \N{MIDDLE DOT} ".join(f"{p:%Y-%m-%d}" if isinstance(p, pd.Timestamp) else str(p) for p in parts)
    return text or "the table"
