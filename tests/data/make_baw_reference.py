"""Writes tests/data/normal_reference.csv and tests/data/baw_reference.csv: the standard
normal distribution and the Barone-Adesi-Whaley (1987) American approximation evaluated
with mpmath at 50 significant digits, the reference of tests/test_kernels.py. Run by hand
(a few minutes); the tests read the committed tables and never need mpmath:

    pip install '.[reference]' && python tests/data/make_baw_reference.py

Every input is a double, written exactly (repr), and taken exactly; only the results are
rounded, to the nearest double.

normal_reference.csv: Phi(z) (mpmath.ncdf) and phi(z) (mpmath.npdf), z from -37 (Phi near
the smallest normal double) to 8.5.

baw_reference.csv: the approximation in forward terms, as Barone-Adesi & Whaley (1987)
publish it with e^(-rT) = D, e^(bT) = F / S and v sqrt(T) = sigma (T cancels):
  black     the Black (1976) price D (F N(d1) - K N(d2)) of a call, D (K N(-d2) - F N(-d1))
            of a put;
  black_terms  D (F N(d1) + K N(d2)) of a call, D (K N(-d2) + F N(-d1)) of a put: the size of
            the two terms the price is the difference of, the scale of its rounding error;
  exponent  q2 = (1 - N + sqrt((N - 1)^2 + 4 M / k)) / 2 of a call, q1 (the minus root) of a
            put, with N = 2 ln(F / S) / sigma^2, M = -2 ln(D) / sigma^2, k = 1 - D;
  critical  the critical spot price, the root of
              call: S* - K = c(S*) + (1 - (F/S) D N(d1(S*))) S* / q2
              put:  K - S** = p(S**) - (1 - (F/S) D N(-d1(S**))) S** / q1
            (d1 and the European price at the forward (F/S) S*), bracketed and solved to 50
            digits; empty where early exercise never pays (D >= 1; a call with D F >= S);
  price     the Black price plus the premium A2 (S/S*)^q2 (call, S < S*) or A1 (S/S**)^q1
            (put, S > S**), the exercise value beyond the critical price, and never below
            the exercise value;
  price_per_critical  the price's derivative in the critical price (the premium's, where it
            is paid; 0 where the price is the exercise value);
  implied   the sigma at which `price` (the double in the table) is the exact price of the
            row, solved to 50 digits; empty where the price has no time value to speak of
            (vega below 0.01 or price within 1e-10 of the exercise value).
Rows: spot 80, 100, 120, strike 100, D 0.9, 0.98, 1, F / S 0.97, 0.99, 1.04, sigma 0.05,
0.2, 0.6, 1.5, calls and puts; then a few far from the money, at long dates and large sigma.
"""

import csv
import itertools
import pathlib

import mpmath as mp

mp.mp.dps = 50
HERE = pathlib.Path(__file__).parent
Z = [-37.0, -30.0, -25.0, -20.0, -15.0, -12.5, -10.5, -10.0, -9.999999999999998, -9.5, -8.0, -6.5]
Z += [-5.0, -3.3, -2.0, -1.0, -0.5, -1e-3, 0.0, 1e-3, 0.7, 1.0, 2.5, 3.0, 5.0, 8.5]
GRID = [
    (S, 100.0, D, S * carry, sigma, side)
    for S, D, carry, sigma, side in itertools.product(
        [80.0, 100.0, 120.0], [0.9, 0.98, 1.0], [0.97, 0.99, 1.04], [0.05, 0.2, 0.6, 1.5], ["call", "put"]
    )
]
EXTRA = [
    (100.0, 200.0, 0.95, 101.0, 0.3, "call"),
    (100.0, 40.0, 0.95, 101.0, 0.3, "put"),
    (100.0, 100.0, 0.5, 100.0, 2.5, "call"),
    (100.0, 100.0, 0.5, 100.0, 2.5, "put"),
    (50.0, 100.0, 0.7, 45.0, 1.2, "put"),
    (150.0, 100.0, 0.7, 140.0, 1.2, "call"),
    (100.0, 100.0, 0.99, 97.0, 0.01, "call"),
    (100.0, 100.0, 0.99, 101.0, 0.01, "put"),
]


def N(x):
    return mp.ncdf(x)


def black(K, D, F, sigma, call):
    d1 = mp.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    return D * (F * N(d1) - K * N(d2)) if call else D * (K * N(-d2) - F * N(-d1))


def black_terms(K, D, F, sigma, call):
    d1 = mp.log(F / K) / sigma + sigma / 2
    d2 = d1 - sigma
    return D * (F * N(d1) + K * N(d2)) if call else D * (K * N(-d2) + F * N(-d1))


