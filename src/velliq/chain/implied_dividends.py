"""Cash dividends implied by the term structure of a quote table's forwards."""

from collections.abc import Callable, Hashable
from typing import Any, Final, Unpack, cast

import numpy as np
import pandas as pd

from .._threads import workers as _workers
from ._arrays import Floats
from .dividend_fit import fit_group
from .inputs import _YEAR_SECONDS, QuoteInputs, QuoteLayout, quote_layout
from .table import _earliest_bad_cell, _years_sides_groups, forwards  # the same reading as forwards

__all__ = ["IMPLIED_DIVIDEND_COLUMNS", "implied_dividends"]

# The columns implied_dividends adds to each ex-date.
IMPLIED_DIVIDEND_COLUMNS: Final = ("amount", "determined", "amount_spread", "borrow")

# Amounts that move less than this between passes (per share) have settled.
_SETTLED: Final = 1e-3

# The passes Anderson's mixing looks back on.
_MIXED: Final = 2


def implied_dividends(
    quotes: pd.DataFrame,
    ex_dates: pd.DataFrame,
    *,
    model: str = "american",
    forward_pairs: int | None = None,
    workers: int | None = None,
    roll_weekend_expiries: bool = False,
    passes: int = 8,
    **inputs: Unpack[QuoteInputs],
) -> pd.DataFrame:
    """Each cash dividend's amount, implied by the forwards of a quote table.

    The forwards are those :func:`forwards` estimates from the quotes. With
    the cash-dividend model's forward (:mod:`velliq.dividends`)

        F_j = e^(b_j T_j) (S - sum_{ex-dates t_i <= T_j} d_i e^(-b_j t_i)),

    the assumption about the carry is one flat continuous yield ``q`` per
    (underlying, valuation date) on top of each expiry's own rate
    (``b_j = r_j - q``, ``r_j = -ln D_j / T_j``): a borrow fee or any carry
    the dividends do not explain, the same for every expiry. ``q`` and the
    amounts are fitted together by least squares on the forwards' relative
    errors (the amounts exactly at each ``q``); where the table gives no spot
    (``spot="implied"``), the spot is fitted too.

    Where the forwards cannot tell an amount from others, it is not
    determined (``determined`` False): an ex-date after the last expiry with
    a forward, two or more ex-dates between the same two expiries, with the
    spot fitted an ex-date before the first expiry, and every ex-date of a
    group with fewer forwards than unknowns or whose forwards do not separate
    them. Such an amount is the projected one (the ``amount`` column of
    ``ex_dates``) where given, else NaN. A determined amount may come out
    negative where the quotes contradict the assumption.

    The early-exercise premium in the quotes depends on the dividends, so
    the forwards are estimated again with the amounts found (:func:`forwards`
    with ``dividends=``), up to ``passes`` times in all, until no determined
    amount moves by more than 1e-3 per share (a tenth of a cent). The plain
    passes close about two thirds of the error each; the amounts each pass
    prices with are mixed from the last passes' (Anderson's acceleration),
    which settles in 5-6 passes on the suite's synthetic chain, each amount
    within 2e-4 per share of the truth (tests/test_implied_dividends.py).

    Parameters
    ----------
    quotes, model, forward_pairs, workers, roll_weekend_expiries, **inputs
        As for :func:`forwards`; with another model than "american" (the
        default), which alone prices cash dividends, one pass only.
    ex_dates
        One row per ex-date: ``ex_date`` (dates, or years from the
        valuation date where the quotes' expiries are years),
        ``underlying`` (needed where the quotes have several) and,
        optionally, ``amount``: a projected amount per share, held fixed
        where the forwards cannot determine it.
    passes
        The most estimates of the forwards (1: those without dividends).

    Returns
    -------
    pandas.DataFrame
        The rows of ``ex_dates`` after each valuation date (one copy per
        valuation date where a column gives them, with that column), with
        ``amount`` (per share), ``determined``, ``amount_spread`` (how far a
        determined amount moves as the forwards move across their consistent
        ranges, :func:`forwards`' ``forward_lo`` to ``forward_hi``: the root
        sum of squares of each half-range's effect, linearised; NaN where a
        forward was given rather than estimated) and ``borrow`` (the fitted
        yield ``q`` of its group, per year). The columns ``underlying``,
        ``ex_date``, ``amount`` are what ``dividends=`` of
        :func:`implied_vols` takes; drop the rows whose amount is NaN (or
        negative) first, and keep one valuation date's rows: it refuses an
        ex-date given twice for one underlying.
    """
    if passes < 1:
        raise ValueError(f"passes must be at least 1, not {passes}")
    table = _ex_date_table(ex_dates)
    layout = quote_layout(quotes, roll_weekend_expiries=roll_weekend_expiries, **inputs)
    with _workers(workers), _earliest_bad_cell(layout, quotes):
        years, is_call, keys = _years_sides_groups(layout, quotes)
        spot = layout.read(quotes, years, is_call).S
    by = [column for column in keys.columns if column != "expiry_key"]
    medians = keys[by].assign(spot=spot).groupby(by, sort=True)["spot"].median() if by else None
    group_spot: dict[tuple[Hashable, ...], float] = (
        {(): float(np.nanmedian(spot))} if medians is None else _by_key(medians)
    )
    # forwards(), with dividends= once the quote table takes them (then untyped here)
    estimate: Callable[..., pd.DataFrame] = forwards
    options: dict[str, Any] = {"model": model, "forward_pairs": forward_pairs, "workers": workers}
    options |= {"roll_weekend_expiries": roll_weekend_expiries, **inputs}
    priced = table.assign(_priced=table["amount"])  # the projections, where given, price the first pass
    tried: list[Floats] = []  # the amounts each pass priced with, and what it found
    found_then: list[Floats] = []
    with_dividends = model == "american"  # the one model that prices them
    for done in range(passes if with_dividends else 1):
        schedule = _schedule(priced)
        given = {"dividends": schedule} if with_dividends and len(schedule) else {}
        found = _fit_table(estimate(quotes, **options, **given), group_spot, table, layout)
        if done > 0:
            tried.append(priced["_priced"].to_numpy(np.float64))
            found_then.append(found["_priced"].to_numpy(np.float64))
            moved = np.abs(found_then[-1] - tried[-1])[found["determined"].to_numpy(bool)]
            if not np.any(moved > _SETTLED):  # what the forwards cannot tell apart may wander
                return found.drop(columns="_priced")
        priced = found.assign(_priced=_next_amounts(tried, found_then)) if tried else found
    return found.drop(columns="_priced")


