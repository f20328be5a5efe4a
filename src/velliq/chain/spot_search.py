"""The spot implied by a quote table's nearest expiries, per (underlying,
valuation date), for quote files that carry no spot.

With one rate and an unknown carry (dividend yield, borrow) over the nearest
expiries, F = S·exp(b·T): ln F is linear in the years T, with intercept ln S.
Each expiry's forward comes from its call and put quotes
(velliq.chain.forward_search) given a spot, on which it depends only through
the early-exercise premium. So the spot is found by passes. The first spot
is the intercept through the European parity forwards, F = K + (C - P)/D at
the strike where call and put are closest, of the two nearest expiries: off
by the premium alone. Then, each pass, the forwards of the nearest expiries
at the spot, and the intercept of the line through their (T, ln F) as the
next spot, until a pass moves it by at most ``_SETTLED`` of itself: a
hundredth of the narrowest consistent range a forward can have (a basis
point). A pass shrinks the spot's error by the factor d(intercept)/d(spot),
the premium's small share in the forwards' dependence on the spot (about
-0.08 near the money on a real chain: each pass overshoots a little), so a
first spot a few hundredths of a percent off settles in 3 or 4 passes.
A group not settled within ``_MAX_PASSES``, or with fewer
than two expiries that have a forward, gets no spot.

The line is the weighted least-squares fit over the nearest
``_FIT_EXPIRIES`` expiries with a forward and a consistent range
[F_lo, F_hi], each weighted by 1/(ln F_hi - ln F_lo)², as the forward search
weighs strikes: few and near, so that discrete dividends and the term
structure of rates bend it least; more than two, so that one expiry's
error is not extrapolated alone. Its intercept is a sum Σ c_i·ln F_i (with
Σ c_i = 1 and Σ c_i·T_i = 0); the spot's consistent range is the range of
that sum as each ln F_i runs over its own consistent range: the spots the
fit gives from any forwards the quotes can be reconciled with.
"""

import warnings
from dataclasses import dataclass, fields, replace
from typing import Any, Final

import numpy as np
import pandas as pd

from .._models import PricingModel
from ._arrays import Bools, Floats, Ints, run_starts
from .dividend_terms import dividend_pv
from .forward_search import forward_columns
from .inputs import ChainInputs, QuoteLayout
from .row_checks import check_rows, group_ids
from .spot_inputs import ImpliedSpot, SpotColumns

__all__ = ["SpotEstimates", "implied_spots", "nearest_expiry_rows", "row_spots", "spot_estimates", "spot_groups"]

# Expiries of each group whose forwards are solved (a few may have none), and those the line is fitted through.
_SOLVED_EXPIRIES: Final = 5
_FIT_EXPIRIES: Final = 3
# A spot is settled once a pass moves it by at most this share of itself.
_SETTLED: Final = 1e-6
_MAX_PASSES: Final = 10


@dataclass(frozen=True)
class SpotEstimates:
    """Per (underlying, valuation date): the spot, its consistent range [lo, hi] and the count of
    expiries the line went through; NaN and 0 where no spot could be implied."""

    spot: Floats
    lo: Floats
    hi: Floats
    expiries: Ints


def spot_groups(keys: pd.DataFrame) -> tuple[Ints, int]:
    """Per row, its (underlying, valuation date)'s number (-1 where a key is missing), and the count of them."""
    by = keys.drop(columns="expiry_key")
    if by.columns.empty:
        return np.zeros(len(keys), np.intp), 1 if len(keys) else 0
    return group_ids(by)


def nearest_expiry_rows(group: Ints, years: Floats, count: int = _SOLVED_EXPIRIES) -> Ints:
    """The rows of each group's ``count`` nearest unexpired expiries (told apart by their years)."""
    with np.errstate(invalid="ignore"):
        rows = np.flatnonzero((group >= 0) & np.isfinite(years) & (years > 0))
    rank = pd.Series(years[rows]).groupby(group[rows]).rank(method="dense").to_numpy()
    return rows[rank <= count]


def _take(table: ChainInputs, rows: Ints) -> ChainInputs:
    """These rows of ``table``, whose forwards are estimated."""
    kept = [f.name for f in fields(table) if f.name not in ("names", "F") and getattr(table, f.name) is not None]
    arrays = {name: getattr(table, name)[rows] for name in kept}
    return replace(table, **arrays)


