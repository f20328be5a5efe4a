# The compiled ufunc module: each model's kernels at each setting as NumPy ufuncs,
# named <model>_<result>[_<setting>] (price, implied_vol, greeks, implied_vol_reason,
# forward_pair), which velliq._models reads by name; velliq.baw and velliq.american
# publish them under their own names. The american_dividends_* ufuncs are generalized
# ufuncs taking each option's schedule (fractions, amounts; core dimension n) after the
# other inputs, with american_dividends_amount_sensitivity[_<setting>] besides
# (velliq.dividends).
import numpy as np

# A model's ufunc, by its registered name.
def __getattr__(name: str) -> np.ufunc: ...

time_value: np.ufunc  # (price, S, K, is_call): the price less its exercise value

# The names of the reason codes of the *_reason and *_forward_pair ufuncs, by code.
REASONS: tuple[str, ...]

# The most native threads _set_workers takes.
MAX_WORKERS: int

# Sets the native threads of the calling thread's ufunc loops; returns the previous count
# (ValueError outside 1 to MAX_WORKERS).
def _set_workers(n: int, /) -> int: ...