def _next_amounts(tried: list[Floats], found: list[Floats]) -> Floats:
    """The amounts to price the next pass with: Anderson's mixing (type II, the last
    ``_MIXED`` passes) of the fixed-point map from the amounts priced to the amounts found,
    which the plain map approaches only by about a third of its error per pass."""
    g = found[-1]
    usable = np.isfinite(g) & np.isfinite(tried[-1])
    depth = min(len(tried), _MIXED + 1)
    f = [found[k][usable] - tried[k][usable] for k in range(len(tried) - depth, len(tried))]
    gs = [found[k][usable] for k in range(len(tried) - depth, len(tried))]
    if depth < 2 or not all(np.all(np.isfinite(x)) for x in f):
        return g
    d_f = np.column_stack([f[k + 1] - f[k] for k in range(depth - 1)])
    d_g = np.column_stack([gs[k + 1] - gs[k] for k in range(depth - 1)])
    gamma = np.linalg.lstsq(d_f, f[-1], rcond=None)[0]
    mixed = g.copy()
    mixed[usable] = gs[-1] - d_g @ gamma
    return mixed


def _ex_date_table(ex_dates: pd.DataFrame) -> pd.DataFrame:
    """The ex-date table checked: ``ex_date`` as dates or years, ``amount`` NaN where not given."""
    if "ex_date" not in ex_dates.columns:
        raise ValueError(f"ex_dates needs a column 'ex_date' (it has {list(ex_dates.columns)})")
    table = ex_dates.reset_index(drop=True)
    if not pd.api.types.is_numeric_dtype(table["ex_date"]):
        try:
            table["ex_date"] = pd.to_datetime(table["ex_date"])
        except (ValueError, TypeError) as error:
            raise ValueError(f"column 'ex_date' of ex_dates holds a value that is no date: {error}") from None
    if table["ex_date"].isna().any():
        rows = list(table.index[table["ex_date"].isna()][:5])
        raise ValueError(f"column 'ex_date' of ex_dates is missing at rows {rows}")
    amount = pd.to_numeric(table["amount"], errors="coerce") if "amount" in table else pd.Series(np.nan, table.index)
    bad = (amount < 0) | np.isinf(amount)
    if bad.any():
        raise ValueError(f"column 'amount' of ex_dates is negative or infinite at rows {list(table.index[bad][:5])}")
    return table.assign(amount=amount.astype(np.float64))