def _parity_spots(table: ChainInputs, group: Ints, n_groups: int) -> Floats:
    """Per group, the zero-years intercept of ln F through the European parity forwards,
    K + (C - P)/D at the strike where call and put are closest, of its two nearest expiries
    with a call and a put quoted at one strike (the one's forward when only one has):
    the spot but for the early-exercise premium."""
    with np.errstate(invalid="ignore"):
        quoted = (group >= 0) & table.has_side & (table.mid > 0) & ~(table.bid > table.ask) & (table.D > 0)
    frame = pd.DataFrame({"group": group, "T": table.years, "K": table.strike, "D": table.D, "call": table.is_call})
    mids = pd.Series(table.mid).where(quoted)
    pairs = mids.groupby([frame[c] for c in ("group", "T", "K", "D", "call")]).mean().unstack("call").dropna()
    spots = np.full(n_groups, np.nan)
    if pairs.empty or not {True, False} <= set(pairs.columns):
        return spots
    keys = pairs.index.to_frame(index=False)
    gap = (pairs[True] - pairs[False]).to_numpy()
    with np.errstate(invalid="ignore", divide="ignore"):  # a parity forward not positive: NaN, no spot
        keys["ln_F"] = np.log(keys["K"] + gap / keys["D"])
    keys["gap"] = np.abs(gap)
    closest = keys.sort_values(["group", "T", "gap", "K"]).groupby(["group", "T"]).first().reset_index()
    near, far = (closest.groupby("group").nth(n).set_index("group") for n in (0, 1))
    slope = ((far["ln_F"] - near["ln_F"]) / (far["T"] - near["T"])).reindex(near.index, fill_value=0.0)
    with np.errstate(invalid="ignore", over="ignore"):
        spots[near.index.to_numpy()] = np.exp((near["ln_F"] - slope * near["T"]).to_numpy())
    return spots


def _fit(group: Ints, years: Floats, forward: Floats, lo: Floats, hi: Floats, n_groups: int) -> SpotEstimates:
    """Per group, the intercept of the weighted line through its nearest expiries' (T, ln F), one
    element per expiry given; its range from the forwards' consistent ranges."""
    with np.errstate(invalid="ignore", divide="ignore"):
        ok = np.isfinite(forward) & np.isfinite(lo) & np.isfinite(hi) & (lo > 0) & (years > 0)
    order = np.flatnonzero(ok)[np.lexsort((years[ok], group[ok]))]
    group, x, y, y_lo, y_hi = group[order], years[order], *(np.log(v[order]) for v in (forward, lo, hi))
    if group.size:
        starts = run_starts(group)
        rank = np.arange(group.size) - np.repeat(starts, np.diff(np.r_[starts, group.size]))
        near = rank < _FIT_EXPIRIES
        group, x, y, y_lo, y_hi = group[near], x[near], y[near], y_lo[near], y_hi[near]
    w = (y_hi - y_lo) ** -2.0
    W = np.bincount(group, w, n_groups)
    with np.errstate(invalid="ignore", divide="ignore"):
        x_mean = np.bincount(group, w * x, n_groups) / W
        dx = x - x_mean[group]
        spread = np.bincount(group, w * dx * dx, n_groups)
        c = w / W[group] - x_mean[group] * w * dx / spread[group]  # ln S = Σ c·ln F
        expiries = np.bincount(group, minlength=n_groups)
        fitted = (expiries >= 2) & (spread > 0)
        ln_spot = np.bincount(group, c * y, n_groups)
        ln_lo = np.bincount(group, np.where(c > 0, c * y_lo, c * y_hi), n_groups)
        ln_hi = np.bincount(group, np.where(c > 0, c * y_hi, c * y_lo), n_groups)
    spot, spot_lo, spot_hi = (np.exp(np.where(fitted, v, np.nan)) for v in (ln_spot, ln_lo, ln_hi))
    return SpotEstimates(spot, spot_lo, spot_hi, np.where(fitted, expiries, 0))


