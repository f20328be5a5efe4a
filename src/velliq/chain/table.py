"""Implied volatilities and forwards of a long quote table, one row per quote."""

import contextlib
import functools
import operator
import warnings
from collections.abc import Callable, Iterator
from typing import Any, Final, NamedTuple, Unpack

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._models import PricingModel, pricing_model
from .._threads import workers as _workers
from ._arrays import Bools, Floats
from .cells import CellError
from .chunk_threads import chunk_threads
from .chunks import Rows, group_chunks
from .forward_search import estimated_forwards, forward_columns
from .greeks import GREEK_COLUMNS, desk_greeks
from .inputs import ChainInputs, QuoteInputs, QuoteLayout, group_keys, quote_layout
from .row_checks import RowChecks, check_rows
from .statuses import NO_MID_VOLATILITY, NO_VOLATILITY, STATUSES, row_statuses

__all__ = ["forwards", "implied_vols", "result_columns"]


def forwards(
    quotes: pd.DataFrame,
    *,
    model: str = "baw",
    forward_pairs: int | None = None,
    workers: int | None = None,
    forward_strikes: int | None = None,
    **inputs: Unpack[QuoteInputs],
) -> pd.DataFrame:
    """The forward of each (underlying, expiry) of a long quote table.

    Parameters
    ----------
    quotes, model, forward_pairs, workers, **inputs
        As for :func:`implied_vols` (``forward_strikes`` too).

    Returns
    -------
    pandas.DataFrame
        One row per (underlying, expiry): ``years``, ``discount``,
        ``forward`` (estimated from the quotes unless a forward or dividend
        yield is given), ``forward_lo`` and ``forward_hi`` (the consistent
        range: the forwards at which the call and put bid-ask volatility
        bands of every supporting strike overlap), ``forward_strikes`` (the
        supporting strikes: those whose bands overlap at the forward; quotes
        with any status but ``ok`` and the kernel's own never support it) and
        ``forward_unsettled`` (the pairs solved whose forward did not
        settle); NaN and 0 for a given forward.
    """
    pricing = pricing_model(model)
    max_pairs = _pair_cap(forward_pairs, forward_strikes)
    layout = quote_layout(quotes, **inputs)
    with _earliest_bad_cell(layout, quotes):
        years, is_call, keys = _years_sides_groups(layout, quotes)
        table = layout.read(quotes, years, is_call)
    checks = check_rows(keys, table, quotes.index)
    with _workers(workers):
        columns = forward_columns(checks.group, checks.n_groups, table, max_pairs, pricing, checks.usable)
    frame = keys.assign(years=table.years, discount=table.D, **columns)
    names = {
        "underlying_key": layout.names.underlying,
        "valuation_key": layout.names.valuation_date,
        "expiry_key": "expiry",
    }
    first = frame.groupby(list(keys.columns), sort=True).first()
    first.index = first.index.set_names([names[k] for k in keys.columns])
    return first


def _pair_cap(forward_pairs: int | None, forward_strikes: int | None) -> int | None:
    """The cap on the pairs solved per expiry, from ``forward_pairs`` or its former name."""
    if forward_strikes is None:
        return _whole_positive("forward_pairs", forward_pairs)
    warnings.warn(
        "forward_strikes= is now forward_pairs= (forward_strikes names the count of supporting strikes)",
        DeprecationWarning,
        stacklevel=3,
    )
    if forward_pairs is not None:
        raise TypeError("give forward_pairs=, not both it and forward_strikes=")
    return _whole_positive("forward_strikes", forward_strikes)


def _whole_positive(name: str, value: object) -> int | None:
    """``value`` as an int of at least 1 (None stays None); a ``ValueError`` naming ``name`` otherwise."""
    if value is None:
        return None
    try:
        whole = None if isinstance(value, (bool, np.bool_)) else operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        whole = None
    if whole is None or whole < 1:
        raise ValueError(f"{name} must be a whole number of at least 1, not {value!r}")
    return whole


@contextlib.contextmanager
def _earliest_bad_cell(layout: QuoteLayout, quotes: pd.DataFrame) -> Iterator[None]:
    """Raises the table's earliest cell that cannot be read in place of the first one met."""
    try:
        yield
    except CellError as error:
        raise layout.first_bad_cell(quotes, error) from None


