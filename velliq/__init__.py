"""velliq: American option prices and implied volatilities (Barone-Adesi-Whaley).

The compiled functions live in :mod:`velliq.norvane`; ``velliq.implied_vol_parallel``
inverts one chain on every core.
"""

__all__ = ["implied_vol_parallel"]


def __getattr__(name):
    # Imported on first use, so that importing the package alone loads nothing.
    if name == "implied_vol_parallel":
        from .parallel import implied_vol_parallel

        return implied_vol_parallel
    if name == "__version__":  # the installed distribution's, as pyproject.toml sets it
        from importlib.metadata import version

        return version("velliq")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
