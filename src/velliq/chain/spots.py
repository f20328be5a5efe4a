"""The spot each (underlying, valuation date) of a quote table implies."""

from typing import Final, Unpack

import pandas as pd

from .._models import pricing_model
from .._threads import workers as _workers
from .dividend_inputs import DividendInput
from .dividend_terms import with_dividends
from .inputs import QuoteInputs, quote_layout
from .spot_inputs import IMPLIED
from .spot_search import spot_estimates
from .table import _earliest_bad_cell, _pair_cap, _years_sides_groups  # the same reading as implied_vols

__all__ = ["SPOT_COLUMNS", "spots"]

# The columns of an implied spot and what supports it, per (underlying, valuation date).
SPOT_COLUMNS: Final = ("spot", "spot_lo", "spot_hi", "spot_expiries")


def spots(
    quotes: pd.DataFrame,
    *,
    model: str = "baw",
    forward_pairs: int | None = None,
    workers: int | None = None,
    dividends: DividendInput | None = None,
    **inputs: Unpack[QuoteInputs],
) -> pd.DataFrame:
    """The spot implied by each (underlying, valuation date)'s quotes: what
    :func:`implied_vols` uses with ``spot="implied"``.

    With one rate and an unknown carry, ln F is linear in the years, and the
    spot is its intercept: the weighted line through the forwards (as
    :func:`forwards` estimates them, early-exercise premium included) of the
    nearest three expiries that have one, found again at each spot until the
    spot settles (velliq.chain.spot_search).

    Parameters
    ----------
    quotes, model, forward_pairs, workers, dividends, **inputs
        As for :func:`implied_vols`, without ``spot`` (``"implied"`` is
        accepted), ``forward`` and ``dividend_yield``. With ``dividends``, the
        line goes through each forward plus its dividends' forward value at
        the rate (exact for no residual yield).

    Returns
    -------
    pandas.DataFrame
        One row per (underlying, valuation date), those of them the table
        has: ``spot``, ``spot_lo`` and ``spot_hi`` (the consistent range:
        the spots the line gives from any forwards within their consistent
        ranges) and ``spot_expiries`` (the expiries the line went through);
        NaN and 0 where no spot can be implied: fewer than two expiries with
        a forward, or no settled spot.
    """
    spot = inputs.setdefault("spot", IMPLIED)
    if not (isinstance(spot, str) and spot == IMPLIED):
        raise TypeError(f"spots() implies the spot from the quotes: give no spot= (not {spot!r})")
    pricing = pricing_model(model)
    max_pairs = _pair_cap(forward_pairs, None)
    layout, pricing = with_dividends(quote_layout(quotes, **inputs), pricing, dividends, quotes)
    with _earliest_bad_cell(layout, quotes):
        years, is_call, keys = _years_sides_groups(layout, quotes)
        with _workers(workers):
            group, estimates = spot_estimates(layout, quotes, years, is_call, keys, pricing, max_pairs)
    by = keys.drop(columns="expiry_key")
    columns = dict(zip(SPOT_COLUMNS, (estimates.spot, estimates.lo, estimates.hi, estimates.expiries)))
    if by.columns.empty:
        return pd.DataFrame(columns)
    names = {"underlying_key": layout.names.underlying, "valuation_key": layout.names.valuation_date}
    first = by[group >= 0].groupby(group[group >= 0], sort=True).first().rename(columns=names)
    frame = pd.concat([first.reset_index(drop=True), pd.DataFrame(columns)], axis=1)
    return frame.set_index(list(first.columns)).sort_index()