def _years_sides_groups(layout: QuoteLayout, quotes: pd.DataFrame) -> tuple[Floats, Bools, pd.DataFrame]:
    """Per row, its years, side and group keys."""
    dates = layout.dates(quotes)
    years = layout.years(quotes, dates)
    return years, layout.is_call(quotes), group_keys(quotes, layout.names, years, dates)


def result_columns(greeks: bool = False) -> tuple[str, ...]:
    """The columns :func:`implied_vols` adds, in order (with ``greeks``, the Greeks too)."""
    return (
        "years",
        "discount",
        "forward",
        "iv_bid",
        "iv_mid",
        "iv_ask",
        "vega",
        *(GREEK_COLUMNS if greeks else ()),
        "status",
    )


def implied_vols(
    quotes: pd.DataFrame,
    *,
    model: str = "baw",
    forward_pairs: int | None = None,
    workers: int | None = None,
    greeks: bool = False,
    progress: Callable[[int], object] | None = None,
    forward_strikes: int | None = None,
    **inputs: Unpack[QuoteInputs],
) -> pd.DataFrame:
    """Implied volatilities of a long quote table, one row per quote.

    Parameters
    ----------
    quotes : pandas.DataFrame
        One row per quote. Columns, renamed by keyword (``strike="K"``):
        ``expiry`` (dates, with the keyword ``valuation_date``, or year
        fractions), ``strike``, ``side`` (anything :func:`velliq.sides`
        accepts), ``bid`` and ``ask`` and/or ``price``, an optional
        ``underlying``; then either ``discount`` and ``forward``, or ``spot``
        with ``rate`` and optionally ``dividend_yield``. ``spot``, ``rate``,
        ``dividend_yield``, ``discount`` and ``forward`` may also be given as
        numbers.
    model : {"baw", "american"}
        The prices: Barone-Adesi-Whaley (:mod:`velliq.baw`) or the accurate
        price (:mod:`velliq.american`).
    forward_pairs : int, optional
        Without a forward or a dividend yield, each (underlying, expiry) gets
        its forward from its own quotes: the median of the strikes'
        forwards weighted by the precision their bid-ask spreads give, over
        the informative strikes (summed call and put spread within 4 times
        the expiry's tightest), at most 6 of them (or n), the nearest the
        money first (velliq.chain.forward_search). ``forward_strikes`` is its
        former name (a ``DeprecationWarning``). Anything but a whole number of
        at least 1 raises ``ValueError`` naming the argument.
    workers : int, optional
        Native threads to compute on (all cores for None, as
        :func:`velliq.workers`).
    greeks : bool, optional
        Add the model's Greeks at the mid volatility, in desk units, after
        ``vega`` (NaN for rows without a mid volatility): ``delta``,
        ``gamma`` (per unit of spot), ``vega_1pct`` (per volatility point),
        ``theta_1d`` (over one calendar day, as time passes), ``rho_1pct``
        and ``dividend_rho_1pct`` (per +1 % in the rate and in the dividend
        yield, with spot fixed). The rate and the dividend yield are those
        the discount and forward imply, however they were given.
    progress : callable, optional
        Called with the number of rows just computed after each chunk of
        whole groups (``tqdm(...).update`` draws a progress bar).

    Returns
    -------
    pandas.DataFrame
        A new table: the input columns, then ``years``, ``discount``,
        ``forward``, ``iv_bid``, ``iv_mid``, ``iv_ask`` (annual
        volatilities), ``vega`` (of the mid, per unit of annual volatility)
        and ``status``, a categorical saying why a volatility is missing or
        in doubt (``STATUSES``), the first that applies of:

        - ``missing_input``: an input or the side missing, or a spot, strike,
          discount or given forward not positive and finite; no volatilities
        - ``expired``: no time left to expiry; no volatilities
        - ``crossed``: bid above ask; no volatilities
        - ``duplicate``: a repeat of another row's (underlying, valuation
          date, expiry, strike, side): identical repeats after the first, or
          every row of a repeat with different prices; volatilities kept
        - ``one_sided``: a zero or missing bid or ask: the volatility of each
          side quoted, no mid volatility or vega
        - ``arbitrage``: breaks a static no-arbitrage bound against its
          neighbours (monotone and convex in strike, a call at most the spot,
          a put at most its strike) and is among the fewest quotes whose
          removal restores them (velliq.chain.arbitrage); volatilities kept
        - ``no_forward``: no forward for the row's group; no volatilities
        - ``below_intrinsic``: the mid below its exercise value; no volatilities
        - ``no_time_value``: the mid at its exercise value; volatility 0
        - ``no_solution``: no volatility reproduces the mid
        - ``ok``: a volatility from a two-sided quote that nothing contradicts

        Only ``ok`` quotes inform the forward. No row is dropped. The mid is
        ``price`` when given, else the mean of bid and ask. Expiries given as
        timestamps keep their time of day: years are (expiry - valuation) in
        seconds over 365 days' seconds.

    Raises
    ------
    CellError
        A ``ValueError`` naming the earliest row's cell that is no number,
        date or side (its ``column``, ``row``, ``position`` and ``value``).
    ValueError
        Naming the column: expiries as integers that read as dates
        (20250620), a group of several spots (add an ``underlying`` column).
        A ``rate`` or ``dividend_yield`` above 1 in magnitude warns
        (``UserWarning``) of a likely percentage.
    """
    pricing = pricing_model(model)
    max_pairs = _pair_cap(forward_pairs, forward_strikes)
    layout = quote_layout(quotes, **inputs)
    with _earliest_bad_cell(layout, quotes):
        years, is_call, keys = _years_sides_groups(layout, quotes)
    n = len(quotes)
    if not years.flags.owndata:  # a view of the input's column: the result gets its own
        years = years.copy()
    chunks: list[Rows] = group_chunks(keys)  # the checks of a row need its whole group
    names = result_columns(greeks)[1:-1]
    added = {name: np.empty(n) for name in names}
    status_codes = np.empty(n, dtype=np.int8)
    categories = pd.Index(list(STATUSES))
    premium_dropped = 0

    def store(done: _ChunkVols) -> None:
        nonlocal premium_dropped
        for name, values in done.columns.items():
            added[name][done.rows] = values
        status_codes[done.rows] = done.status_codes
        premium_dropped += done.premium_dropped
        if progress is not None:
            progress(len(done.status_codes))

    with (
        _workers(workers) as n_workers,
        _earliest_bad_cell(layout, quotes),
        chunk_threads(n_workers, len(chunks)) as pool,
    ):
        for rows in chunks:
            part = quotes.iloc[rows]
            table = layout.read(part, years[rows], is_call[rows])  # here: its warnings are the caller's
            part_keys = keys.iloc[rows].reset_index(drop=True)
            work = functools.partial(_chunk_vols, rows, pricing, table, part_keys, part.index, max_pairs, greeks)
            for done in pool.submit(work):
                store(done)
        for done in pool.rest():
            store(done)
    if premium_dropped:
        warnings.warn(
            f"{premium_dropped} call row(s) at a rate <= 0 below the dividend yield (discount >= 1, "
            f"forward < spot): the {pricing.title} model gives them no early-exercise premium there, so their "
            'volatilities are too high; model="american" prices them',
            UserWarning,
            stacklevel=2,
        )
    columns: dict[str, Floats | pd.Categorical[str]] = {"years": years, **added}
    columns["status"] = pd.Categorical.from_codes(status_codes, categories=categories)
    # Concatenated rather than assigned, which would copy every new column.
    kept = quotes.drop(columns=[c for c in columns if c in quotes.columns])  # replaced, as by assign
    return pd.concat([kept, pd.DataFrame(columns, index=quotes.index, copy=False)], axis=1)


