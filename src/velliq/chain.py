"""From a quote table to implied volatilities: pandas in, pandas out.

``implied_vols(quotes)`` takes a long table, one row per quote, and returns
it with the forward, the bid, mid and ask volatilities, vega and a status
per row; ``summary(result)`` gives one row per expiry; ``plot_smiles`` draws
the smiles. ``forward(calls, puts, strikes, spot, discount)`` estimates one
expiry's forward from its quotes.
"""

import math

import numpy as np
import pandas as pd

from . import american, baw
from ._sides import sides
from ._terms import forward_terms
from ._threads import workers as _workers

MODELS = {"baw": baw, "american": american}

__all__ = ["STATUSES", "MissingColumnsError", "forward", "forwards", "implied_vols", "plot_smiles", "summary"]

YEAR_DAYS = 365.0  # Actual/365 Fixed

# Why a row's volatility is missing, in the order the checks take precedence.
STATUSES = ("missing_input", "crossed", "no_forward", "below_intrinsic", "no_time_value", "no_solution", "ok")

# A strike's forward is found to 1e-10 relative in three or four Newton steps
# from the expiry's parity forward; a strike still unsettled after eight
# (a pair too flat in the forward to pin it, far from the money) is left out.
_NEWTON_STEPS = 8
_FORWARD_RTOL = 1e-10

# The kernels' margin above the exercise value below which a quote has no time
# value (IV_TOL): the statuses draw the same line the implied volatility does.
_EXERCISE_MARGIN = 1e-10


def _model(name):
    if name not in MODELS:
        raise ValueError(f"unknown model {name!r}; choose one of {', '.join(MODELS)}")
    return MODELS[name]


# --- Forwards ------------------------------------------------------------------------


def strike_forwards(calls, puts, strikes, spot, discount, start=None, model="baw"):
    """Per strike, the forward at which the call's and the put's implied
    volatilities agree; NaN where the pair is not usable.

    iv_call falls and iv_put rises as the forward rises, so their difference
    has one root, inside (K - P/D, K + C/D), where both quotes exceed their
    zero-volatility values. Safeguarded Newton steps (the slopes come from
    the Greeks, d iv / dF = -dV/dF / vega) solve all strikes at once, from
    ``start`` (per strike; its parity forward K + (C - P)/D by default), with
    the prices of ``model`` ("baw" or "american").
    """
    pricing = _model(model)
    C, P, K, S, D = np.broadcast_arrays(
        *(np.asarray(a, dtype=np.float64) for a in (calls, puts, strikes, spot, discount))
    )
    with np.errstate(invalid="ignore", divide="ignore"):
        lo, hi = K - P / D, K + C / D
        usable = (C > np.maximum(S - K, 0)) & (P > np.maximum(K - S, 0)) & (D > 0) & (lo < hi)
        parity = K + (C - P) / D
    start = parity if start is None else np.broadcast_to(np.asarray(start, dtype=np.float64), C.shape)
    F = np.where(usable, np.where((start > lo) & (start < hi), start, parity), np.nan)
    settled = np.zeros(F.shape, dtype=bool)
    active = np.flatnonzero(usable)
    lo, hi = lo.copy(), hi.copy()
    for _ in range(_NEWTON_STEPS):
        if active.size == 0:
            break
        a = active
        f = F[a]
        iv_c = pricing.implied_vol(C[a], S[a], K[a], D[a], f, True)
        iv_p = pricing.implied_vol(P[a], S[a], K[a], D[a], f, False)
        gap = iv_c - iv_p
        lower = (gap > 0) | (iv_p == 0)  # the root lies above f
        upper = (gap < 0) | (iv_c == 0)
        lo[a] = np.where(lower, f, lo[a])
        hi[a] = np.where(upper, f, hi[a])
        _, _, vega_c, dF_c, _ = pricing.greeks(S[a], K[a], D[a], f, iv_c, True)
        _, _, vega_p, dF_p, _ = pricing.greeks(S[a], K[a], D[a], f, iv_p, False)
        with np.errstate(invalid="ignore", divide="ignore"):
            slope = -dF_c / vega_c + dF_p / vega_p
            newton = f - np.where((iv_c > 0) & (iv_p > 0), gap / slope, np.nan)
        inside = np.isfinite(newton) & (newton > lo[a]) & (newton < hi[a])
        nxt = np.where(inside, newton, 0.5 * (lo[a] + hi[a]))
        F[a] = nxt
        done = (gap == 0) | (np.abs(nxt - f) <= _FORWARD_RTOL * np.abs(f))
        settled[a[done]] = True
        active = a[~done]
    return np.where(settled, F, np.nan)


