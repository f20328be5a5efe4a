"""An arbitrage-free volatility surface fitted inside the quotes' bid/ask bands.

Method. Each expiry's law of S_T / F is a non-negative density, piecewise linear on a
grid of forward moneyness k = K / F common to all expiries (graded about the forward at
the shortest expiry's ATM standard deviation, 40 % of the knots among the quotes), of
mass 1 and mean 1 (a martingale): the normalised call c(k) = C / (D F) is then convex
(no butterfly arbitrage) and twice differentiable, and the density has compact support,
so every moment is finite and the wings are within Lee's bounds (the total variance's
slope tends to 0 <= 2). Each slice's density solves a quadratic programme
(kernels/surface/fit.hpp, by Goldfarb & Idnani's dual active-set method): every quote's
out-of-the-money price inside its band (bid and ask vols as Black prices) as a hard
constraint, the squared vol distance to the mids plus a light roughness penalty as the
objective. Where the bands cannot all be met, the programme is solved again with every
band widened by a slack priced per spread: the least total spread-normalised violation
(the quotes left outside are ``softened``); a band that misses a narrower band at its
strike is set aside. Slices are fitted from the shortest
expiry on, each constrained above the previous at every k (non-negative Bernstein
coefficients of their difference, a cubic on each cell): no calendar arbitrage. A slice
with fewer than ``min_quotes`` quotes is fitted afterwards between its neighbours,
pulled towards their interpolation. Between expiries c(k, T) is linear in T at fixed
k; before the first, the first law shrunk towards the forward; after the last, spread
by a two-point factor (kernels/surface/surface.hpp). Forward and discount: ln F and
ln D linear in T.

Deltas are forward deltas of the smile's own Black vol: N(d1) for a call, N(d1) - 1
for a put; the 25-delta risk reversal is vol(25-delta call) - vol(25-delta put) and
the butterfly their mean less the ATM (forward) vol, all annual vols.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from . import _surface_fit as fit
from . import _ufuncs
from ._surface_eval import terms_at
from ._surface_grid import Floats

ArrayLike = npt.ArrayLike
# The table's columns, per (slice, knot) row.
_SLICE_COLUMNS = (
    "years",
    "forward",
    "discount",
    "quotes",
    "in_band",
    "rmse_mid",
    "worst_violation",
    "softened",
    "determined",
)
# A fitted vol within this of its band counts as inside (annual vol).
IN_BAND_TOLERANCE = 1e-6


def _floats(x: ArrayLike) -> Floats:
    return np.asarray(x, dtype=np.float64)


def _core_arrays(
    grid: Floats, density: Floats, years: Floats, forward: Floats, discount: Floats
) -> tuple[Floats, Floats, Floats, float]:
    """What the query ufuncs read: the grid, the terms (years, forward, discount and the
    logarithms of the last two), the
    per-slice tables (density, call, call slope, put, put slope and the total standard
    deviation at the knots) and the last slice's ATM variance rate."""
    grid = np.ascontiguousarray(grid)
    terms = np.ascontiguousarray(np.stack([years, forward, discount, np.log(forward), np.log(discount)]))
    call, call_slope, put, put_slope = _ufuncs.surface_tails(grid, density)
    otm = np.where(grid >= 1.0, call, put)
    sigma = _ufuncs.surface_black_sigma(grid, otm, 0.5)
    tables = np.ascontiguousarray(np.stack([density, call, call_slope, put, put_slope, sigma]))
    atm = _ufuncs.surface_call_price(forward[-1], years[-1], grid, terms, tables, 0.0)
    rate = float(_ufuncs.surface_black_sigma(1.0, atm / (discount[-1] * forward[-1]), 0.5) ** 2 / years[-1])
    return grid, terms, tables, rate


