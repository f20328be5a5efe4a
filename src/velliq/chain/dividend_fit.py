"""One (underlying, valuation date)'s cash dividends fitted to its forwards.

The model is the cash-dividend model's (velliq.dividends): expiry j, in T_j
years with discount D_j (rate r_j = -ln D_j / T_j), has the forward

    F_j = e^(b_j T_j) (S - sum_{0 < t_i <= T_j} d_i e^(-b_j t_i)),  b_j = r_j - q,

with one flat continuous yield q (a borrow, or any carry beyond the rates)
for every expiry of the group. For a given q the forwards are linear in the
amounts d_i (and in S, when the table gives no spot), so q is found by
minimising the least-squares residual over q, the amounts solved exactly at
each q (variable projection). Residuals are relative, (F_model - F) / F: the
log error of each forward, every expiry weighing alike.

What the forwards cannot tell apart is not reported as determined:
- a dividend after the last expiry with a forward (no forward sees it);
- dividends that share the interval between two expiries (only their sum
  moves the later forwards; a projected amount of one of them is held fixed,
  the others are fitted as one sum and reported as not determined);
- with the spot fitted, dividends before the first expiry (they move every
  forward as a lower spot does);
- every amount of a group whose forwards are fewer than its unknowns, or
  whose unknowns the forwards do not separate (a rank-deficient fit).
"""

from dataclasses import dataclass
from typing import Final

import numpy as np
from scipy.optimize import minimize_scalar  # type: ignore[import-untyped]

from ._arrays import Bools, Floats

# The yields q searched: a coarse scan over this range, refined around its best point.
_YIELD_RANGE: Final = (-1.0, 1.0)
_SCAN_POINTS: Final = 401
_YIELD_TOL: Final = 1e-13
# A fit whose scaled Jacobian has a singular value below this times its largest is rank-deficient.
_RANK_RTOL: Final = 1e-9


@dataclass(frozen=True)
class GroupFit:
    """Per ex-date, its fitted amount (NaN where not determined) and whether the forwards determine it; the
    fitted yield q (NaN where nothing is determined); per ex-date, the amount the fit priced it with (its
    share of a sum fitted for several, a projected amount held fixed; NaN where none)."""

    amounts: Floats
    determined: Bools
    borrow: float
    priced: Floats
    spread: Floats  # per determined ex-date, how far its amount moves with the forwards (NaN for the rest)


@dataclass(frozen=True)
class _Problem:
    """The linear parts of the fit: which ex-date each unknown amount column sums, and what is fixed."""

    years: Floats  # T_j of the expiries with a forward, ascending
    rates: Floats  # r_j
    forward: Floats  # F_j
    spot: float  # NaN: fitted
    ex_years: Floats  # t_i of every ex-date
    fixed: Floats  # per ex-date, an amount held fixed (0 where none)
    columns: list[list[int]]  # per unknown amount, the ex-dates it sums (equal shares)

    def design(self, q: float) -> tuple[Floats, Floats]:
        """The matrix and right-hand side of the relative residuals, linear in (S?, amounts), at yield q."""
        b = self.rates - q
        growth = np.exp(b * self.years)
        seen = self.ex_years[None, :] <= self.years[:, None]  # dividend i is in forward j
        drop = growth[:, None] * np.exp(-b[:, None] * self.ex_years[None, :]) * seen  # d F_j / d d_i, negated
        blocks = [drop[:, block].mean(axis=1) for block in self.columns]
        matrix = [-block / self.forward for block in blocks]
        rhs = 1.0 + drop @ self.fixed / self.forward
        if np.isnan(self.spot):
            matrix.insert(0, growth / self.forward)
        else:
            rhs -= growth * self.spot / self.forward
        return np.column_stack(matrix) if matrix else np.empty((len(self.years), 0)), rhs

    def solve(self, q: float) -> tuple[Floats, float]:
        """The unknowns' least-squares values at yield q, and the residual sum of squares."""
        matrix, rhs = self.design(q)
        if matrix.shape[1] == 0:
            return np.empty(0), float(rhs @ rhs)
        params = np.linalg.lstsq(matrix, rhs, rcond=None)[0]
        residual = matrix @ params - rhs
        return params, float(residual @ residual)

    def jacobian(self, q: float, params: Floats) -> Floats:
        """The relative residuals' derivatives in q (a forward difference) and in the other unknowns."""
        matrix, rhs = self.design(q)
        step = 1e-6
        matrix_up, rhs_up = self.design(q + step)
        d_residual_dq = ((matrix_up @ params - rhs_up) - (matrix @ params - rhs)) / step
        return np.column_stack([d_residual_dq, matrix])