class _ChunkVols(NamedTuple):
    """One chunk's added columns, status codes and rows the model is known to be off for."""

    rows: Rows
    columns: dict[str, Floats]
    status_codes: npt.NDArray[np.int8]
    premium_dropped: int


def _chunk_vols(
    rows: Rows,
    pricing: PricingModel,
    table: ChainInputs,
    keys: pd.DataFrame,
    index: "pd.Index[Any]",
    max_pairs: int | None,
    greeks: bool,
) -> _ChunkVols:
    """The volatilities of one chunk of whole groups, read into ``table``, ``keys`` their group keys."""
    checks = check_rows(keys, table, index)
    F = table.F
    if F is None:
        F = estimated_forwards(checks.group, checks.n_groups, table, max_pairs, pricing, checks.usable)
    computed, status = _implied_vols(pricing, table, F, checks, greeks)
    return _ChunkVols(rows, computed, status.codes, _premium_dropped(pricing, table, F, computed))


def _premium_dropped(pricing: PricingModel, table: ChainInputs, F: Floats, computed: dict[str, Floats]) -> int:
    """The rows with a volatility where the model is known to be off: calls at a rate <= 0
    below the dividend yield (D >= 1, F < S), which its design prices as European although
    early exercise is worth something there (velliq.norvane keeps that design)."""
    if not pricing.no_call_premium_at_rates_below_zero:
        return 0
    with np.errstate(invalid="ignore"):
        off = table.is_call & (table.D >= 1) & (F < table.S)
    has_vol = ~np.isnan(computed["iv_bid"]) | ~np.isnan(computed["iv_mid"]) | ~np.isnan(computed["iv_ask"])
    return int(np.count_nonzero(off & has_vol))


