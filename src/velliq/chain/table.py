"""Implied volatilities and forwards of a long quote table, one row per quote."""

import contextlib
import functools
import operator
import warnings
from collections.abc import Callable, Iterator
from dataclasses import replace
from typing import Unpack

import numpy as np
import pandas as pd

from .._models import pricing_model
from .._threads import workers as _workers
from ._arrays import Bools, Floats
from .cells import CellError
from .chunk_threads import chunk_threads
from .chunk_vols import ChunkVols, chunk_vols
from .chunks import Rows, group_chunks
from .dividend_inputs import DividendInput, DividendLayout
from .dividend_terms import DIVIDEND_COLUMNS_ADDED, dividend_columns, with_dividends
from .forward_search import forward_columns
from .greeks import GREEK_COLUMNS
from .inputs import QuoteInputs, QuoteLayout, group_keys, quote_layout
from .record import kept_input_names, record, result_layout_of
from .results import key_values
from .row_checks import check_rows
from .spot_search import row_spots
from .statuses import STATUSES

__all__ = ["forwards", "implied_vols", "result_columns"]


def forwards(
    quotes: pd.DataFrame,
    *,
    model: str = "baw",
    forward_pairs: int | None = None,
    workers: int | None = None,
    forward_strikes: int | None = None,
    roll_weekend_expiries: bool = False,
    dividends: DividendInput | None = None,
    **inputs: Unpack[QuoteInputs],
) -> pd.DataFrame:
    """The forward of each (underlying, valuation date, expiry) of a long quote table.

    Parameters
    ----------
    quotes, model, forward_pairs, workers, roll_weekend_expiries, dividends, **inputs
        As for :func:`implied_vols` (``forward_strikes`` too).

    Returns
    -------
    pandas.DataFrame
        One row per (underlying, valuation date, expiry), those of them the
        table has, indexed by the table's own column names and values:
        underlyings as stored, expiries as given (year fractions, or dates:
        text read as dates, so they sort in time and join the
        :func:`summary` and a quote table whose dates are dates),
        quote dates as dates. Its columns: ``years``, ``discount``,
        ``forward`` (estimated from the quotes unless a forward or dividend
        yield is given), ``forward_lo`` and ``forward_hi`` (the consistent
        range: the forwards at which the call and put bid-ask volatility
        bands of every supporting strike overlap), ``forward_strikes`` (the
        supporting strikes: those whose bands overlap at the forward; quotes
        with any status but ``ok`` and the kernel's own never support it) and
        ``forward_unsettled`` (the pairs solved whose forward did not
        settle); NaN and 0 for a given forward. With ``dividends``, also
        ``dividend_pv`` and ``residual_yield``, as :func:`implied_vols` adds them.
    """
    pricing = pricing_model(model)
    max_pairs = _pair_cap(forward_pairs, forward_strikes)
    layout = quote_layout(quotes, roll_weekend_expiries=roll_weekend_expiries, **inputs)
    layout, pricing = with_dividends(layout, pricing, dividends, quotes)
    with _workers(workers), _earliest_bad_cell(layout, quotes):
        years, is_call, keys = _years_sides_groups(layout, quotes)
        table = layout.read(quotes, years, is_call)
        spot = row_spots(layout, quotes, years, is_call, keys, pricing, max_pairs)  # None: read with the rest
        table = table if spot is None else replace(table, S=spot)
    checks = check_rows(keys, table, quotes.index)
    with _workers(workers):
        columns = forward_columns(checks.group, checks.n_groups, table, max_pairs, pricing, checks.usable)
    if table.dividends is not None:
        columns |= dividend_columns(table.S, table.D, columns["forward"], table.years, table.dividends)
    expiry = layout.names.expiry
    frame = keys.assign(years=table.years, discount=table.D, **columns, expiry_key=key_values(quotes[expiry]))
    names = {
        "underlying_key": layout.names.underlying,
        "valuation_key": layout.names.valuation_date,
        "expiry_key": expiry,
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


def result_columns(greeks: bool = False, spot: bool = False, dividends: bool = False) -> tuple[str, ...]:
    """The columns :func:`implied_vols` adds, in order (with ``greeks``, the Greeks too; with
    ``spot``, the spot first, as when it is made from the quotes; with ``dividends``, what
    they add after the forward)."""
    return (
        *(("spot",) if spot else ()),
        "years",
        "discount",
        "forward",
        *(DIVIDEND_COLUMNS_ADDED if dividends else ()),
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
    roll_weekend_expiries: bool = False,
    dividends: DividendInput | None = None,
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
        numbers, or as a pandas Series matched to the quotes by index label
        (any other value raises ``TypeError`` naming the argument). ``spot``
        may also be the pair of the underlying's bid and ask
        columns (``spot=("underlying_bid", "underlying_ask")``: their mid; no
        spot where either is missing or not positive), or ``"implied"``: per
        (underlying, valuation date), the spot its quotes imply
        (:func:`spots`; not with a given forward or dividend yield). Either
        adds a column ``spot`` before ``years``.
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
    roll_weekend_expiries : bool, optional
        Expiry dates on a Saturday or Sunday (vendors date monthly options
        by the Saturday after their last trading day) are taken as given,
        with one :class:`WeekendExpiryWarning` per table naming the column
        and counting them; True moves them to the preceding Friday, and the
        years follow from the Friday (the expiry column keeps its values).
        Only the weekday is looked at: no holiday calendar.
    dividends : pandas.DataFrame, str or os.PathLike, optional
        Cash dividends (``model="american"`` only; with another model, or
        beside a ``dividend_yield``, a ``ValueError``): a table, or a CSV or
        Parquet file of one, with columns ``underlying`` (matched to the
        quotes' underlyings; a table of one underlying may leave it out),
        ``ex_date`` (dates) and ``amount`` (cash per share). Each row is
        priced with its underlying's dividends going ex after its valuation
        date and on or before its expiry (velliq.chain.dividend_inputs);
        underlyings the table does not name get none. The forward is still
        estimated from the quotes, through the dividend model
        (:mod:`velliq.dividends`), at the model's setting. Adds after
        ``forward``: ``dividend_pv`` (the dividends' present value, each
        amount discounted at the flat rate to its ex-date) and
        ``residual_yield`` (the continuous yield the forward leaves on top of
        the dividends: a borrow cost, or what the schedule misses). With
        ``greeks``, rho and dividend rho hold the schedule fixed, and
        ``theta_1d`` is NaN. A malformed table (a column missing, an ex-date
        that is no date, an amount negative or not finite) raises
        ``ValueError`` naming the column and rows.

    Returns
    -------
    pandas.DataFrame
        A new table: the input columns in their order, then ``years``, ``discount``,
        ``forward``, ``iv_bid``, ``iv_mid``, ``iv_ask`` (annual
        volatilities), ``vega`` (of the mid, per unit of annual volatility)
        and ``status``, a categorical saying why a volatility is missing or
        in doubt (``STATUSES``), the first that applies of:

        - ``missing_input``: an input or the side missing (a spot that could
          not be implied too), or a spot, strike, discount or given forward
          not positive and finite; no volatilities
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
        - ``below_intrinsic``: the ask below its exercise value (or the mid,
          with no ask); no volatilities
        - ``mid_below_intrinsic``: the mid below its exercise value, the ask
          at or above it (a market straddling it, the bid under it): the ask's
          volatility only
        - ``no_time_value``: the mid at its exercise value; volatility 0
        - ``no_solution``: no volatility reproduces the mid
        - ``ok``: a volatility from a two-sided quote that nothing contradicts

        An input column named as one of these (a vendor's own ``vega`` or,
        with ``greeks``, ``delta``) keeps its place and values under its name
        with ``_input`` (``vega_input``). The table records how it was read
        (the columns of each input, the valuation date, the model and
        setting, the columns renamed) in its ``attrs``, which slices, copies
        and Parquet files keep: :func:`summary` and :func:`plot_smiles` read
        it (:func:`result_layout`).

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
        (``UserWarning``, naming the argument and the value) of a likely
        percentage. A Series input whose index repeats labels, lacks a row's
        label or holds a cell that is no number, naming the argument.
    TypeError
        An input that is neither a column name, a number nor a Series, or a
        ``roll_weekend_expiries`` that is not a bool, naming the argument.
    """
    pricing = pricing_model(model)
    max_pairs = _pair_cap(forward_pairs, forward_strikes)
    layout = quote_layout(quotes, roll_weekend_expiries=roll_weekend_expiries, **inputs)
    layout, pricing = with_dividends(layout, pricing, dividends, quotes)
    with _earliest_bad_cell(layout, quotes):
        years, is_call, keys = _years_sides_groups(layout, quotes)
    n = len(quotes)
    if not years.flags.owndata:  # a view of the input's column: the result gets its own
        years = years.copy()
    chunks: list[Rows] = group_chunks(keys)  # the checks of a row need its whole group
    names = result_columns(greeks, dividends=isinstance(layout, DividendLayout))[1:-1]
    added = {name: np.empty(n) for name in names}
    status_codes = np.empty(n, dtype=np.int8)
    categories = pd.Index(list(STATUSES))
    premium_dropped = 0

    def store(done: ChunkVols) -> None:
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
        spot = row_spots(layout, quotes, years, is_call, keys, pricing, max_pairs)  # None: read with the rest
        for rows in chunks:
            part = quotes.iloc[rows]
            table = layout.read(part, years[rows], is_call[rows])  # here: its warnings are the caller's
            table = table if spot is None else replace(table, S=spot[rows])
            part_keys = keys.iloc[rows].reset_index(drop=True)
            work = functools.partial(chunk_vols, rows, pricing, table, part_keys, part.index, max_pairs, greeks)
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
    columns: dict[str, Floats | pd.Categorical[str]] = {**({} if spot is None else {"spot": spot}), "years": years}
    columns |= added
    columns["status"] = pd.Categorical.from_codes(status_codes, categories=categories)
    # Concatenated rather than assigned, which would copy every new column.
    result = pd.concat([quotes, pd.DataFrame(columns, index=quotes.index, copy=False)], axis=1)
    renamed = kept_input_names(quotes.columns, columns)  # input columns keep their place under a new name
    if renamed:
        result.columns = [*(renamed.get(c, c) for c in quotes.columns), *columns]
    result.attrs = record(quotes.attrs, result_layout_of(layout, pricing, greeks, renamed), result.columns)
    return result
