"""velliq: American option prices, implied volatilities and sensitivities.

- :mod:`velliq.baw`: Barone-Adesi-Whaley prices, implied volatilities and
  Greeks as NumPy ufuncs.
- :func:`velliq.sides`, :func:`velliq.forward_terms`: the inputs from what
  desks hold (side labels; rates, dividend yields and years).
- :func:`velliq.workers`: native threads for the ufunc loops;
  :func:`velliq.implied_vol_parallel`: one chain on every core.
- :mod:`velliq.norvane`: the scalar, batch and forward-finder functions.
"""

import importlib

__all__ = ["baw", "forward_terms", "implied_vol_parallel", "sides", "workers"]

# Each name is imported on first use, so that importing the package alone
# loads nothing compiled.
_LAZY = {
    "baw": ("velliq.baw", None),
    "forward_terms": ("velliq._terms", "forward_terms"),
    "implied_vol_parallel": ("velliq.parallel", "implied_vol_parallel"),
    "sides": ("velliq._sides", "sides"),
    "workers": ("velliq._threads", "workers"),
}


def __getattr__(name):
    if name in _LAZY:
        module_name, attribute = _LAZY[name]
        module = importlib.import_module(module_name)
        return module if attribute is None else getattr(module, attribute)
    if name == "__version__":  # the installed distribution's, as pyproject.toml sets it
        from importlib.metadata import version

        return version("velliq")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted([*globals(), *_LAZY, "__version__"])
