"""Chunks of the quote table on several threads: the same bits, progress,
warnings and first error as one chunk after another (velliq.chain.chunk_threads)."""

import functools
import threading
import time
import warnings

import numpy as np
import pytest
from messy_quotes import RATE, messy_quotes

from velliq import chain
from velliq.chain import chunks, table
from velliq.chain.chunk_threads import ChunkThreads

# Chunks of at least this many rows cut the messy export (18 groups of about 68 rows) into 9.
SMALL_CHUNK = 100


@pytest.fixture(scope="module")
def quotes():
    return messy_quotes().drop(columns="label")


@pytest.fixture
def small_chunks(monkeypatch):
    monkeypatch.setattr(table, "group_chunks", functools.partial(chunks.group_chunks, size=SMALL_CHUNK))


def vols(quotes, workers, **options):
    """The table's volatilities on ``workers``, with the row counts progress was called with."""
    counts = []
    result = chain.implied_vols(
        quotes, valuation_date="quote_date", rate=RATE, workers=workers, progress=counts.append, **options
    )
    return result, counts


def assert_same_bits(result, expected):
    assert list(result.columns) == list(expected.columns)
    for name in result.columns:
        if result[name].dtype == np.float64:
            bits = [frame[name].to_numpy().view(np.uint64) for frame in (result, expected)]
            np.testing.assert_array_equal(*bits, err_msg=name)
        else:
            assert result[name].equals(expected[name]), name


@pytest.mark.parametrize(
    ("model", "greeks", "workers"), [("baw", False, 2), ("baw", True, 3), ("american", False, 2), ("american", True, 1)]
)
def test_chunks_on_threads_give_the_bits_of_one_chunk(quotes, monkeypatch, model, greeks, workers):
    whole, _ = vols(quotes, 1, model=model, greeks=greeks)  # one chunk: the table is smaller than a chunk
    monkeypatch.setattr(table, "group_chunks", functools.partial(chunks.group_chunks, size=SMALL_CHUNK))
    serial, serial_counts = vols(quotes, 1, model=model, greeks=greeks)
    threaded, counts = vols(quotes, workers, model=model, greeks=greeks)
    assert_same_bits(serial, whole)
    assert_same_bits(threaded, whole)
    assert counts == serial_counts  # once per chunk, in the chunks' order
    assert len(counts) == 9 and sum(counts) == len(quotes)


def _bad_cell(frame, row):
    frame["bid"] = frame["bid"].astype(object)
    frame.loc[row, "bid"] = "n/a"


def _two_spots(frame, row):
    frame.loc[row, "spot"] = frame.loc[row, "spot"] * 2


@pytest.mark.parametrize(
    "breaks",
    [
        [(_bad_cell, -1)],  # read in the last chunk, an expired row repeated
        [(_two_spots, 3), (_bad_cell, 200)],  # a group refused in the first chunk, computed as the second is read
        [(_two_spots, -20), (_bad_cell, 3)],  # the first chunk's cell, before the group is checked
        [(_two_spots, -20), (_two_spots, 500)],  # two groups refused: the earlier chunk's
    ],
)
def test_the_first_error_is_that_of_one_chunk_after_another(quotes, small_chunks, breaks):
    broken = quotes.copy()
    for change, row in breaks:
        change(broken, broken.index[row])
    errors = []
    for workers in (1, 2):
        with pytest.raises(ValueError) as raised:
            vols(broken, workers)
        errors.append((type(raised.value), str(raised.value)))
    assert errors[0] == errors[1]


def test_warnings_of_reading_are_the_callers_as_one_chunk_after_another(quotes, small_chunks):
    seen = []
    for workers in (1, 2):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            chain.implied_vols(quotes, valuation_date="quote_date", rate=4.0, workers=workers)
        seen.append([(str(w.message), w.category, w.filename, w.lineno) for w in caught])
    assert seen[0] == seen[1]
    assert seen[0] and {filename for _, _, filename, _ in seen[0]} == {__file__}


@pytest.mark.parametrize("threads", [2, 3])
def test_chunks_run_together_at_most_threads_at_once_in_order(threads):
    meet = threading.Barrier(threads, timeout=30)  # broken unless `threads` chunks run at once
    running, most, lock = [0], [0], threading.Lock()

    def work(i):
        with lock:
            running[0] += 1
            most[0] = max(most[0], running[0])
        meet.wait()
        time.sleep(0.01 * (3 * threads - i))  # later chunks finish first
        with lock:
            running[0] -= 1
        return i

    results = []
    with ChunkThreads(threads, 1) as pool:
        for i in range(3 * threads):
            results += pool.submit(functools.partial(work, i))
        results += pool.rest()
    assert results == list(range(3 * threads))
    assert most[0] == threads


def test_a_chunk_error_stops_the_rest():
    ran = []

    def work(i):
        ran.append(i)
        if i == 1:
            raise ArithmeticError(i)
        time.sleep(0.05)
        return i

    with pytest.raises(ArithmeticError, match="1"), ChunkThreads(2, 1) as pool:
        for i in range(50):
            pool.submit(functools.partial(work, i))
    assert max(ran) < 10
