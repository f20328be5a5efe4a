"""Chunks of a quote table computed on several Python threads at once, their
results taken in the chunks' order.

A chunk's work is partly native (the ufunc loops, which release the GIL) and
partly Python that holds it (the arbitrage check, the forward search's
bookkeeping). One thread per worker, each chunk's ufuncs on that thread
alone, lets the Python of one chunk run while the loops of another do, where
splitting every loop over native threads leaves them idle during the Python.
Results are taken in submission order, so whatever the threads, the caller
sees what a serial loop gives: the same results, callbacks and first error,
with at most ``threads`` chunks in flight.
"""

from collections import deque
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType
from typing import Any

from .._threads import workers as _workers

__all__ = ["ChunkThreads", "chunk_threads"]


class ChunkThreads[Result]:
    """Runs chunks' work on ``threads`` Python threads, each calling the
    ufuncs with ``native`` workers; inline, in the caller's thread and
    with its workers, for one thread.

    >>> with ChunkThreads(2, 1) as pool:
    ...     for chunk in chunks:
    ...         for result in pool.submit(partial(work, chunk)):  # the earliest chunks done
    ...             use(result)
    ...     for result in pool.rest():
    ...         use(result)
    """

    def __init__(self, threads: int, native: int) -> None:
        self._threads, self._native = threads, native
        self._pending: deque[Future[Result]] = deque()
        self._pool = ThreadPoolExecutor(threads, thread_name_prefix="velliq-chunk") if threads > 1 else None

    def __enter__(self) -> "ChunkThreads[Result]":
        return self

    def submit(self, work: Callable[[], Result]) -> list[Result]:
        """Starts ``work`` (runs it, for one thread); the results of the
        earliest chunks, in order, once more than ``threads`` are in flight."""
        if self._pool is None:
            return [work()]
        self._pending.append(self._pool.submit(self._on_native_workers, work))
        return [self._next() for _ in range(len(self._pending) - self._threads)]

    def rest(self) -> Iterator[Result]:
        """The results of the chunks still in flight, in order."""
        while self._pending:
            yield self._next()

    def _next(self) -> Result:
        """The earliest chunk's result; its error drops the later chunks."""
        try:
            return self._pending.popleft().result()
        except BaseException:
            for future in self._pending:
                future.cancel()
            self._pending.clear()
            raise

    def _on_native_workers(self, work: Callable[[], Result]) -> Result:
        with _workers(self._native):
            return work()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, traceback: TracebackType | None
    ) -> None:
        """Leaves no thread running, but for a KeyboardInterrupt (or another
        exit), after which the chunks running finish unheard. An error met
        while chunks are in flight is preceded, in the serial order, by
        those chunks: the earliest of their errors is raised in its place."""
        if self._pool is None:
            return
        earlier = None
        if error is None or isinstance(error, Exception):
            while self._pending and earlier is None:
                earlier = self._pending.popleft().exception()
        for future in self._pending:
            future.cancel()
        self._pending.clear()
        self._pool.shutdown(wait=error is None or isinstance(error, Exception), cancel_futures=True)
        if earlier is not None:
            raise earlier from None


def chunk_threads(workers: int, chunks: int) -> ChunkThreads[Any]:
    """The threads for ``chunks`` chunks on ``workers`` workers: a thread per
    worker (at most one per chunk), the workers shared among their ufuncs."""
    threads = max(1, min(workers, chunks))
    return ChunkThreads(threads, max(1, workers // threads))
