"""The smiles of an implied_vols result as a matplotlib figure, a panel per
underlying and quote date; matplotlib is imported on the first plot only."""

import math
from collections.abc import Hashable, Iterable
from os import PathLike
from typing import TYPE_CHECKING, Any, Final

import numpy as np
import pandas as pd

from .._sides import sides
from .inputs import MissingColumnsError
from .results import result_layout
from .smile_axes import PALETTE, X_AXES, X_LABELS, at_forward, chosen_expiries, expiry_label, x_values
from .statuses import STATUSES

if TYPE_CHECKING:
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

MAX_PANELS: Final = 24  # beyond this the panels are too small to read; the first ones are drawn
MAX_DATES: Final = 3  # more quote dates than this: the last is drawn, unless dates= chooses
PANEL_COLUMNS: Final = 3
PANEL_INCHES: Final = (4.8, 3.6)
LEGEND_INCHES: Final = 1.9
BAND_ALPHA: Final = 0.18
# The y axis spans the volatilities that lie on their smile: within this
# fraction of the median of their neighbours (this many on the smile, the
# quote's own included). A stale or wrong quote does not flatten the smiles.
OFF_SMILE: Final = 0.2
NEIGHBOURS: Final = 5
MIN_Y_SPAN: Final = 0.02  # a flat smile is drawn flat, not its rounding errors magnified

__all__ = ["plot_smiles", "smile_dates", "smile_underlying"]


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


def smile_dates(dates: "pd.Series[Any]", wanted: object = None) -> tuple[list[Hashable], str | None]:
    """The quote dates :func:`plot_smiles` draws, in date order, and a note
    on the choice for the title (None when every date is drawn).

    Parameters
    ----------
    dates : pandas.Series
        The result's column of quote dates.
    wanted : optional
        A date or a list of them, matched as dates (``"2026-03-02"`` finds
        a timestamp) or as text; ``"all"`` for every date. By default every
        date when there are at most ``MAX_DATES``, else the last.

    Raises
    ------
    LookupError
        A date ``wanted`` names is not in the column.
    """
    found = sorted(dates.dropna().unique(), key=_date_order)
    if wanted is None and len(found) > MAX_DATES:
        return found[-1:], f"the last of {len(found)} quote dates"
    if wanted is None or (isinstance(wanted, str) and wanted == "all"):
        return found, None
    asked = list(wanted) if isinstance(wanted, Iterable) and not isinstance(wanted, str) else [wanted]
    chosen = set()
    for date in asked:
        match = next((d for d in found if str(d) == str(date) or _date_order(d) == _date_order(date)), None)
        if match is None:
            span = f": {len(found)} dates, {_label(found[0])} to {_label(found[-1])}" if found else ""
            raise LookupError(f"quote date {date!r} is not in the table{span}")
        chosen.add(match)
    drawn = [d for d in found if d in chosen]
    return drawn, (f"{len(drawn)} of {len(found)} quote dates" if len(drawn) < len(found) else None)


