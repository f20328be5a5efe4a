import numpy as np

__all__ = ["REASONS", "forward_pair", "greeks", "implied_vol", "implied_vol_reason", "price"]

REASONS: tuple[str, ...]
forward_pair: np.ufunc
greeks: np.ufunc
implied_vol: np.ufunc
implied_vol_reason: np.ufunc
price: np.ufunc
