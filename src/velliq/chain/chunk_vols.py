"""One chunk of a quote table (whole groups) from its inputs to its added
columns: the checks of its rows, the forwards, the volatilities and vega (and
Greeks), and the statuses. Chunks are independent: any thread may compute any."""

from typing import Any, Final, NamedTuple

import numpy as np
import numpy.typing as npt
import pandas as pd

from .._models import PricingModel
from ._arrays import Floats
from .chunks import Rows
from .dividend_terms import dividend_columns, dividend_rate_greeks
from .forward_search import estimated_forwards
from .greeks import desk_greeks
from .inputs import ChainInputs
from .row_checks import RowChecks, check_rows
from .statuses import ASK_VOLATILITY_ONLY, NO_MID_VOLATILITY, NO_VOLATILITY, STATUSES, row_statuses

__all__ = ["ChunkVols", "chunk_vols"]


class ChunkVols(NamedTuple):
    """One chunk's added columns, status codes and rows the model is known to be off for."""

    rows: Rows
    columns: dict[str, Floats]
    status_codes: npt.NDArray[np.int8]
    premium_dropped: int


def chunk_vols(
    rows: Rows,
    pricing: PricingModel,
    table: ChainInputs,
    keys: pd.DataFrame,
    index: "pd.Index[Any]",
    max_pairs: int | None,
    greeks: bool,
) -> ChunkVols:
    """The volatilities of one chunk of whole groups, read into ``table``, ``keys`` their group keys."""
    checks = check_rows(keys, table, index)
    F = table.F
    if F is None:
        F = estimated_forwards(checks.group, checks.n_groups, table, max_pairs, pricing, checks.usable)
    computed, status = _implied_vols(pricing, table, F, checks, greeks)
    return ChunkVols(rows, computed, status.codes, _premium_dropped(pricing, table, F, computed))


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


# Per status code, whether the row keeps no volatility at all, no mid volatility, the ask's alone.
_BY_CODE_NO_VOLATILITY: Final = np.isin(STATUSES, list(NO_VOLATILITY))
_BY_CODE_NO_MID_VOLATILITY: Final = np.isin(STATUSES, list(NO_MID_VOLATILITY))
_BY_CODE_ASK_VOLATILITY_ONLY: Final = np.isin(STATUSES, list(ASK_VOLATILITY_ONLY))
_ONE_SIDED: Final = STATUSES.index("one_sided")


def _implied_vols(
    pricing: PricingModel, table: ChainInputs, F: Floats, checks: RowChecks, greeks: bool
) -> "tuple[dict[str, Floats], pd.Categorical[str]]":
    """One chunk's discount, forward, volatilities and vega (and Greeks), and its statuses."""
    S, D, strike, is_call, years = table.S, table.D, table.strike, table.is_call, table.years
    schedule = () if table.dividends is None else (table.dividends.fractions, table.dividends.amounts)
    mid_sigma, mid_reason = pricing.implied_vol_reason(table.mid, S, strike, D, F, is_call, *schedule)
    ask_sigma, ask_reason = pricing.implied_vol_reason(table.ask, S, strike, D, F, is_call, *schedule)
    status = row_statuses(checks.flags, F, checks.duplicate, checks.arbitrage, mid_reason, ask_reason)
    with np.errstate(invalid="ignore"):
        root_t = np.sqrt(np.where(years > 0, years, np.nan))
        no_side = {"bid": ~(table.bid > 0), "ask": ~(table.ask > 0)}
    bad = _BY_CODE_NO_VOLATILITY[status.codes]
    no_mid = _BY_CODE_NO_MID_VOLATILITY[status.codes]
    one_sided = status.codes == _ONE_SIDED
    no_vol = {
        "bid": bad | (one_sided & no_side["bid"]) | _BY_CODE_ASK_VOLATILITY_ONLY[status.codes],
        "mid": no_mid,
        "ask": bad | (one_sided & no_side["ask"]),
    }
    bid_sigma, kept = np.full(len(years), np.nan), np.flatnonzero(~no_vol["bid"])  # solved only where kept
    bid_sigma[kept] = pricing.implied_vol(*(a[kept] for a in (table.bid, S, strike, D, F, is_call, *schedule)))
    sigma = {"bid": bid_sigma, "mid": mid_sigma, "ask": ask_sigma}
    if greeks:
        forward_greeks = pricing.greeks(S, strike, D, F, sigma["mid"], is_call, *schedule)
        vega_per_sigma = forward_greeks[2]
    else:  # only vega is kept, where there is a mid volatility
        vega_per_sigma, kept = np.full(len(years), np.nan), np.flatnonzero(~no_mid)
        inputs = (S, strike, D, F, sigma["mid"], is_call, *schedule)
        vega_per_sigma[kept] = pricing.greeks(*(a[kept] for a in inputs))[2]
    desk = desk_greeks(forward_greeks, S, D, F, sigma["mid"], years, no_mid) if greeks else {}
    if greeks and table.dividends is not None:  # the rates move the forward as the dividends let them
        dF, dD = forward_greeks[3], forward_greeks[4]
        desk |= dividend_rate_greeks(dF, dD, S, D, F, years, table.dividends, no_mid)
    vol = {k: sigma[k] / root_t for k in sigma}  # annual volatilities
    for k in vol:
        vol[k][no_vol[k]] = np.nan
    vega = vega_per_sigma * root_t  # per unit of annual volatility
    vega[no_mid] = np.nan
    paid = {} if table.dividends is None else dividend_columns(S, D, F, years, table.dividends)
    return {"discount": D, "forward": F, **paid, **{f"iv_{k}": vol[k] for k in vol}, "vega": vega, **desk}, status