def plot_smiles(
    result: pd.DataFrame,
    path: "str | PathLike[str] | None" = None,
    *,
    underlying: str | None = None,
    expiry: str | None = None,
    strike: str | None = None,
    side: str | None = None,
    valuation_date: object = None,
    underlyings: Iterable[object] | None = None,
    dates: object = None,
    x_axis: str = "moneyness",
) -> "Figure":
    """The smiles of a result: a panel per underlying (and per quote date
    when a column gives them), the out-of-the-money quotes that are ``ok``,
    a line per expiry through their mid volatilities, a band from their bid
    to their ask volatility and a diamond at the forward.

    Up to ``MAX_EXPIRIES`` (12) expiries get a colour each, named in the
    legend; of more, twelve spread over the term structure are drawn, the
    nearest and the farthest always (the title says so).

    Parameters
    ----------
    result : pandas.DataFrame
        A result of :func:`implied_vols`.
    path : str or os.PathLike, optional
        Where to save the picture (its suffix picks the format).
    underlying, expiry, strike, side : str, optional
        The columns of the underlyings, expiries, strikes and sides; by
        default those the result records (:func:`result_layout`).
    valuation_date : optional
        A column of quote dates, which gives a panel per date (by default
        the result's record's); a date is shown in the title.
    underlyings : iterable, optional
        The underlyings to draw (every one by default).
    dates : optional
        The quote dates to draw, from a column of them: a date, a list of
        dates or ``"all"``; by default every date when there are at most
        ``MAX_DATES`` (3), else the last (:func:`smile_dates`).
    x_axis : str
        The x axis: ``"moneyness"``, standardised moneyness ln(K/F)/sqrt(T);
        ``"strike"``; or ``"delta"``, the call delta N(d1) of Black's formula at the forward and the mid
        volatility (computed, the same for a call and a put at one strike).

    Returns
    -------
    matplotlib.figure.Figure
        The figure (closed once saved to ``path``). At most ``MAX_PANELS``
        panels are drawn, the first in the order of underlying and date.

    Raises
    ------
    MissingColumnsError
        A column named (or one that :func:`implied_vols` adds) is missing.
    ResultLayoutError
        A result that cannot be regrouped as read (:func:`result_layout`).
    ValueError
        No ``ok`` quote to draw (the message counts the rows by status), or
        an unknown ``x_axis``.
    LookupError
        A date of ``dates`` is not in the table.
    """
    if x_axis not in X_AXES:
        raise ValueError(f"x_axis {x_axis!r} is not one of {', '.join(X_AXES)}")
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    columns = _columns(result, underlying, expiry, strike, side, valuation_date)
    date_column = columns["valuation_date"]
    quotes = result
    if underlyings is not None and columns["underlying"] is not None:
        quotes = quotes[quotes[columns["underlying"]].isin(list(underlyings))]
    notes = []
    if date_column is not None:
        drawn_dates, date_note = smile_dates(quotes[date_column], dates)
        quotes = quotes[quotes[date_column].isin(drawn_dates)]
        notes += [date_note] if date_note else []
    elif dates is not None:
        raise ValueError("dates= chooses from a column of quote dates: give valuation_date= its name")
    smiles = _out_of_the_money(quotes, columns, x_axis)
    smiles, colours, labels = _expiry_styles(smiles, str(columns["expiry"]), date_column, notes)
    keys = [c for c in (columns["underlying"], date_column) if c is not None]
    panels: list[tuple[Any, pd.DataFrame]] = [((), smiles)]
    if keys:
        panels = sorted(smiles.groupby(keys, sort=True), key=lambda p: _panel_order(p[0], date_column))
    shown = panels[:MAX_PANELS]
    if len(shown) < len(panels):
        notes.append(f"the first {len(shown)} of {len(panels)} panels")
    ncols = min(len(shown), PANEL_COLUMNS)
    nrows = math.ceil(len(shown) / ncols)
    width, height = PANEL_INCHES
    fig, axes = plt.subplots(
        nrows,
        ncols,
        figsize=(width * ncols + LEGEND_INCHES, height * nrows + 1.0),
        squeeze=False,
        layout="constrained",
    )
    for ax, (key, panel) in zip(axes.flat, shown):
        _draw_panel(ax, panel, columns, colours, x_axis)
        ax.set_title(" \N{MIDDLE DOT} ".join(_label(k) for k in (key if isinstance(key, tuple) else (key,))))
    for ax in axes.flat[len(shown) :]:
        ax.set_visible(False)
    handles = _legend_handles([(colours[e], labels[e]) for e in colours])
    fig.legend(handles=handles, loc="outside right upper", title="expiry", fontsize="small")
    fig.supxlabel(X_LABELS[x_axis])
    fig.supylabel("implied volatility (annual)")
    fig.suptitle(_title(date_column, valuation_date, notes))
    if path is not None:
        fig.savefig(path, dpi=120)
        plt.close(fig)
    return fig


def _columns(
    result: pd.DataFrame,
    underlying: str | None,
    expiry: str | None,
    strike: str | None,
    side: str | None,
    valuation_date: object,
) -> dict[str, str | None]:
    """The columns to read, each checked; ``underlying`` and ``valuation_date`` None when there are none.
    Those not given are the result's own (:func:`result_layout`)."""
    found = result.columns
    layout = result_layout(
        result, underlying=underlying, expiry=expiry, strike=strike, side=side, valuation_date=valuation_date
    )
    date = layout.valuation_date
    named: dict[str, str | None] = {
        "underlying": layout.underlying,
        "valuation_date": date if isinstance(date, str) else None,
        "expiry": layout.expiry,
        "strike": layout.strike,
        "side": layout.side,
    }
    needed = [named["underlying"], layout.expiry, layout.strike, layout.side]
    needed += ["years", "forward", "iv_bid", "iv_mid", "iv_ask", "status"]
    present = [c for c in needed if c is not None]
    missing = [c for c in present if c not in found]
    if missing:
        raise MissingColumnsError(missing, present, list(found))
    return named


def _out_of_the_money(quotes: pd.DataFrame, columns: dict[str, str | None], x_axis: str) -> pd.DataFrame:
    """The ok quotes out of the money (calls at and above the forward, puts below), each with its ``_x``."""
    ok = quotes[quotes["status"] == "ok"]
    if ok.empty:
        counts = quotes["status"].value_counts()
        by_status = ", ".join(f"{s} {counts[s]}" for s in STATUSES if counts.get(s, 0))
        raise ValueError(f"no ok quotes to draw: {len(quotes)} rows ({by_status or 'none'})")
    is_call = np.asarray(sides(ok[columns["side"]]), dtype=np.bool_)
    smiles = ok[is_call == (ok[columns["strike"]] >= ok["forward"]).to_numpy()]
    inputs = (str(columns["strike"]), "forward", "years", "iv_mid")
    strike, forward, years, vol = (smiles[c].to_numpy(np.float64) for c in inputs)
    drawn: pd.DataFrame = smiles.assign(_x=x_values(strike, forward, years, vol, x_axis))
    return drawn


