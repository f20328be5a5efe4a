# The compiled ufunc module: each pricing kernel as a NumPy ufunc (most of six
# inputs: S, K, D, F, sigma or the price, is_call); velliq.baw and
# velliq.american publish them under their own names.
import numpy as np

baw_price: np.ufunc
baw_implied_vol: np.ufunc
baw_greeks: np.ufunc
american_price: np.ufunc
american_implied_vol: np.ufunc
american_greeks: np.ufunc
american_price_fast: np.ufunc
american_implied_vol_fast: np.ufunc
american_greeks_fast: np.ufunc
american_price_high: np.ufunc
american_implied_vol_high: np.ufunc
american_greeks_high: np.ufunc
baw_implied_vol_reason: np.ufunc
baw_forward_pair: np.ufunc
american_implied_vol_reason: np.ufunc
american_forward_pair: np.ufunc
american_implied_vol_reason_fast: np.ufunc
american_forward_pair_fast: np.ufunc
american_implied_vol_reason_high: np.ufunc
american_forward_pair_high: np.ufunc
time_value: np.ufunc  # (price, S, K, is_call): the price less its exercise value

# The names of the reason codes of the *_reason and *_forward_pair ufuncs, by code.
REASONS: tuple[str, ...]

# Sets the native threads of the calling thread's ufunc loops; returns the previous count.
def _set_workers(n: int, /) -> int: ...
