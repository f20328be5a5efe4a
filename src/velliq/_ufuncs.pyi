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
dividend_carry: np.ufunc  # (S, F, fractions, amounts): the carry b the forward leaves beside the dividends

# velliq.surface's generalized ufuncs (kernels/surface/). The queries take (K, T, grid,
# terms, slices, atm_rate): grid (n), terms (5, s), slices (6, s, n), C-contiguous.
surface_implied_vol: np.ufunc
surface_total_variance: np.ufunc
surface_call_price: np.ufunc
surface_put_price: np.ufunc
surface_density: np.ufunc
surface_local_vol: np.ufunc
surface_tails: np.ufunc  # (grid, density) -> (call, call_slope, put, put_slope)
surface_black_sigma: np.ufunc  # (k, out-of-the-money price, start) -> total std dev
surface_fit_slice: np.ufunc  # (grid, quotes (5, m), neighbours (5, n), options (2)) -> (density, softened)

# The names of the reason codes of the *_reason and *_forward_pair ufuncs, by code.
REASONS: tuple[str, ...]

# The most native threads _set_workers takes.
MAX_WORKERS: int

# Sets the native threads of the calling thread's ufunc loops; returns the previous count
# (ValueError outside 1 to MAX_WORKERS).
def _set_workers(n: int, /) -> int: ...