class Surface:
    """An immutable arbitrage-free surface of one (underlying, quote date)."""

    __slots__ = ("_grid", "_density", "_years", "_forward", "_discount", "_info", "_core")

    def __init__(
        self, grid: Floats, density: Floats, years: Floats, forward: Floats, discount: Floats, info: pd.DataFrame
    ) -> None:
        self._grid, self._density = grid, density
        self._years, self._forward, self._discount = years, forward, discount
        self._info = info
        self._core = _core_arrays(grid, density, years, forward, discount)
        for a in (grid, density, years, forward, discount, *self._core[:3]):
            a.setflags(write=False)

    # --- fit and persistence ---------------------------------------------------------

    @classmethod
    def fit(
        cls,
        years: ArrayLike,
        forward: ArrayLike,
        discount: ArrayLike,
        strike: ArrayLike,
        vol_bid: ArrayLike,
        vol_ask: ArrayLike,
        *,
        knots: int = 64,
        smooth: float = 1e-6,
        min_quotes: int = 5,
    ) -> Surface:
        """The surface of one (underlying, quote date)'s quotes: per quote its year
        fraction, forward and discount factor to expiry, strike and annual bid/ask vols
        (European-equivalent). NaN vol_bid: no lower bound; NaN vol_ask: the quote is
        left out. ``knots``: the common grid's size; ``smooth``: the weight of the
        density's roughness; ``min_quotes``: fewer and the slice borrows from its
        neighbours."""
        T, F, D, K, bid, ask = np.broadcast_arrays(
            *(_floats(a) for a in (years, forward, discount, strike, vol_bid, vol_ask))
        )
        usable = (T > 0) & (F > 0) & (D > 0) & np.isfinite(ask)
        expiries = np.unique(T[usable])
        if expiries.size == 0:
            raise ValueError("no quote with a positive year fraction, forward, discount and ask vol")
        quotes = []
        for t in expiries:
            rows = usable & (T == t)
            first = np.flatnonzero(rows)[0]
            quotes.append(fit.slice_quotes(float(t), float(F[first]), float(D[first]), K[rows], bid[rows], ask[rows]))
        grid, density, determined, softened = fit.fit_slices(quotes, knots, smooth, min_quotes)
        info = pd.DataFrame(
            {
                "years": expiries,
                "forward": [q.forward for q in quotes],
                "discount": [q.discount for q in quotes],
                "softened": softened,
                "determined": determined,
            }
        )
        surface = cls(grid, density, expiries, info["forward"].to_numpy(), info["discount"].to_numpy(), info)
        stats = [
            surface._quote_stats(
                T[usable & (T == t)], K[usable & (T == t)], bid[usable & (T == t)], ask[usable & (T == t)]
            )
            for t in expiries
        ]
        for name in ("quotes", "in_band", "rmse_mid", "worst_violation"):
            info[name] = [s[name] for s in stats]
        info["quotes"] = info["quotes"].astype(np.int64)
        info = info[list(_SLICE_COLUMNS)]
        surface._info = info
        return surface

    def _quote_stats(self, T: Floats, K: Floats, bid: Floats, ask: Floats) -> dict[str, float]:
        vol = self.implied_vol(K, T)
        low = np.where(np.isfinite(bid), bid, 0.0)
        spread = np.maximum(ask - low, 1e-12)
        outside = np.maximum(np.maximum(low - vol, vol - ask), 0.0)
        mid = np.where(bid > 0, 0.5 * (bid + ask), np.nan)
        error = (vol - mid)[np.isfinite(mid)]
        return {
            "quotes": float(K.size),
            "in_band": float(np.mean(outside <= IN_BAND_TOLERANCE)) if K.size else np.nan,
            "rmse_mid": float(np.sqrt(np.mean(error**2)) * 100.0) if error.size else np.nan,
            "worst_violation": float(np.max(outside / spread)) if K.size else np.nan,
        }

    def to_table(self) -> pd.DataFrame:
        """The parameters, one row per (expiry, knot): slice, the slice's terms and
        diagnostics, knot (moneyness K / F) and density (of S_T / F at the knot)."""
        s, n = self._density.shape
        table = self._info.loc[np.repeat(np.arange(s), n), list(_SLICE_COLUMNS)].reset_index(drop=True)
        table.insert(0, "slice", np.repeat(np.arange(s, dtype=np.int64), n))
        table["knot"] = np.tile(self._grid, s)
        table["density"] = self._density.ravel()
        return table

    @classmethod
    def from_table(cls, table: pd.DataFrame) -> Surface:
        """The surface of ``to_table``'s parameters (its rows in any order)."""
        table = table.sort_values(["slice", "knot"], kind="stable")
        s = int(table["slice"].nunique())
        density = table["density"].to_numpy(np.float64).reshape(s, -1).copy()
        grid = table["knot"].to_numpy(np.float64)[: density.shape[1]].copy()
        info = table.drop_duplicates("slice")[list(_SLICE_COLUMNS)].reset_index(drop=True)
        info["determined"] = info["determined"].astype(str)
        info["quotes"] = info["quotes"].astype(np.int64)
        info["softened"] = info["softened"].astype(np.int64)
        return cls(
            grid,
            density,
            info["years"].to_numpy(np.float64).copy(),
            info["forward"].to_numpy(np.float64).copy(),
            info["discount"].to_numpy(np.float64).copy(),
            info,
        )

    # --- queries -----------------------------------------------------------------------

    def _query(self, name: str, strike: ArrayLike, years: ArrayLike) -> Floats:
        result: Floats = getattr(_ufuncs, "surface_" + name)(_floats(strike), _floats(years), *self._core)
        return result

    def implied_vol(self, strike: ArrayLike, years: ArrayLike) -> Floats:
        """The annual Black implied vol at (strike, years); NaN for a NaN or non-positive input."""
        return self._query("implied_vol", strike, years)

    def total_variance(self, strike: ArrayLike, years: ArrayLike) -> Floats:
        """The implied total variance vol**2 * years."""
        return self._query("total_variance", strike, years)

    def call_price(self, strike: ArrayLike, years: ArrayLike) -> Floats:
        """The European call, discounted."""
        return self._query("call_price", strike, years)

    def put_price(self, strike: ArrayLike, years: ArrayLike) -> Floats:
        """The European put, discounted."""
        return self._query("put_price", strike, years)

    def density(self, strike: ArrayLike, years: ArrayLike) -> Floats:
        """The risk-neutral density of the underlying at expiry, per unit strike."""
        return self._query("density", strike, years)

    def local_vol(self, strike: ArrayLike, years: ArrayLike) -> Floats:
        """Dupire's local vol (annual): sqrt(2 dc/dT / (k**2 d2c/dk2)), c = C / (D F) at
        fixed forward moneyness k; NaN where the density is 0."""
        return self._query("local_vol", strike, years)

    def atm_vol(self, years: ArrayLike) -> Floats:
        """The annual implied vol at the forward."""
        T = _floats(years)
        F, _ = terms_at(self._years, self._forward, self._discount, np.where(T > 0, T, self._years[0]))
        return self.implied_vol(F, T)

    def _delta_vol(self, T: Floats, delta: float) -> Floats:
        """The vol at the strike whose forward call delta N(d1) is ``delta``."""
        from scipy.special import ndtri  # type: ignore[import-untyped]

        F, _ = terms_at(self._years, self._forward, self._discount, np.where(T > 0, T, self._years[0]))
        target = ndtri(delta)
        lo, hi = np.full(T.shape, -10.0), np.full(T.shape, 10.0)  # ln k bracket
        for _ in range(60):  # d1 falls as ln k rises
            x = 0.5 * (lo + hi)
            vol = self.implied_vol(F * np.exp(x), T)
            sigma = vol * np.sqrt(T)
            # Beyond the support sigma is 0 and d1 at its limit: -inf from the forward up,
            # +inf below it.
            positive = np.where(sigma > 0, sigma, np.nan)
            d1 = np.where(sigma == 0, np.copysign(np.inf, -x), -x / positive + positive / 2.0)
            lo, hi = np.where(d1 > target, x, lo), np.where(d1 > target, hi, x)
        return self.implied_vol(F * np.exp(0.5 * (lo + hi)), T)

    def risk_reversal_25(self, years: ArrayLike) -> Floats:
        """vol(25-delta call) - vol(25-delta put), forward deltas."""
        T = _floats(years)
        return self._delta_vol(T, 0.25) - self._delta_vol(T, 0.75)

    def butterfly_25(self, years: ArrayLike) -> Floats:
        """(vol(25-delta call) + vol(25-delta put)) / 2 - ATM vol."""
        T = _floats(years)
        return 0.5 * (self._delta_vol(T, 0.25) + self._delta_vol(T, 0.75)) - self.atm_vol(T)

    # --- diagnostics -------------------------------------------------------------------

    @property
    def slices(self) -> pd.DataFrame:
        """One row per fitted expiry, with years, forward, discount; quotes (used), in_band
        (their share inside their bid/ask vol band), rmse_mid (vol points, quotes with a
        bid), worst_violation (in spreads), softened (quotes left outside their bands where
        the bands cannot all be met, and those set aside: their band misses a narrower one
        at their strike); determined: 'quotes' (by its own), 'borrowed' (fewer than
        min_quotes: fitted between its neighbours, pulled to their interpolation), 'few'
        (no slice had min_quotes), 'failed' (no solution: the slice below, repeated);
        butterfly and calendar, the dense grid's largest violations (check_arbitrage)."""
        checks = self.check_arbitrage(strikes=200, expiries=0)["per_slice"]
        table: pd.DataFrame = pd.concat([self._info[list(_SLICE_COLUMNS)].reset_index(drop=True), checks], axis=1)
        return table

    def check_arbitrage(self, strikes: int = 200, expiries: int = 50) -> dict[str, Any]:
        from ._surface_checks import dense_checks

        return dense_checks(self, strikes, expiries)

    def _parts(self) -> Mapping[str, Any]:
        return {
            "grid": self._grid,
            "density": self._density,
            "years": self._years,
            "forward": self._forward,
            "discount": self._discount,
        }
