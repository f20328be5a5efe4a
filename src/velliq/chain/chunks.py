"""A quote table's rows in chunks of whole groups: each group's forward comes
from its own rows, so a chunk computed alone gives what the whole table gives,
and the work's temporaries stay the size of a chunk."""

from typing import Final, TypeAlias

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._arrays import run_starts

__all__ = ["CHUNK_ROWS", "Rows", "group_chunks", "row_chunks"]

# Large enough that per-chunk overhead vanishes, small enough that the
# temporaries of a chunk are a few megabytes.
CHUNK_ROWS: Final = 1 << 15

# Row positions: a range of them, or ascending positions.
Rows: TypeAlias = slice | npt.NDArray[np.intp]


def row_chunks(rows: int, size: int = CHUNK_ROWS) -> list[slice]:
    """Consecutive ranges of `size` rows (one empty range for no rows)."""
    return [slice(start, min(start + size, rows)) for start in range(0, max(rows, 1), size)]


def group_chunks(keys: pd.DataFrame, size: int = CHUNK_ROWS) -> list[Rows]:
    """Rows in chunks of whole groups (rows equal in every column of `keys`,
    missing values included), each at least `size` rows but the last.

    Groups that already lie in consecutive rows give ranges; otherwise each
    chunk is its rows' positions in ascending order."""
    n = len(keys)
    if n <= size:
        return [slice(0, n)]
    codes = keys.groupby(list(keys.columns), sort=False, dropna=False).ngroup().to_numpy()
    order = None if bool((codes[1:] >= codes[:-1]).all()) else np.argsort(codes, kind="stable")
    ordered = codes if order is None else codes[order]
    starts = run_starts(ordered)[1:]  # where a group after the first starts, in `ordered`
    del codes, ordered
    chunks: list[Rows] = []
    start = 0
    while start < n:
        following = int(np.searchsorted(starts, start + size))
        end = int(starts[following]) if following < len(starts) else n
        chunks.append(slice(start, end) if order is None else np.sort(order[start:end]))
        start = end
    return chunks
