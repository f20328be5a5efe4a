from .parallel import implied_vol_parallel as implied_vol_parallel

__all__ = ["implied_vol_parallel"]
__version__: str
