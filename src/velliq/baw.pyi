import numpy as np

__all__ = ["greeks", "implied_vol", "price"]

greeks: np.ufunc
implied_vol: np.ufunc
price: np.ufunc