def _by_key(values: "pd.Series[float]") -> dict[tuple[Hashable, ...], float]:
    """A grouped series as a mapping from each group's key, a tuple however many levels."""
    return {key if isinstance(key, tuple) else (key,): float(value) for key, value in values.items()}


def _fit_table(
    forward_table: pd.DataFrame,
    group_spot: dict[tuple[Hashable, ...], float],
    table: pd.DataFrame,
    layout: QuoteLayout,
) -> pd.DataFrame:
    """Each group's ex-dates with the amounts its forwards imply, in the order of ``table``."""
    levels = list(forward_table.index.names[:-1])  # underlying and valuation date, those the table has
    has_underlying = layout.names.underlying in levels
    date_level = layout.names.valuation_date
    dated = date_level is not None and date_level in levels
    pieces = []
    groups = forward_table.groupby(level=levels, sort=True) if levels else [((), forward_table)]
    for group, expiries in groups:
        key = group if isinstance(group, tuple) else (group,)
        named = dict(zip(levels, key))
        valuation = pd.Timestamp(cast(pd.Timestamp, named[date_level])) if dated else layout.valuation_date
        rows = _rows_of(table, named[layout.names.underlying] if has_underlying else None)
        ex_years = _ex_years(rows["ex_date"], valuation)
        rows, ex_years = rows[ex_years > 0], ex_years[ex_years > 0]
        fit = fit_group(
            group_spot[key],
            expiries["years"].to_numpy(np.float64),
            expiries["discount"].to_numpy(np.float64),
            expiries["forward"].to_numpy(np.float64),
            ex_years,
            rows["amount"].to_numpy(np.float64),
            0.5 * (expiries["forward_hi"] - expiries["forward_lo"]).to_numpy(np.float64),
        )
        amount = np.where(fit.determined, fit.amounts, rows["amount"].to_numpy(np.float64))
        date_column = {str(date_level): valuation} if dated else {}
        pieces.append(
            rows.assign(**date_column, amount=amount, determined=fit.determined).assign(
                amount_spread=fit.spread, borrow=fit.borrow, _priced=fit.priced
            )
        )
    columns = [*table.columns, *(c for c in IMPLIED_DIVIDEND_COLUMNS if c not in table.columns), "_priced"]
    if not pieces:
        return pd.DataFrame(columns=columns)
    result = pd.concat(pieces).rename_axis("_row")  # the rows of ex_dates in their order, per valuation date
    result = result.sort_values([*([str(date_level)] if dated else []), "_row"], kind="stable")
    ordered: pd.DataFrame = result.reset_index(drop=True)[[c for c in result.columns if c not in columns] + columns]
    return ordered


def _rows_of(table: pd.DataFrame, underlying: object) -> pd.DataFrame:
    """The ex-dates of one underlying (every row where the quotes name none)."""
    if underlying is None:
        return table
    if "underlying" not in table.columns:
        raise ValueError("ex_dates needs a column 'underlying': the quotes have several underlyings")
    return table[table["underlying"] == underlying]


def _ex_years(ex_date: "pd.Series[Any]", valuation: pd.Timestamp | None) -> Floats:
    """Each ex-date's years from the valuation date, as the table counts an expiry's (Actual/365 Fixed)."""
    if pd.api.types.is_numeric_dtype(ex_date):
        years: Floats = ex_date.to_numpy(np.float64)
        return years
    if valuation is None:
        raise ValueError("ex-dates as dates need the valuation date: give valuation_date, or ex_date as years")
    seconds: Floats = (ex_date - valuation).dt.total_seconds().to_numpy(np.float64)
    return seconds / _YEAR_SECONDS


def _schedule(result: pd.DataFrame) -> pd.DataFrame:
    """The amounts a fit priced with, as a dividend table: one per (underlying, ex_date), the latest date's."""
    known = result[np.isfinite(result["_priced"])]
    keys = [c for c in ("underlying", "ex_date") if c in known.columns]
    schedule = known.drop_duplicates(keys, keep="last")[[*keys, "_priced"]]
    amount = schedule["_priced"].clip(lower=0.0)  # a negative fit prices as no dividend
    dividends: pd.DataFrame = schedule[keys].assign(amount=amount).reset_index(drop=True)
    return dividends
