"""A synthetic chain on two dividend-paying underlyings, priced by the cash-dividend
model (velliq.dividends at the setting velliq.chain uses, ``default``), with the
truth it was priced at.

Expiries fall before, on and a week after ex-dates; each underlying has a
residual yield (a borrow) on top of its dividends. Every quote is priced at its
own volatility (a smile in ln K/F) and quoted 3 % of its price either side, so
its mid is the price.
"""

import numpy as np
import pandas as pd

VALUATION = pd.Timestamp("2026-01-05")
RATE = 0.04
YEAR_DAYS = 365.0
HALF_SPREAD = 0.03  # of the price, either side

# spot, residual yield (borrow), at-the-money vol, amount per dividend, ex-dates
UNDERLYINGS = {
    "ACME": (100.0, 0.002, 0.25, 1.0, ("2026-02-13", "2026-05-15", "2026-08-14", "2026-11-13")),
    "BOLT": (50.0, 0.01, 0.35, 0.75, ("2026-03-20", "2026-09-18")),
}
# Before any ex-date; on ACME's first; a week after it; on BOLT's first; between ex-dates; after several.
EXPIRIES = ("2026-01-16", "2026-02-13", "2026-02-20", "2026-03-20", "2026-06-19", "2026-12-18")
MONEYNESS = np.round(np.arange(0.8, 1.2001, 0.05), 2)


def dividend_table() -> pd.DataFrame:
    """The dividends: columns underlying, ex_date (text), amount."""
    rows = [(name, day, amount) for name, (_, _, _, amount, days) in UNDERLYINGS.items() for day in days]
    return pd.DataFrame(rows, columns=["underlying", "ex_date", "amount"])


def smile(vol: float, K: np.ndarray, F: float) -> np.ndarray:
    """The volatility each strike is priced at."""
    x = np.log(K / F)
    return vol - 0.05 * x + 0.2 * x * x


def schedule(ex_dates: tuple[str, ...], amount: float, expiry: pd.Timestamp) -> tuple[np.ndarray, np.ndarray]:
    """Years to each ex-date after the valuation date and on or before ``expiry``, and the amounts."""
    days = np.array([(pd.Timestamp(day) - VALUATION).days for day in ex_dates], dtype=float)
    paid = (days > 0) & (days <= (expiry - VALUATION).days)
    return days[paid] / YEAR_DAYS, np.full(int(paid.sum()), amount)


def dividend_chain() -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    """(quotes, dividends, truth): the quotes (underlying, expiry, strike, side, bid, ask, spot);
    the dividend table; per quote its true vol and forward, and its expiry's dividends' count."""
    from velliq.dividends import default

    quotes, truth = [], []
    for name, (spot, borrow, vol, amount, ex_dates) in UNDERLYINGS.items():
        for text in EXPIRIES:
            expiry = pd.Timestamp(text)
            T = (expiry - VALUATION).days / YEAR_DAYS
            t, d = schedule(ex_dates, amount, expiry)
            carry = RATE - borrow
            F = spot * np.exp(carry * T) - float(np.sum(d * np.exp(carry * (T - t))))
            K = np.round(spot * MONEYNESS, 2)
            for is_call in (True, False):
                vols = smile(vol, K, F)
                price = default.price(spot, K, np.exp(-RATE * T), F, vols * np.sqrt(T), is_call, t / T, d)
                quotes.append(
                    pd.DataFrame(
                        {
                            "underlying": name,
                            "expiry": text,
                            "strike": K,
                            "side": "C" if is_call else "P",
                            "bid": price * (1 - HALF_SPREAD),
                            "ask": price * (1 + HALF_SPREAD),
                            "spot": spot,
                        }
                    )
                )
                truth.append(pd.DataFrame({"vol": vols, "forward": F, "dividends": len(t), "borrow": borrow}))
    return pd.concat(quotes, ignore_index=True), dividend_table(), pd.concat(truth, ignore_index=True)
