"""How many native threads the ufunc loops of the calling thread use."""

import contextlib
import operator
import os
from collections.abc import Iterator
from typing import SupportsIndex

from . import _ufuncs

__all__ = ["available_cores", "workers"]


def available_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


@contextlib.contextmanager
def workers(n: SupportsIndex | None = None) -> Iterator[int]:
    """Native threads for the ufunc loops called from this thread.

    Within the block, the ufuncs of :mod:`velliq.baw` and
    :mod:`velliq.american` called from this thread split their loops over
    ``n`` native threads (every available core when None). Results are the
    same, bit for bit, for any ``n``. Yields ``n``.

    >>> with velliq.workers(2):
    ...     vols = velliq.baw.implied_vol(prices, S, K, D, F, is_call)
    """
    n = available_cores() if n is None else operator.index(n)
    previous = _ufuncs._set_workers(n)
    try:
        yield n
    finally:
        _ufuncs._set_workers(previous)
