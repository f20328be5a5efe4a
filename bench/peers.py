"""Peers that invert the same quotes: QuantLib (optional, the `bench` extra) and
the same algorithm written in plain Python over scipy.optimize.brentq.

QuantLib takes rates, yields, annual volatility and dates, so each quote is
converted: T from its expiry in days (Actual/365 Fixed), r = -ln D / T,
q = r - ln(F / S) / T, v = sigma / sqrt(T).
"""

import math

from scipy.optimize import brentq

try:
    import QuantLib as ql
except ImportError:  # the peers rows are skipped
    ql = None

QL_MIN_VOL, QL_MAX_VOL = 1e-7, 4.0  # QuantLib's own impliedVolatility bracket
# Brent's bracket in annual vol: at 1e-7 the BAW engine's critical-price Newton
# iteration breaks down for calls, so a user starts from 1 %.
BRENT_MIN_VOL = 0.01
ACCURACY = 1e-10  # the tolerance velliq's solver uses


# --- QuantLib -----------------------------------------------------------------


def ql_version():
    return None if ql is None else ql.__version__


class QuantLibOption:
    """One American option with its own quotes, curves, process and BAW engine."""

    def __init__(self, S, K, D, F, days, flag, vol):
        today = ql.Settings.instance().evaluationDate
        day_count = ql.Actual365Fixed()
        T = days / 365.0
        r = -math.log(D) / T
        q = r - math.log(F / S) / T
        self.vol = ql.SimpleQuote(vol)
        rates = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(ql.SimpleQuote(r)), day_count))
        dividends = ql.YieldTermStructureHandle(ql.FlatForward(today, ql.QuoteHandle(ql.SimpleQuote(q)), day_count))
        vols = ql.BlackVolTermStructureHandle(
            ql.BlackConstantVol(today, ql.NullCalendar(), ql.QuoteHandle(self.vol), day_count)
        )
        self.process = ql.BlackScholesMertonProcess(ql.QuoteHandle(ql.SimpleQuote(S)), dividends, rates, vols)
        side = ql.Option.Call if flag == "c" else ql.Option.Put
        self.option = ql.VanillaOption(ql.PlainVanillaPayoff(side, K), ql.AmericanExercise(today, today + int(days)))
        self.option.setPricingEngine(ql.BaroneAdesiWhaleyApproximationEngine(self.process))

    def npv(self, vol):
        self.vol.setValue(vol)
        return self.option.NPV()


def ql_setup():
    ql.Settings.instance().evaluationDate = ql.Date(2, 1, 2024)


def ql_options(chain, vols):
    ql_setup()
    columns = (
        chain.S.tolist(),
        chain.K.tolist(),
        chain.D.tolist(),
        chain.F.tolist(),
        chain.days.tolist(),
        chain.flags,
        list(vols),
    )
    return [QuantLibOption(*quote) for quote in zip(*columns)]


def ql_brent_implied_vols(options, prices, solver):
    """The strongest QuantLib route: Brent on the BAW engine's NPV, quotes updated in place."""
    out = []
    for option, price in zip(options, list(prices)):
        vol, npv = option.vol, option.option.NPV

        def objective(x):
            vol.setValue(x)
            return npv() - price

        try:
            out.append(solver.solve(objective, ACCURACY, 0.25, BRENT_MIN_VOL, QL_MAX_VOL))
        except Exception:  # not bracketed, or the engine failed inside the objective
            out.append(math.nan)
    return out


def ql_default_implied_vols(options, prices, accuracy=ACCURACY):
    """VanillaOption.impliedVolatility. For American exercise QuantLib ignores the option's
    BAW engine and inverts the price of its own FdBlackScholesVanillaEngine (default grid)."""
    out = []
    for option, price in zip(options, list(prices)):
        try:
            out.append(option.option.impliedVolatility(price, option.process, accuracy, 100, QL_MIN_VOL, QL_MAX_VOL))
        except Exception:
            out.append(math.nan)
    return out


# --- The same algorithm in plain Python ----------------------------------------


