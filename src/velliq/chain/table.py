"""Implied volatilities and forwards of a long quote table, one row per quote."""

from typing import Unpack

import numpy as np
import pandas as pd

from .._models import PricingModel, pricing_model
from .._threads import workers as _workers
from ._arrays import Floats
from .chunks import Rows, group_chunks, row_chunks
from .forward_search import estimated_forwards, forward_columns
from .inputs import ChainInputs, QuoteInputs, group_keys, quote_layout
from .statuses import NO_VOLATILITY, STATUSES, reason_kernels, row_statuses

__all__ = ["forwards", "implied_vols"]


def forwards(
    quotes: pd.DataFrame,
    *,
    model: str = "baw",
    forward_strikes: int | None = None,
    workers: int | None = None,
    **inputs: Unpack[QuoteInputs],
) -> pd.DataFrame:
    """The forward of each (underlying, expiry) of a long quote table.

    Parameters
    ----------
    quotes, model, forward_strikes, workers, **inputs
        As for :func:`implied_vols`.

    Returns
    -------
    pandas.DataFrame
        One row per (underlying, expiry): ``years``, ``discount``,
        ``forward`` (estimated from the quotes unless a forward or dividend
        yield is given), ``forward_lo`` and ``forward_hi`` (the consistent
        range: the forwards at which the call and put bid-ask volatility
        bands of every supporting strike overlap), ``forward_strikes`` (the
        supporting strikes: those whose bands overlap at the forward) and
        ``forward_unsettled`` (the pairs solved whose forward did not
        settle); NaN and 0 for a given forward.
    """
    layout = quote_layout(quotes, **inputs)
    dates = layout.dates(quotes)
    years = layout.years(quotes, dates)
    table = layout.read(quotes, years, layout.is_call(quotes))
    keys = group_keys(quotes, layout.names, years, dates)
    with _workers(workers):
        columns = forward_columns(keys, table, forward_strikes, model)
    frame = keys.assign(years=table.years, discount=table.D, **columns)
    names = {
        "underlying_key": layout.names.underlying,
        "valuation_key": layout.names.valuation_date,
        "expiry_key": "expiry",
    }
    first = frame.groupby(list(keys.columns), sort=True).first()
    first.index = first.index.set_names([names[k] for k in keys.columns])
    return first


def implied_vols(
    quotes: pd.DataFrame,
    *,
    model: str = "baw",
    forward_strikes: int | None = None,
    workers: int | None = None,
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
    forward_strikes : int, optional
        Without a forward or a dividend yield, each (underlying, expiry) gets
        its forward from its own quotes: the median of the strikes'
        forwards weighted by the precision their bid-ask spreads give, over
        the informative strikes (summed call and put spread within 4 times
        the expiry's tightest), at most 6 of them (or n), the nearest the
        money first (velliq.chain.forward_search).
    workers : int, optional
        Native threads to compute on (all cores for None, as
        :func:`velliq.workers`).

    Returns
    -------
    pandas.DataFrame
        A new table: the input columns, then ``years``, ``discount``,
        ``forward``, ``iv_bid``, ``iv_mid``, ``iv_ask`` (annual
        volatilities), ``vega`` (of the mid, per unit of annual volatility)
        and ``status``, a categorical saying why a volatility is missing
        (``STATUSES``). No row is dropped. The mid is ``price`` when given,
        else the mean of bid and ask.
    """
    pricing = pricing_model(model)
    layout = quote_layout(quotes, **inputs)
    n = len(quotes)
    dates = layout.dates(quotes)
    years = layout.years(quotes, dates)
    if not years.flags.owndata:  # a view of the input's column: the result gets its own
        years = years.copy()
    is_call = layout.is_call(quotes)
    chunks: list[Rows] = (
        group_chunks(group_keys(quotes, layout.names, years, dates))
        if layout.estimates_forward
        else list(row_chunks(n))
    )
    added = {name: np.empty(n) for name in ("discount", "forward", "iv_bid", "iv_mid", "iv_ask", "vega")}
    status_codes = np.empty(n, dtype=np.int8)
    categories = pd.Index(list(STATUSES))
    with _workers(workers):
        for rows in chunks:
            part = quotes.iloc[rows]
            table = layout.read(part, years[rows], is_call[rows])
            F = table.F
            if F is None:
                keys = group_keys(part, layout.names, table.years, None if dates is None else dates[rows])
                F = estimated_forwards(keys, table, forward_strikes, model)
            computed, status = _implied_vols(pricing, model, table, F)
            for name, values in computed.items():
                added[name][rows] = values
            status_codes[rows] = status.codes
    columns: dict[str, Floats | pd.Categorical[str]] = {"years": years, **added}
    columns["status"] = pd.Categorical.from_codes(status_codes, categories=categories)
    # Concatenated rather than assigned, which would copy every new column.
    kept = quotes.drop(columns=[c for c in columns if c in quotes.columns])  # replaced, as by assign
    return pd.concat([kept, pd.DataFrame(columns, index=quotes.index, copy=False)], axis=1)


def _implied_vols(
    pricing: PricingModel, model: str, table: ChainInputs, F: Floats
) -> "tuple[dict[str, Floats], pd.Categorical[str]]":
    """One chunk's discount, forward, volatilities and vega, and its statuses."""
    S, D, strike, is_call, years = table.S, table.D, table.strike, table.is_call, table.years
    quoted = {"bid": table.bid, "mid": table.mid, "ask": table.ask}
    mid_vol, mid_reason = reason_kernels(model).implied_vol_reason(table.mid, S, strike, D, F, is_call)
    sigma: dict[str, Floats] = {
        k: mid_vol if k == "mid" else pricing.implied_vol(quoted[k], S, strike, D, F, is_call) for k in quoted
    }
    vega, scratch = np.empty(len(years)), np.empty(len(years))  # only vega is kept
    pricing.greeks(S, strike, D, F, sigma["mid"], is_call, out=(scratch, scratch, vega, scratch, scratch))
    del scratch
    status = row_statuses(years, strike, S, D, F, table.bid, table.ask, table.mid, mid_reason)
    with np.errstate(invalid="ignore"):
        root_t = np.sqrt(np.where(years > 0, years, np.nan))
    bad = status.codes <= NO_VOLATILITY
    for k in sigma:  # annualised in place
        np.divide(sigma[k], root_t, out=sigma[k])
        sigma[k][bad] = np.nan
    np.multiply(vega, root_t, out=vega)
    vega[bad] = np.nan
    return {"discount": D, "forward": F, **{f"iv_{k}": sigma[k] for k in sigma}, "vega": vega}, status