def forward(calls, puts, strikes, spot, discount, model="baw"):
    """The forward implied by one expiry's American call and put quotes.

    Every strike with a usable pair (both quotes present and above their
    exercise values) gives the forward at which its call and put volatilities
    agree (a single root: no local minima); the estimate is their median,
    which a few bad quotes do not move. A missing quote removes its strike
    only. NaN when no strike has a usable pair.
    """
    C, P, K = (np.asarray(a, dtype=np.float64) for a in (calls, puts, strikes))
    with np.errstate(invalid="ignore", divide="ignore"):
        parity = K + (C - P) / np.asarray(discount, dtype=np.float64)
    start = np.nanmedian(parity) if np.isfinite(parity).any() else None
    per_strike = strike_forwards(C, P, K, spot, discount, start, model)
    per_strike = per_strike[np.isfinite(per_strike)]
    return float(np.median(per_strike)) if per_strike.size else math.nan


def _group_forwards(frame, keys, max_strikes, model):
    """Forward per group from the mean mid of each (group, strike, side)."""
    mids = frame.groupby([*keys, "strike", "is_call"], sort=False)["mid"].mean()
    pairs = mids.unstack("is_call").reindex(columns=[True, False])
    firsts = frame.groupby(keys, sort=False)[["spot", "discount"]].first()
    pairs = pairs.join(firsts, on=keys)
    strikes = pairs.index.get_level_values("strike").to_numpy(np.float64)
    C, P, S, D = (pairs[c].to_numpy() for c in (True, False, "spot", "discount"))
    levels = list(range(len(keys)))
    if max_strikes is not None:
        # The pairs with the most time value on their thinner side pin the forward best.
        time_value = np.minimum(C - np.maximum(S - strikes, 0), P - np.maximum(strikes - S, 0))
        rank = (
            pd.Series(np.nan_to_num(time_value, nan=-np.inf), index=pairs.index)
            .groupby(level=levels)
            .rank(ascending=False, method="first")
        )
        keep = (rank <= max_strikes).to_numpy()
        pairs, strikes, C, P, S, D = pairs[keep], strikes[keep], C[keep], P[keep], S[keep], D[keep]
    with np.errstate(invalid="ignore"):
        parity = pd.Series(strikes + (C - P) / D, index=pairs.index)
    start = parity.groupby(level=levels).transform("median").to_numpy()
    per_strike = strike_forwards(C, P, strikes, S, D, start, model)
    estimates = pd.Series(per_strike, index=pairs.index).dropna()
    return estimates.groupby(level=levels).median().rename("forward")


# --- The table -----------------------------------------------------------------------


class MissingColumnsError(KeyError):
    """Columns the table needs and does not have."""

    def __init__(self, missing, expected, found):
        self.missing, self.expected, self.found = list(missing), list(expected), list(found)
        super().__init__(
            f"quotes have no column {', '.join(map(repr, self.missing))}; "
            f"expected {', '.join(self.expected)}; found {', '.join(map(str, self.found))}"
        )

    def __str__(self):
        return self.args[0]


