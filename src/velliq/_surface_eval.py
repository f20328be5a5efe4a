"""The surface's prices at any (k, T), from its slices (_surface_grid).

Between two expiries c(k, T) is linear in T at fixed k: a convex combination of two
convex, calendar-ordered functions, so neither butterfly nor calendar arbitrage. Before
the first expiry the first slice's law is shrunk towards the forward,
X_T = 1 + lam (X_1 - 1) with lam = sqrt(T / T_1): c(k, T) = lam c_1(1 + (k - 1) / lam),
a martingale law growing in convex order with T, ATM variance linear in T. After the
last, X_T = X_N Z with Z = 1 +- a (equal odds), a = sqrt(1 - exp(-v (T - T_N))) and v
the last slice's ATM variance rate: E phi(X (1 + a Z)) is convex and even in a, so
growing in a: the convex order grows with T, and X_T stays positive.
"""

from __future__ import annotations

import numpy as np

from ._surface_grid import Floats


class SliceSet:
    """The slices' densities with their tails, evaluated anywhere in k."""

    def __init__(self, grid: Floats, density: Floats, tails: tuple[Floats, Floats, Floats, Floats]):
        self.grid = grid
        self.density = density
        self.call, self.call_slope, self.put, self.put_slope = tails

    def otm(self, n: np.ndarray, k: Floats, call: np.ndarray) -> tuple[Floats, Floats, Floats]:
        """Slice n's call (where ``call``) or put at k: price, slope in k, density."""
        grid = self.grid
        j = np.clip(np.searchsorted(grid, k, side="right") - 1, 0, grid.size - 2)
        h = grid[j + 1] - grid[j]
        inside = (k > grid[0]) & (k < grid[-1])
        t = np.where(inside, k - grid[j], 0.0)
        p0, p1 = self.density[n, j], self.density[n, j + 1]
        right = k >= 1.0
        base = np.where(right, self.call[n, j], self.put[n, j])
        slope = np.where(right, self.call_slope[n, j], self.put_slope[n, j])
        value = base + slope * t + p0 * t * t / 2.0 + (p1 - p0) * t**3 / (6.0 * h)
        d1 = slope + p0 * t + (p1 - p0) * t * t / (2.0 * h)
        dens = np.where(inside, p0 + (p1 - p0) * t / h, 0.0)
        below, above = k <= grid[0], k >= grid[-1]
        # Outside the support: the call is 1 - k below, 0 above; the put 0 below, k - 1 above.
        value = np.where(below, np.where(right, 1.0 - k, 0.0), value)
        value = np.where(above, np.where(right, 0.0, k - 1.0), value)
        d1 = np.where(below, np.where(right, -1.0, 0.0), d1)
        d1 = np.where(above, np.where(right, 0.0, 1.0), d1)
        # The other side by parity: call = put + 1 - k, put = call - (1 - k).
        value = value + np.where(call & ~right, 1.0 - k, 0.0) - np.where(~call & right, 1.0 - k, 0.0)
        d1 = d1 - np.where(call & ~right, 1.0, 0.0) + np.where(~call & right, 1.0, 0.0)
        return value, d1, dens


def terms_at(years: Floats, forward: Floats, discount: Floats, T: Floats) -> tuple[Floats, Floats]:
    """Forward and discount factor at T: ln F and ln D linear in T between expiries,
    extended along the nearest segment (ln D through 0 at T = 0 before the first)."""
    lf, ld = np.log(forward), np.log(discount)
    if years.size == 1:
        return np.full(T.shape, forward[0]), np.exp(ld[0] * T / years[0])
    i = np.clip(np.searchsorted(years, T, side="right") - 1, 0, years.size - 2)
    w = (T - years[i]) / (years[i + 1] - years[i])
    F = np.exp(lf[i] + w * (lf[i + 1] - lf[i]))
    D = np.exp(ld[i] + w * (ld[i + 1] - ld[i]))
    D = np.where(T < years[0], np.exp(ld[0] * T / years[0]), D)
    return F, D