def exponent(D, carry, sigma, call):
    big_n, big_m, k = 2 * mp.log(carry) / sigma**2, -2 * mp.log(D) / sigma**2, 1 - D
    root = mp.sqrt((big_n - 1) ** 2 + 4 * big_m / k)
    return (1 - big_n + root) / 2 if call else (1 - big_n - root) / 2


def critical(K, D, carry, sigma, q, call):
    """The critical spot price: the root of the value-matching equation, bracketed."""

    def gap(x):
        d1 = mp.log(carry * x / K) / sigma + sigma / 2
        european = black(K, D, carry * x, sigma, call)
        if call:
            return european + (1 - carry * D * N(d1)) * x / q - (x - K)
        return european - (1 - carry * D * N(-d1)) * x / q - (K - x)

    if call:
        lo, hi = K, 2 * K
        while gap(hi) >= 0 and hi < 2**21 * K:
            lo, hi = hi, 2 * hi
    else:
        lo, hi = K * mp.mpf("1e-30"), K
    assert gap(lo) * gap(hi) < 0, (K, D, carry, sigma, call)
    return mp.findroot(gap, (lo, hi), solver="anderson")


def premium(S, K, D, carry, sigma, q, star, call):
    """A2 (S/S*)^q2 of a call, A1 (S/S**)^q1 of a put, for a critical price `star`."""
    d1 = mp.log(carry * star / K) / sigma + sigma / 2
    coefficient = star / q * (1 - carry * D * N(d1)) if call else -star / q * (1 - carry * D * N(-d1))
    return coefficient * (S / star) ** q


def american(S, K, D, F, sigma, call):
    """(exponent, critical, price, slope) of the approximation, slope the price's derivative
    in the critical price; None for the first two where early exercise never pays."""
    european, carry = black(K, D, F, sigma, call), F / S
    exercise = max(S - K, 0) if call else max(K - S, 0)
    if D >= 1 or (call and carry * D >= 1):
        return None, None, max(european, exercise), None
    q = exponent(D, carry, sigma, call)
    star = critical(K, D, carry, sigma, q, call)
    if (S >= star) if call else (S <= star):
        return q, star, exercise, 0
    price = european + premium(S, K, D, carry, sigma, q, star, call)
    if price <= exercise:
        return q, star, exercise, 0
    return q, star, price, mp.diff(lambda x: premium(S, K, D, carry, sigma, q, x, call), star)


def implied(quote, S, K, D, F, sigma, call):
    """The sigma that prices the double `quote` exactly; None without time value."""
    exercise = max(S - K, 0) if call else max(K - S, 0)
    h = mp.mpf("1e-20")
    vega = (american(S, K, D, F, sigma + h, call)[2] - american(S, K, D, F, sigma - h, call)[2]) / (2 * h)
    if quote <= exercise + mp.mpf(1e-10) or vega < mp.mpf("0.01"):
        return None
    return mp.findroot(lambda s: american(S, K, D, F, s, call)[2] - quote, (sigma, sigma * (1 + 1e-6)))


def text(x):
    return "" if x is None else repr(float(x))


def write_normal():
    with (HERE / "normal_reference.csv").open("w", newline="") as f:
        f.write(
            f"# mpmath {mp.__version__} ncdf and npdf at {mp.mp.dps} digits; see tests/data/make_baw_reference.py\n"
        )
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(["z", "cdf", "pdf"])
        for z in Z:
            writer.writerow([repr(z), text(N(mp.mpf(z))), text(mp.npdf(mp.mpf(z)))])


def write_baw():
    with (HERE / "baw_reference.csv").open("w", newline="") as f:
        f.write(
            f"# mpmath {mp.__version__} at {mp.mp.dps} digits, Barone-Adesi & Whaley (1987) in forward terms;"
            " see tests/data/make_baw_reference.py\n"
        )
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(
            [
                "S",
                "K",
                "D",
                "F",
                "sigma",
                "side",
                "black",
                "black_terms",
                "exponent",
                "critical",
                "price",
                "price_per_critical",
                "implied",
            ]
        )
        for row in GRID + EXTRA:
            S, K, D, F, sigma = (mp.mpf(x) for x in row[:5])
            call = row[5] == "call"
            q, star, price, slope = american(S, K, D, F, sigma, call)
            vol = implied(mp.mpf(float(price)), S, K, D, F, sigma, call)
            values = [black(K, D, F, sigma, call), black_terms(K, D, F, sigma, call), q, star, price, slope, vol]
            writer.writerow([*(repr(x) for x in row[:5]), row[5], *(text(x) for x in values)])


if __name__ == "__main__":
    write_normal()
    write_baw()
