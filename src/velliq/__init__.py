"""velliq: American option prices, implied volatilities and sensitivities.

Two models, each as NumPy ufuncs with the same arguments in forward terms:

- :mod:`velliq.baw`: the Barone-Adesi-Whaley (1987) approximation, fast.
- :mod:`velliq.american`: the accurate price (Andersen, Lake & Offengelden
  2016), in three accuracy settings.
- :mod:`velliq.dividends`: the accurate price with cash dividends at known
  ex-dates, generalized ufuncs over each option's schedule.

Around them:

- :mod:`velliq.chain`: a pandas quote table in, forwards, implied
  volatilities and statuses out, by either model (``velliq vols`` on the
  command line); needs the ``chain`` extra.
- :mod:`velliq.dask`: the same on Dask arrays and DataFrames.
- :mod:`velliq.surface`: an arbitrage-free vol surface fitted inside the
  quotes' bid/ask vols (:func:`velliq.chain.surface` per quote table).
- :func:`velliq.sides`, :func:`velliq.forward_terms`: the inputs from what
  desks hold (side labels; rates, dividend yields and years).
- :func:`velliq.workers`: native threads for the ufunc loops;
  :func:`velliq.implied_vol_parallel`: one chain on every core.
- :mod:`velliq.norvane`: the core's scalar, batch and forward-finder
  functions (Barone-Adesi-Whaley).
"""

import importlib
from typing import TYPE_CHECKING

__all__ = ["american", "baw", "dividends", "forward_terms", "implied_vol_parallel", "sides", "surface", "workers"]

# Each name is imported on first use, so that importing the package alone
# loads nothing compiled (nor NumPy, pandas or matplotlib).
_LAZY = {
    "american": ("velliq.american", None),
    "baw": ("velliq.baw", None),
    "chain": ("velliq.chain", None),
    "dividends": ("velliq.dividends", None),
    "forward_terms": ("velliq._terms", "forward_terms"),
    "implied_vol_parallel": ("velliq.parallel", "implied_vol_parallel"),
    "sides": ("velliq._sides", "sides"),
    "surface": ("velliq.surface", None),
    "workers": ("velliq._threads", "workers"),
}


def _lazy_attribute(name: str) -> object:
    if name in _LAZY:
        module_name, attribute = _LAZY[name]
        module = importlib.import_module(module_name)
        return module if attribute is None else getattr(module, attribute)
    if name == "__version__":  # the installed distribution's, as pyproject.toml sets it
        from importlib.metadata import version

        return version("velliq")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


if TYPE_CHECKING:
    # Type checkers see the same names imported: a module __getattr__ would
    # make any other name pass for an attribute too.
    from . import american as american
    from . import baw as baw
    from . import chain as chain
    from . import dividends as dividends
    from . import surface as surface
    from ._sides import sides as sides
    from ._terms import forward_terms as forward_terms
    from ._threads import workers as workers
    from .parallel import implied_vol_parallel as implied_vol_parallel

    __version__: str
else:
    __getattr__ = _lazy_attribute


def __dir__() -> list[str]:
    return sorted([*globals(), *_LAZY, "__version__"])