def _years(expiry, valuation_date):
    if pd.api.types.is_numeric_dtype(expiry):
        return expiry.to_numpy(np.float64)
    dates = pd.to_datetime(expiry)
    if valuation_date is None:
        raise ValueError("expiry holds dates: give valuation_date (or expiries as year fractions)")
    days = (dates - pd.Timestamp(valuation_date)).dt.days
    return days.to_numpy(np.float64) / YEAR_DAYS


def _input(quotes, value, name, needed):
    """A column (by name) or a scalar, as float64 values per row; None when absent."""
    if value is None or isinstance(value, str):
        column = value or name
        if column in quotes.columns:
            return quotes[column].to_numpy(np.float64, na_value=np.nan)
        if needed is not None:
            needed.append(column)
        return None
    return np.full(len(quotes), float(value))


def _prepare(
    quotes, valuation_date=None, spot=None, rate=None, dividend_yield=None, discount=None, forward=None, **columns
):
    """The table's inputs as float64 arrays per row (``F`` None when it must be estimated)."""
    names = {
        name: columns.pop(name, name) for name in ("underlying", "expiry", "strike", "side", "bid", "ask", "price")
    }
    if columns:
        raise TypeError(f"unexpected keyword arguments {sorted(columns)}")
    missing = [names[c] for c in ("expiry", "strike", "side") if names[c] not in quotes.columns]
    if names["price"] not in quotes.columns and not {names["bid"], names["ask"]} <= set(quotes.columns):
        missing.append(f"{names['bid']} and {names['ask']}, or {names['price']}")
    n = len(quotes)
    needed = []
    D = _input(quotes, discount, "discount", None)
    F = _input(quotes, forward, "forward", None)
    S = _input(quotes, spot, "spot", needed if F is None else None)
    r = _input(quotes, rate, "rate", needed if D is None else None)
    q = _input(quotes, dividend_yield, "dividend_yield", None)
    missing += needed
    if missing:
        expected = [names[c] for c in ("expiry", "strike", "side")] + [
            f"{names['bid']}/{names['ask']} or {names['price']}",
            "spot",
            "rate (or discount)",
            "dividend_yield or forward (optional)",
        ]
        raise MissingColumnsError(missing, expected, quotes.columns)

    def column(name):
        return (
            quotes[names[name]].to_numpy(np.float64, na_value=np.nan) if names[name] in quotes else np.full(n, np.nan)
        )

    v = {
        "names": names,
        "years": _years(quotes[names["expiry"]], valuation_date),
        "strike": column("strike"),
        "is_call": sides(quotes[names["side"]]),
        "bid": column("bid"),
        "ask": column("ask"),
    }
    v["mid"] = column("price") if names["price"] in quotes else 0.5 * (v["bid"] + v["ask"])
    v["S"] = S if S is not None else np.full(n, np.nan)
    v["D"] = D if D is not None else np.exp(-r * v["years"])
    if F is None and q is not None:
        if r is None:
            with np.errstate(divide="ignore", invalid="ignore"):
                r = -np.log(v["D"]) / v["years"]
        F = forward_terms(v["S"], r, q, v["years"])[1]
    v["F"] = F
    return v


def _group_keys(quotes, v):
    """Per row, the (underlying, expiry) the forward belongs to."""
    keys = {"expiry_key": v["years"]}
    if v["names"]["underlying"] in quotes.columns:
        keys = {"underlying_key": quotes[v["names"]["underlying"]].to_numpy(), **keys}
    return pd.DataFrame(keys)


def forwards(quotes, *, model="baw", forward_strikes=None, workers=None, **inputs):
    """One row per (underlying, expiry) of a long quote table: ``years``,
    ``discount`` and ``forward``, estimated from the quotes by
    :func:`forward` unless a forward or dividend yield is given. Arguments as
    for :func:`implied_vols`."""
    v = _prepare(quotes, **inputs)
    keys = _group_keys(quotes, v)
    with _workers(workers):
        F = v["F"] if v["F"] is not None else _estimated_forwards(keys, v, forward_strikes, model)
    frame = keys.assign(years=v["years"], discount=v["D"], forward=F)
    names = {"underlying_key": v["names"]["underlying"], "expiry_key": "expiry"}
    first = frame.groupby(list(keys.columns), sort=True).first()
    first.index = first.index.set_names([names[k] for k in keys.columns])
    return first