def norm_cdf(z):
    return 0.5 * math.erfc(-z * math.sqrt(0.5))


def black(K, D, F, sigma, call):
    d1 = math.log(F / K) / sigma + 0.5 * sigma
    d2 = d1 - sigma
    if call:
        return D * (F * norm_cdf(d1) - K * norm_cdf(d2))
    return D * (K * norm_cdf(-d2) - F * norm_cdf(-d1))


def baw_price(S, K, D, F, sigma, call):
    """Barone-Adesi-Whaley American price in forward terms (sigma = total std dev)."""
    if sigma <= 0:
        return max(S - K, 0.0) if call else max(K - S, 0.0)
    european = black(K, D, F, sigma, call)
    if D >= 1:
        return european
    carry = F / S
    sig2 = sigma * sigma
    n = 2 * math.log(carry) / sig2
    m = -2 * math.log(D) / sig2
    root = math.sqrt(max((n - 1) ** 2 + 4 * m / (1 - D), 0.0))
    if call:
        if carry * D >= 1:
            return european
        q2 = (-(n - 1) + root) / 2
        if q2 <= 0:
            return european

        def boundary(sc):
            fc = carry * sc
            d1 = math.log(fc / K) / sigma + 0.5 * sigma
            return black(K, D, fc, sigma, True) + sc * (1 - carry * D * norm_cdf(d1)) / q2 - (sc - K)

        lo = K + 1e-10
        if boundary(lo) <= 0:
            s_star = lo
        else:
            hi = 2 * K
            for _ in range(20):
                if boundary(hi) < 0:
                    s_star = brentq(boundary, lo, hi, xtol=1e-10, rtol=1e-10, maxiter=100, disp=False)
                    break
                hi *= 2
            else:
                s_star = hi
        if S >= s_star:
            return S - K
        d1 = math.log(carry * s_star / K) / sigma + 0.5 * sigma
        return european + (s_star / q2) * (1 - carry * D * norm_cdf(d1)) * (S / s_star) ** q2

    q1 = (-(n - 1) - root) / 2
    if q1 >= 0:
        return european

    def boundary(sc):
        fc = carry * sc
        d1 = math.log(fc / K) / sigma + 0.5 * sigma
        return (black(K, D, fc, sigma, False) - sc * (1 - carry * D * norm_cdf(-d1)) / q1) - (K - sc)

    lo, hi = 1e-10, K - 1e-10
    if boundary(hi) <= 0:
        s_star = hi
    elif boundary(lo) >= 0:
        s_star = lo
    else:
        s_star = brentq(boundary, lo, hi, xtol=1e-10, rtol=1e-10, maxiter=100, disp=False)
    if S <= s_star:
        return K - S
    d1 = math.log(carry * s_star / K) / sigma + 0.5 * sigma
    return european - (s_star / q1) * (1 - carry * D * norm_cdf(-d1)) * (S / s_star) ** q1


def baw_implied_vol(price, S, K, D, F, call):
    """Total std dev reproducing `price`; 0.0 without time value, NaN without a bracket."""
    intrinsic = max(S - K, 0.0) if call else max(K - S, 0.0)
    if price <= intrinsic + 1e-10:
        return 0.0
    hi = 1.0
    while price > baw_price(S, K, D, F, hi, call) and hi < 10.0:
        hi *= 2
    if hi >= 10.0:
        return math.nan

    def objective(sigma):
        return baw_price(S, K, D, F, sigma, call) - price

    if objective(1e-8) * objective(hi) > 0:
        return math.nan
    return brentq(objective, 1e-8, hi, xtol=1e-10, rtol=1e-10, maxiter=200, disp=False)


def python_implied_vols(chain):
    columns = (
        chain.prices.tolist(),
        chain.S.tolist(),
        chain.K.tolist(),
        chain.D.tolist(),
        chain.F.tolist(),
        [flag == "c" for flag in chain.flags],
    )
    return [baw_implied_vol(*quote) for quote in zip(*columns)]
