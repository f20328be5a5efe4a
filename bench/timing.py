"""Timing helpers shared by the benchmark scripts."""

import statistics
import time


def median_time(fn, reps):
    """Median wall time in seconds of fn() over reps runs, after one warm-up run."""
    fn()
    times = []
    for _ in range(reps):
        start = time.perf_counter_ns()
        fn()
        times.append(time.perf_counter_ns() - start)
    return statistics.median(times) * 1e-9, [t * 1e-9 for t in times]


def interleaved(fns, reps):
    """Median seconds of each callable, run alternately so that drift hits all alike.

    A callable returning a number reports its own time in ns (timed inside C++)."""
    for fn in fns:
        fn()
    samples = [[] for _ in fns]
    for _ in range(reps):
        for fn, times in zip(fns, samples):
            start = time.perf_counter_ns()
            inner = fn()
            elapsed = time.perf_counter_ns() - start
            times.append((inner if isinstance(inner, int) else elapsed) * 1e-9)
    return [statistics.median(t) for t in samples], samples
