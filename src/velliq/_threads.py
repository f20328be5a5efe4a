"""How many native threads the ufunc loops of the calling thread use."""

import contextlib
import operator
import os
from collections.abc import Iterator
from typing import Final, SupportsIndex

from . import _ufuncs

__all__ = ["MAX_WORKERS", "available_cores", "workers"]

MAX_WORKERS: Final[int] = _ufuncs.MAX_WORKERS  # the most native threads one thread's loops use


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
    ``n`` native threads (every available core when None, at most
    ``MAX_WORKERS``). Results are the same, bit for bit, for any ``n``.
    Yields ``n``; on leaving the block, the thread's count is the one before
    it, however blocks nest.

    Raises ``ValueError`` unless ``1 <= n <= MAX_WORKERS`` (1024), and
    ``TypeError`` for an ``n`` that is not a whole number.

    >>> with velliq.workers(2):
    ...     vols = velliq.baw.implied_vol(prices, S, K, D, F, is_call)
    """
    n = min(available_cores(), MAX_WORKERS) if n is None else operator.index(n)
    if not 1 <= n <= MAX_WORKERS:
        raise ValueError(f"workers must be from 1 to {MAX_WORKERS}, not {n}")
    previous = _ufuncs._set_workers(n)
    try:
        yield n
    finally:
        _ufuncs._set_workers(previous)
