"""Where each setting of velliq.american meets its stated price error: the
inputs measured against QuantLib by bench/american_domain.py, in the model's
own terms (total volatility sigma, r T = -ln D, q T = r T - ln(F/S))."""

from typing import Final, NamedTuple

import numpy as np
import numpy.typing as npt


class VerifiedDomain(NamedTuple):
    max_sigma: float  # total volatility, vol * sqrt(T)
    max_rate: float  # largest |r T| and |q T|
    max_rate_per_sigma: float  # largest |r T| and |q T| per unit of sigma: small
    # volatility under large rates makes the boundary too steep for the scheme's nodes


# Rounded down from the largest boxes free of errors on bench/american_domain.py's
# grid (QuantLib 1.44): fast is off from |r T| = 1.26 sigma, default from 2.24
# sigma, high from |r T| = 4; all three at sigma 6.9.
VERIFIED_DOMAINS: Final = {
    "fast": VerifiedDomain(max_sigma=3.0, max_rate=3.0, max_rate_per_sigma=1.2),
    "default": VerifiedDomain(max_sigma=3.0, max_rate=3.0, max_rate_per_sigma=2.0),
    "high": VerifiedDomain(max_sigma=3.0, max_rate=3.0, max_rate_per_sigma=np.inf),
}


def in_verified_domain(
    S: npt.ArrayLike,
    K: npt.ArrayLike,
    D: npt.ArrayLike,
    F: npt.ArrayLike,
    sigma: npt.ArrayLike,
    setting: str = "default",
) -> npt.NDArray[np.bool_]:
    """True where ``velliq.american.SETTINGS[setting].price(S, K, D, F, sigma, is_call)``
    has been measured to meet the setting's stated error (docs: accuracy). ``K``
    does not change the answer; it gives the result the price's shape. False
    where any input is NaN or not positive."""
    if setting not in VERIFIED_DOMAINS:
        raise ValueError(f"setting must be one of {sorted(VERIFIED_DOMAINS)}, not {setting!r}")
    domain = VERIFIED_DOMAINS[setting]
    S, K, D, F, sigma = np.broadcast_arrays(*(np.asarray(x, dtype=np.float64) for x in (S, K, D, F, sigma)))
    with np.errstate(divide="ignore", invalid="ignore"):
        valid = (S > 0) & (K > 0) & (D > 0) & (F > 0) & (sigma > 0)
        rate = np.abs(np.log(D))  # |r T|
        dividend = np.abs(np.log(D) + np.log(F / S))  # |q T|
        largest = np.maximum(rate, dividend)
        inside = (
            (sigma <= domain.max_sigma) & (largest <= domain.max_rate) & (largest <= domain.max_rate_per_sigma * sigma)
        )
    return np.asarray(valid & inside)