# Per status code, whether the row keeps no volatility at all, and no mid volatility.
_BY_CODE_NO_VOLATILITY: Final = np.isin(STATUSES, list(NO_VOLATILITY))
_BY_CODE_NO_MID_VOLATILITY: Final = np.isin(STATUSES, list(NO_MID_VOLATILITY))


def _implied_vols(
    pricing: PricingModel, table: ChainInputs, F: Floats, checks: RowChecks, greeks: bool
) -> "tuple[dict[str, Floats], pd.Categorical[str]]":
    """One chunk's discount, forward, volatilities and vega (and Greeks), and its statuses."""
    S, D, strike, is_call, years = table.S, table.D, table.strike, table.is_call, table.years
    quoted = {"bid": table.bid, "mid": table.mid, "ask": table.ask}
    mid_sigma, mid_reason = pricing.implied_vol_reason(table.mid, S, strike, D, F, is_call)
    status = row_statuses(checks.flags, F, checks.duplicate, checks.arbitrage, mid_reason)
    with np.errstate(invalid="ignore"):
        root_t = np.sqrt(np.where(years > 0, years, np.nan))
        no_side = {"bid": ~(table.bid > 0), "ask": ~(table.ask > 0)}
    bad = _BY_CODE_NO_VOLATILITY[status.codes]
    no_mid = _BY_CODE_NO_MID_VOLATILITY[status.codes]
    one_sided = no_mid & ~bad
    dropped = {k: no_mid if k == "mid" else bad | (one_sided & no_side[k]) for k in quoted}  # no volatility
    sigma: dict[str, Floats] = {"mid": mid_sigma}
    for k in ("bid", "ask"):  # solved only where kept
        sigma[k], kept = np.full(len(years), np.nan), np.flatnonzero(~dropped[k])
        sigma[k][kept] = pricing.implied_vol(*(a[kept] for a in (quoted[k], S, strike, D, F, is_call)))
    if greeks:
        forward_greeks = pricing.greeks(S, strike, D, F, sigma["mid"], is_call)
        vega_per_sigma = forward_greeks[2]
    else:  # only vega is kept, where there is a mid volatility
        vega_per_sigma, kept = np.full(len(years), np.nan), np.flatnonzero(~no_mid)
        vega_per_sigma[kept] = pricing.greeks(*(a[kept] for a in (S, strike, D, F, sigma["mid"], is_call)))[2]
    desk = desk_greeks(forward_greeks, S, D, F, sigma["mid"], years, no_mid) if greeks else {}
    vol = {k: sigma[k] / root_t for k in quoted}  # annual volatilities
    for k in vol:
        vol[k][dropped[k]] = np.nan
    vega = vega_per_sigma * root_t  # per unit of annual volatility
    vega[no_mid] = np.nan
    return {"discount": D, "forward": F, **{f"iv_{k}": vol[k] for k in vol}, "vega": vega, **desk}, status