def _pass(
    table: ChainInputs,
    keys: pd.DataFrame,
    index: "pd.Index[Any]",
    group: Ints,
    n_groups: int,
    guess: Floats,
    model: PricingModel,
    max_pairs: int | None,
) -> SpotEstimates:
    """Per group, the line's spot through its forwards at the spot ``guess``."""
    table = replace(table, S=np.where(group >= 0, guess[group], np.nan))
    checks = check_rows(keys, table, index)
    columns = forward_columns(checks.group, checks.n_groups, table, max_pairs, model, checks.usable)
    _, first = np.unique(checks.group, return_index=True)
    first = first[checks.group[first] >= 0]  # one row per expiry
    forward, lo, hi = (columns[name][first] for name in ("forward", "forward_lo", "forward_hi"))
    if table.dividends is not None:  # the spot's own forward: the dividends' forward value (at the rate) added back
        back = dividend_pv(table.D[first], table.dividends[first]) / table.D[first]
        forward, lo, hi = forward + back, lo + back, hi + back
    return _fit(group[first], table.years[first], forward, lo, hi, n_groups)


def implied_spots(
    table: ChainInputs,
    keys: pd.DataFrame,
    index: "pd.Index[Any]",
    group: Ints,
    n_groups: int,
    model: PricingModel,
    max_pairs: int | None,
) -> SpotEstimates:
    """Per group (numbered by ``group``, -1 for none), the spot its rows imply: ``table``,
    ``keys`` (:func:`group_keys`) and ``index`` are those rows', whole expiries
    (:func:`nearest_expiry_rows`). Each group's passes see its own rows alone."""
    nan = np.full(n_groups, np.nan)
    found = SpotEstimates(nan, nan.copy(), nan.copy(), np.zeros(n_groups, np.intp))
    if n_groups == 0:
        return found
    guess = _parity_spots(table, group, n_groups)
    active = np.isfinite(guess) & (guess > 0)
    for _ in range(_MAX_PASSES):
        rows = np.flatnonzero((group >= 0) & active[group])
        if rows.size == 0:
            break
        keyed = keys.iloc[rows].reset_index(drop=True)
        line = _pass(_take(table, rows), keyed, index[rows], group[rows], n_groups, guess, model, max_pairs)
        with np.errstate(invalid="ignore"):
            settled = active & (np.abs(line.spot - guess) <= _SETTLED * guess)
        for name in ("spot", "lo", "hi", "expiries"):
            getattr(found, name)[settled] = getattr(line, name)[settled]
        active &= ~settled & np.isfinite(line.spot)
        guess = np.where(active, line.spot, guess)
    return found


def spot_estimates(
    layout: QuoteLayout,
    quotes: pd.DataFrame,
    years: Floats,
    is_call: Bools,
    keys: pd.DataFrame,
    model: PricingModel,
    max_pairs: int | None,
) -> tuple[Ints, SpotEstimates]:
    """Per row its (underlying, valuation date)'s number, and per one of those the spot its quotes imply."""
    group, n_groups = spot_groups(keys)
    rows = nearest_expiry_rows(group, years)
    with warnings.catch_warnings():  # the rows' inputs warn once, when the table reads them all
        warnings.simplefilter("ignore", UserWarning)
        table = layout.read(quotes.iloc[rows], years[rows], is_call[rows])
    keyed = keys.iloc[rows].reset_index(drop=True)
    return group, implied_spots(table, keyed, quotes.index[rows], group[rows], n_groups, model, max_pairs)


def row_spots(
    layout: QuoteLayout,
    quotes: pd.DataFrame,
    years: Floats,
    is_call: Bools,
    keys: pd.DataFrame,
    model: PricingModel,
    max_pairs: int | None,
) -> Floats | None:
    """Per row, its spot when the quotes make it: the mid of the underlying's bid and ask, or the
    spot its (underlying, valuation date) implies (NaN where none could be); None for a spot given."""
    if isinstance(layout.spot, SpotColumns):
        return layout.spot.mids(quotes)
    if not isinstance(layout.spot, ImpliedSpot):
        return None
    group, estimates = spot_estimates(layout, quotes, years, is_call, keys, model, max_pairs)
    spots: Floats = np.where(group >= 0, estimates.spot[group], np.nan)
    unfound = np.isnan(estimates.spot)
    if unfound.any():
        warnings.warn(
            f"no spot implied for {int(unfound.sum())} of {unfound.size} (underlying, valuation date): "
            f"their {int(np.count_nonzero(unfound[group[group >= 0]]))} rows are missing_input (a spot is "
            "implied through the forwards of at least two expiries quoted on both sides)",
            UserWarning,
            stacklevel=3,
        )
    return spots