def implied_vols(quotes, *, model="baw", forward_strikes=None, workers=None, **inputs):
    """Implied volatilities of a long quote table, one row per quote.

    Columns, renamed by keyword (``strike="K"``): ``expiry`` (dates, with
    the keyword ``valuation_date``, or year fractions), ``strike``, ``side`` (anything
    :func:`velliq.sides` accepts), ``bid`` and ``ask`` and/or ``price``, an
    optional ``underlying``; then either ``discount`` and ``forward``, or
    ``spot`` with ``rate`` and optionally ``dividend_yield``. ``spot``,
    ``rate``, ``dividend_yield``, ``discount`` and ``forward`` may also be
    given as numbers. Without a forward or a dividend yield, each
    (underlying, expiry) gets its forward from its own quotes by
    :func:`forward`, from every strike with a usable pair, or, with
    ``forward_strikes=n``, from the n pairs with the most time value on
    their thinner side (far faster on wide chains; those pairs pin the
    forward best). ``model`` prices the options: "baw" (Barone-Adesi-Whaley,
    :mod:`velliq.baw`) or "american" (the accurate price,
    :mod:`velliq.american`). ``workers`` native threads compute (all cores
    for None, as :func:`velliq.workers`).

    Returns a new table: the input columns, then ``years``, ``discount``,
    ``forward``, ``iv_bid``, ``iv_mid``, ``iv_ask`` (annual volatilities),
    ``vega`` (of the mid, per unit of annual volatility) and ``status``, a
    categorical saying why a volatility is missing (``STATUSES``). No row is
    dropped. The mid is ``price`` when given, else the mean of bid and ask.
    """
    pricing = _model(model)
    v = _prepare(quotes, **inputs)
    S, D, strike, is_call, years = v["S"], v["D"], v["strike"], v["is_call"], v["years"]
    with _workers(workers):
        F = v["F"] if v["F"] is not None else _estimated_forwards(_group_keys(quotes, v), v, forward_strikes, model)
        sigma = {k: pricing.implied_vol(v[k], S, strike, D, F, is_call) for k in ("bid", "mid", "ask")}
        vega, scratch = np.empty(len(years)), np.empty(len(years))  # only vega is kept
        pricing.greeks(S, strike, D, F, sigma["mid"], is_call, out=(scratch, scratch, vega, scratch, scratch))
    del scratch
    status = _status(years, strike, S, D, F, v["bid"], v["ask"], v["mid"], is_call, sigma["mid"])
    with np.errstate(invalid="ignore"):
        root_t = np.sqrt(np.where(years > 0, years, np.nan))
    bad = status.codes <= STATUSES.index("below_intrinsic")  # no volatility at all
    for k in ("bid", "mid", "ask"):  # annualised in place: the result holds these very arrays
        np.divide(sigma[k], root_t, out=sigma[k])
        sigma[k][bad] = np.nan
    np.multiply(vega, root_t, out=vega)
    vega[bad] = np.nan
    # years, D and F may be views of the input's columns: the result gets its own.
    added = {"years": years.copy(), "discount": D.copy(), "forward": F.copy(), **{f"iv_{k}": sigma[k] for k in sigma}}
    added.update(vega=vega, status=status)
    # Concatenated rather than assigned, which would copy every new column.
    kept = quotes.drop(columns=[c for c in added if c in quotes.columns])  # replaced, as by assign
    return pd.concat([kept, pd.DataFrame(added, index=quotes.index, copy=False)], axis=1)


