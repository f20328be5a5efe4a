"""Reading the quote file: its format from its name, its table, and the
cells velliq.chain could not read named by the file's line."""

from pathlib import Path
from typing import TYPE_CHECKING, Any

from .memory import release_arrow_memory
from .usage import UsageError, needs, one_line

if TYPE_CHECKING:
    import pandas as pd

    from ..chain import CellError
    from ..chain.cells import TableError
    from ..chain.dividend_inputs import Dividends

__all__ = ["CSV_SUFFIXES", "PARQUET_SUFFIXES", "cell_error", "file_format", "read", "read_dividends", "table_error"]

CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zip", ".csv.zst")
PARQUET_SUFFIXES = (".parquet", ".pq")

# The inputs read from columns, in the order a column mapped to several is named by.
_READ_INPUTS = (
    *("strike", "bid", "ask", "price", "spot", "rate", "dividend_yield", "discount", "forward"),
    *("expiry", "side"),
)


def file_format(path: Path) -> str:
    """ "csv" or "parquet", from the name's suffix; a usage error for any other."""
    name = path.name.lower()
    if name.endswith(CSV_SUFFIXES):
        return "csv"
    if name.endswith(PARQUET_SUFFIXES):
        return "parquet"
    raise UsageError(f"{path}: unknown format; use one of {', '.join(CSV_SUFFIXES + PARQUET_SUFFIXES)}")


def read(path: Path) -> "pd.DataFrame":
    """The quote table, its column names without surrounding spaces."""
    import pandas as pd

    kind = file_format(path)
    if kind == "parquet":
        needs("pyarrow", "reading Parquet")
    try:
        options = _PARQUET_OPTIONS.get(pd.__version__[:2], {})
        table = pd.read_csv(path) if kind == "csv" else pd.read_parquet(path, **options)
    except Exception as error:
        raise UsageError(f"cannot read {path}: {one_line(error)}") from error
    release_arrow_memory()
    # Vendors write headers such as " bid": names are matched without the spaces.
    stripped = table.rename(columns=lambda name: name.strip() if isinstance(name, str) else name)
    twice = stripped.columns[stripped.columns.duplicated()]
    if len(twice):
        spellings = [repr(name) for name, plain in zip(table.columns, stripped.columns) if plain == twice[0]]
        raise UsageError(f"{path}: the columns {' and '.join(spellings)} are both named {twice[0]!r}")
    return stripped


def read_dividends(path: Path) -> "Dividends":
    """The dividend table of ``--dividends``, checked once, as velliq.chain checks it; a usage
    error naming the file and the column (and rows) at fault."""
    from ..chain.dividend_inputs import dividend_table

    table = read(path)
    try:
        return dividend_table(table)
    except ValueError as error:
        raise UsageError(f"--dividends {path}: {one_line(error)}") from error


# pandas 3 passes Arrow's conversion options on: each column's Arrow buffers are freed once it
# is converted, and no block of several columns is assembled, so the file's table and the
# frame are never held whole at once.
_PARQUET_OPTIONS: dict[str, dict[str, Any]] = {
    "3.": {"to_pandas_kwargs": {"self_destruct": True, "split_blocks": True}},
}


def cell_error(error: "CellError", options: dict[str, Any], source: Path) -> UsageError:
    """The usage error for a cell of ``source`` velliq.chain could not read,
    naming the input ``options`` (velliq.chain's keywords) read from its column."""
    column = error.column
    name = next((name for name in _READ_INPUTS if column in _read_from(options.get(name) or name)), column)
    named = repr(column) if name == column else f"{column!r} ({name})"
    line = f", line {error.position + 2} of {source}" if file_format(source) == "csv" else ""
    expected = "a side (C or P, call or put)" if error.expected == "a side" else error.expected
    return UsageError(f"column {named}, row {error.position}{line}: {error.value!r} is not {expected}")


def _read_from(source: object) -> tuple[object, ...]:
    """The columns an input named as in velliq.chain's keywords is read from (a spot may be from two)."""
    return source if isinstance(source, tuple) else (source,)


def table_error(error: "TableError", source: Path) -> UsageError:
    """The usage error for quotes of ``source`` velliq.chain could not read
    together, naming the rows' lines in a CSV file (its rows are numbered from 0)."""
    lines = [row + 2 for row in error.rows if isinstance(row, int)]
    if file_format(source) != "csv" or not lines:
        return UsageError(str(error))
    return UsageError(f"{error} (line{'s' if len(lines) > 1 else ''} {' and '.join(map(str, lines))} of {source})")