def price_at(
    slices: SliceSet, years: Floats, atm_rate: float, k: Floats, T: Floats, call: np.ndarray
) -> tuple[Floats, Floats, Floats, Floats]:
    """The normalised call (``call``) or put at (k, T): value, slope in k, density in k
    and the value's derivative in T at fixed k."""
    last = years.size - 1
    n = np.clip(np.searchsorted(years, T, side="right") - 1, 0, max(last - 1, 0))
    before, after = T < years[0], T > years[last]
    # Between expiries (and exactly at them).
    n1 = np.minimum(n + 1, last)
    span = np.where(n1 > n, years[n1] - years[n], 1.0)
    w = np.clip(np.where(n1 > n, (T - years[n]) / span, 0.0), 0.0, 1.0)
    v0, s0, p0 = slices.otm(n, k, call)
    v1, s1, p1 = slices.otm(n1, k, call)
    value = v0 + w * (v1 - v0)
    slope = s0 + w * (s1 - s0)
    dens = p0 + w * (p1 - p0)
    dT = np.where(n1 > n, (v1 - v0) / span, 0.0)
    # Before the first: the first slice shrunk towards the forward.
    lam = np.sqrt(np.clip(T / years[0], 1e-300, 1.0))
    kb = 1.0 + (k - 1.0) / lam
    vb, sb, pb = slices.otm(np.zeros_like(n), kb, call)
    dlam = lam / (2.0 * np.maximum(T, 1e-300))
    value = np.where(before, lam * vb, value)
    slope = np.where(before, sb, slope)
    dens = np.where(before, pb / lam, dens)
    dT = np.where(before, dlam * (vb - (kb - 1.0) * sb), dT)
    # After the last: the last slice spread by Z = 1 +- a.
    tau = np.maximum(T - years[last], 0.0)
    growth = -np.expm1(-atm_rate * tau)
    a = np.sqrt(growth)
    ku, kd = k / (1.0 + a), k / (1.0 - a)
    full = np.full_like(n, last)
    vu, su, pu = slices.otm(full, ku, call)
    vd, sd, pd = slices.otm(full, kd, call)
    da = np.where(a > 0, atm_rate * (1.0 - growth) / (2.0 * np.maximum(a, 1e-300)), 0.0)
    value = np.where(after, 0.5 * (1.0 + a) * vu + 0.5 * (1.0 - a) * vd, value)
    slope = np.where(after, 0.5 * (su + sd), slope)
    dens = np.where(after, 0.5 * pu / (1.0 + a) + 0.5 * pd / (1.0 - a), dens)
    dT = np.where(after, da * 0.5 * ((vu - ku * su) - (vd - kd * sd)), dT)
    return value, slope, dens, dT


def black_otm(k: Floats, sigma: Floats) -> Floats:
    """Black's normalised out-of-the-money price (forward 1, undiscounted) at moneyness k
    and total standard deviation sigma: the call for k >= 1, the put below."""
    from scipy.special import ndtr  # type: ignore[import-untyped]

    with np.errstate(divide="ignore", invalid="ignore"):
        d1 = -np.log(k) / sigma + sigma / 2.0
        d2 = d1 - sigma
        call = ndtr(d1) - k * ndtr(d2)
        put = k * ndtr(-d2) - ndtr(-d1)
    value = np.where(k >= 1.0, call, put)
    return np.where(sigma > 0, value, 0.0)


def implied_sigma(k: Floats, otm_price: Floats) -> Floats:
    """The total standard deviation whose Black out-of-the-money price is ``otm_price``:
    Newton on the price's logarithm inside a shrinking bracket (bisection where Newton
    would leave it). 0 for no time value, NaN for a price above the forward's bound."""
    k, target = np.broadcast_arrays(np.asarray(k, np.float64), np.asarray(otm_price, np.float64))
    bound = np.where(k >= 1.0, 1.0, k)
    lo = np.full(k.shape, 1e-12)
    hi = np.full(k.shape, 20.0)
    x = np.sqrt(2.0 * np.abs(np.log(np.where(k > 0, k, 1.0)))) + 0.2
    with np.errstate(all="ignore"):
        log_target = np.log(target)
        for _ in range(80):
            b = black_otm(k, x)
            f = np.log(b) - log_target
            lo = np.where(f < 0, x, lo)
            hi = np.where(f >= 0, x, hi)
            d1 = -np.log(k) / x + x / 2.0
            vega = np.exp(-0.5 * d1 * d1) / np.sqrt(2.0 * np.pi)
            step = f * b / vega
            nxt = x - step
            nxt = np.where((nxt > lo) & (nxt < hi) & np.isfinite(nxt), nxt, 0.5 * (lo + hi))
            if np.all(np.abs(nxt - x) <= 1e-15 * np.maximum(x, 1e-300)):
                x = nxt
                break
            x = nxt
    out = np.where(target > 0, x, 0.0)
    out = np.where(target < bound, out, np.nan)
    return np.where(np.isnan(target) | np.isnan(k) | (k <= 0), np.nan, out)