def _estimated_forwards(keys, v, max_strikes, model):
    frame = keys.assign(
        strike=v["strike"],
        is_call=v["is_call"],
        spot=v["S"],
        discount=v["D"],
        mid=np.where(v["bid"] > v["ask"], np.nan, v["mid"]),
    )
    estimates = _group_forwards(frame, list(keys.columns), max_strikes, model)
    index = pd.MultiIndex.from_frame(keys) if keys.shape[1] > 1 else pd.Index(keys.iloc[:, 0])
    return estimates.reindex(index).to_numpy(np.float64)


def _status(years, strike, S, D, F, bid, ask, mid, is_call, iv_mid):
    intrinsic = np.where(is_call, np.maximum(S - strike, 0), np.maximum(strike - S, 0))
    checks = [
        ~np.isfinite(years) | (years <= 0) | np.isnan(strike) | np.isnan(mid) | np.isnan(S) | np.isnan(D),
        bid > ask,
        np.isnan(F),
        mid < intrinsic - _EXERCISE_MARGIN,
        mid <= intrinsic + _EXERCISE_MARGIN,
        np.isnan(iv_mid),
    ]
    codes = np.select(checks, list(range(len(checks))), default=len(checks)).astype(np.int8)
    return pd.Categorical.from_codes(codes, categories=list(STATUSES))


# --- Reading the result ------------------------------------------------------------------


def summary(result, *, underlying="underlying", expiry="expiry", strike="strike"):
    """One row per (underlying, expiry): years, forward, the ATM volatility
    (the mid volatility at the strike nearest the forward, calls and puts
    averaged) and the count of quotes by status."""
    keys = [c for c in (underlying, expiry) if c in result.columns]
    frame = result.assign(_distance=(result[strike] - result["forward"]).abs())
    ok = frame[frame["status"] == "ok"]
    nearest = ok[ok["_distance"] == ok.groupby(keys, observed=True)["_distance"].transform("min")]
    table = frame.groupby(keys, observed=True).agg(years=("years", "first"), forward=("forward", "first"))
    table["atm_vol"] = nearest.groupby(keys, observed=True)["iv_mid"].mean()
    counts = pd.crosstab([frame[k] for k in keys], frame["status"]).reindex(columns=list(STATUSES), fill_value=0)
    return table.join(counts).fillna({s: 0 for s in STATUSES}).astype({s: int for s in STATUSES})


def plot_smiles(result, path=None, *, underlying=None, strike="strike", side="side"):
    """One matplotlib figure of the smiles: per expiry, the out-of-the-money
    mid volatilities against log-moneyness ln(K/F), with the bid-ask band.
    ``underlying`` picks one when the table has several (the first by
    default). Saved to ``path`` when given; returns the figure."""
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    frame = result[result["status"] == "ok"]
    if "underlying" in frame.columns:
        chosen = underlying if underlying is not None else frame["underlying"].iloc[0]
        frame = frame[frame["underlying"] == chosen]
    otm = frame[np.where(sides(frame[side]), frame[strike] >= frame["forward"], frame[strike] < frame["forward"])]
    fig, ax = plt.subplots(figsize=(9, 5.5))
    for years, group in otm.groupby("years"):
        group = group.sort_values(strike)
        x = np.log(group[strike] / group["forward"])
        (line,) = ax.plot(x, group["iv_mid"], label=f"{years * 365:.0f} d")
        bid = group["iv_bid"].where(group["iv_bid"] > 0)  # a zero bid bounds nothing
        ax.fill_between(x, bid, group["iv_ask"], color=line.get_color(), alpha=0.2)
    ax.set_xlabel("log-moneyness ln(K / F)")
    ax.set_ylabel("implied volatility (annual)")
    title = "Implied volatility smiles, out-of-the-money mids with bid-ask bands"
    ax.set_title(title if "underlying" not in frame.columns else f"{chosen}: {title}")
    ax.legend(title="expiry", fontsize="small", ncol=2)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
        plt.close(fig)
    return fig