def _expiry_styles(
    smiles: pd.DataFrame, expiry: str, date_column: str | None, notes: list[str]
) -> tuple[pd.DataFrame, dict[Hashable, str], dict[Hashable, str]]:
    """The smiles of the expiries drawn (:func:`chosen_expiries`, nearest
    first), each expiry's colour and legend label; a note on the choice is
    added to ``notes``. Labels give days to expiry when there is one quote date."""
    years = smiles.groupby(expiry)["years"].median().sort_values()
    drawn = chosen_expiries(years)
    if len(drawn) < len(years):
        notes.append(f"{len(drawn)} of {len(years)} expiries, spread over the term")
    smiles = smiles[smiles[expiry].isin(drawn)]
    one_date = date_column is None or smiles[date_column].nunique() == 1
    years_of = years.to_dict()
    labels = {e: expiry_label(e, float(years_of[e]) if one_date else None) for e in drawn}
    return smiles, dict(zip(drawn, PALETTE, strict=False)), labels


def _draw_panel(
    ax: "Axes", panel: pd.DataFrame, columns: dict[str, str | None], colours: dict[Hashable, str], x_axis: str
) -> None:
    """Each expiry's band, mids and point at the forward (gids ``band``, ``mid``, ``forward``)."""
    strike = str(columns["strike"])
    for expiry, smile in panel.groupby(str(columns["expiry"]), sort=False):
        smile = smile.sort_values(strike)
        colour = colours[expiry]
        x = smile["_x"].to_numpy()
        ax.fill_between(x, smile["iv_bid"], smile["iv_ask"], color=colour, alpha=BAND_ALPHA, lw=0, gid="band")
        ax.plot(x, smile["iv_mid"], color=colour, lw=1.2, marker=".", ms=3, gid="mid")
        point = at_forward(
            smile[strike].to_numpy(np.float64),
            smile["iv_mid"].to_numpy(np.float64),
            float(smile["forward"].iloc[0]),
            float(smile["years"].iloc[0]),
            x_axis,
        )
        if point is not None:
            ax.plot(*point, ls="none", marker="D", ms=5, mfc=colour, mec="black", mew=0.8, gid="forward")
    if x_axis == "delta":
        ax.invert_xaxis()  # low strikes on the left, as on the other axes
    low, high = _y_limits(panel)
    margin = max(0.05 * (high - low), (MIN_Y_SPAN - (high - low)) / 2)
    ax.set_ylim(max(low - margin, 0.0), high + margin)
    ax.grid(alpha=0.3)


def _legend_handles(expiries: list[tuple[str, str]]) -> "list[Artist]":
    """An entry per expiry (its colour and label), then the keys to the band and the diamond."""
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    handles: list[Artist] = [Line2D([], [], color=c, lw=1.2, marker=".", ms=3, label=text) for c, text in expiries]
    handles.append(Patch(color="0.5", alpha=BAND_ALPHA * 2, label="bid\N{EN DASH}ask vols"))
    handles.append(Line2D([], [], ls="none", marker="D", ms=5, mfc="white", mec="black", label="at the forward"))
    return handles


def _y_limits(panel: pd.DataFrame) -> tuple[float, float]:
    ordered = panel.sort_values(["years", "_x"])
    vols = ordered["iv_mid"]
    local = vols.groupby(ordered["years"]).transform(
        lambda smile: smile.rolling(NEIGHBOURS, center=True, min_periods=1).median()
    )
    on_smile = vols[(vols / local - 1).abs() <= OFF_SMILE]
    shown = on_smile if len(on_smile) else vols
    return float(shown.min()), float(shown.max())


def _date_order(value: object) -> tuple[int, object]:
    """A quote date's place among the others: as a date when it reads as one
    (a zoned one by its own wall clock), else after the dates, as text."""
    try:
        date = pd.Timestamp(value)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return 1, str(value)
    if pd.isna(date):
        return 1, str(value)
    return 0, date.tz_localize(None) if date.tzinfo is not None else date


def _panel_order(key: object, date_column: str | None) -> tuple[object, ...]:
    """Panels by underlying as the table sorts them, then by quote date as dates (the key's last part)."""
    parts = key if isinstance(key, tuple) else (key,)
    return parts if date_column is None else (*parts[:-1], _date_order(parts[-1]))


def _label(value: object) -> str:
    return f"{value:%Y-%m-%d}" if isinstance(value, pd.Timestamp | np.datetime64) else str(value)


def _title(date_column: str | None, valuation_date: object, notes: list[str]) -> str:
    """Short lines, so that a single panel's width holds them."""
    title = "Implied volatility smiles"
    if date_column is None and valuation_date is not None:
        title += f", {pd.Timestamp(valuation_date):%Y-%m-%d}"  # type: ignore[arg-type]
    title += "\nmids of the out-of-the-money ok quotes"
    return "\n".join([title, *notes])