def _separable(jacobian: Floats) -> bool:
    """Whether the forwards separate every unknown: the Jacobian, its columns scaled alike, of full rank."""
    scale = np.linalg.norm(jacobian, axis=0)
    if not np.all(scale > 0):
        return False
    singular = np.linalg.svd(jacobian / scale, compute_uv=False)
    return bool(singular[-1] > _RANK_RTOL * singular[0])


def _best_yield(problem: _Problem) -> float:
    """The yield of least residual: the best of a scan, refined by bounded Brent between its neighbours."""
    grid = np.linspace(*_YIELD_RANGE, _SCAN_POINTS)
    rss = np.array([problem.solve(q)[1] for q in grid])
    best = int(np.nanargmin(rss))
    lo, hi = grid[max(best - 1, 0)], grid[min(best + 1, len(grid) - 1)]
    found = minimize_scalar(
        lambda q: problem.solve(q)[1], bounds=(lo, hi), method="bounded", options={"xatol": _YIELD_TOL}
    )
    return float(found.x) if found.fun <= rss[best] else float(grid[best])


def fit_group(
    spot: float,
    years: Floats,
    discount: Floats,
    forward: Floats,
    ex_years: Floats,
    projected: Floats,
    forward_spread: Floats | None = None,
) -> GroupFit:
    """Each ex-date's amount from one group's forwards; see the module's docstring.

    ``spot`` NaN is fitted; ``projected`` holds each ex-date's projected
    amount (NaN where none), held fixed where the forwards cannot tell it
    from its neighbours. ``forward_spread``, per expiry, is how far its
    forward may be off (half its consistent range): each determined amount's
    ``spread`` is how far that moves it (linearised, the root sum of squares
    over the expiries), NaN where a spread is not finite.
    """
    spread_in = np.full(len(years), np.nan) if forward_spread is None else forward_spread
    usable = np.isfinite(forward) & (forward > 0) & (years > 0) & (discount > 0) & np.isfinite(discount)
    order = np.argsort(years[usable], kind="stable")
    T, D, F = years[usable][order], discount[usable][order], forward[usable][order]
    n = len(ex_years)
    nothing = GroupFit(np.full(n, np.nan), np.zeros(n, dtype=bool), float("nan"), projected.copy(), np.full(n, np.nan))
    if len(T) == 0:
        return nothing
    fitted_spot = not np.isfinite(spot)
    interval = np.searchsorted(T, ex_years, side="left")  # dividend i lies in (T[k-1], T[k]]
    live = (ex_years > 0) & (interval < len(T))
    fixed = np.zeros(n)
    columns: list[list[int]] = []
    candidates: list[int] = []  # the ex-dates a column of their own may determine
    for k in np.unique(interval[live]):
        members = [int(i) for i in np.flatnonzero(live & (interval == k))]
        absorbed = fitted_spot and k == 0  # a dividend before every forward reads as a lower spot
        if len(members) == 1 and not absorbed:
            columns.append(members)
            candidates.append(members[0])
            continue
        known = [i for i in members if np.isfinite(projected[i])]
        fixed[known] = projected[known]
        rest = [i for i in members if i not in known]
        if rest and not absorbed:
            columns.append(rest)
    problem = _Problem(T, -np.log(D) / T, F, spot, ex_years, fixed, columns)
    if len(T) < 1 + fitted_spot + len(columns):
        return nothing
    q = _best_yield(problem)
    params, _ = problem.solve(q)
    jacobian = problem.jacobian(q, params)
    if not _separable(jacobian):
        return nothing
    determined = np.zeros(n, dtype=bool)
    determined[candidates] = True
    priced, spread = projected.copy(), np.full(n, np.nan)
    # A forward off by dF moves its relative residual by -dF / F; the unknowns move by pinv(J) of that.
    moves = np.abs(np.linalg.pinv(jacobian) * (spread_in[usable][order] / F)[None, :])
    first = 1 + int(fitted_spot)  # q, and the spot where fitted, come before the amounts
    for k, column in enumerate(columns):
        priced[column] = params[first - 1 + k] / len(column)
        spread[column] = np.sqrt(np.sum(moves[first + k] ** 2))
    return GroupFit(np.where(determined, priced, np.nan), determined, q, priced, np.where(determined, spread, np.nan))
