"""Writing the command's outputs: the table with its volatilities and the
picture of its smiles, each to a path whose format, writer and place are
checked before any work is done."""

import argparse
import importlib
import os
import stat
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .output_files import final_path, same_file
from .reading import file_format
from .usage import UsageError

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["PARQUET_GROUP_ROWS", "check_outputs", "check_paths", "check_smile_options", "plot", "write"]

# Rows per row group of a Parquet output: each is converted to Arrow alone.
PARQUET_GROUP_ROWS = 1 << 16

# A compressed CSV's suffix: pandas' name of its compression and the module that writes it.
_COMPRESSIONS = {
    ".gz": ("gzip", "gzip"),
    ".bz2": ("bz2", "bz2"),
    ".xz": ("xz", "lzma"),
    ".zip": ("zip", "zipfile"),
    ".zst": ("zstd", "zstandard"),
}


def check_paths(source: Path, outputs: dict[str, Path | None]) -> None:
    """The quotes can be read and each output written (through a symbolic
    link to its target), without overwriting the quotes or another output
    under any of their names, nor writing into a FIFO, device or socket."""
    if source.is_dir():
        raise UsageError(f"cannot read {source}: it is a directory, not a quote file")
    if not source.is_file():
        raise UsageError(f"cannot read {source}: no such file")
    file_format(source)
    written: dict[str, Path] = {}
    for option, path in outputs.items():
        if path is None:
            continue
        final = final_path(path)
        if not final.parent.is_dir():
            raise UsageError(f"{path}: no folder {final.parent}")
        if final.is_dir():
            raise UsageError(f"{option} {path}: it is a directory")
        if final.exists() and not stat.S_ISREG(final.stat().st_mode):
            raise UsageError(f"{option} {path}: it is not a regular file (a FIFO, device or socket)")
        if not os.access(final.parent, os.W_OK):
            raise UsageError(f"{option} {path}: cannot write to the folder {final.parent}")
        if final.exists() and final.stat().st_nlink > 1 and not os.access(final, os.W_OK):
            raise UsageError(f"{option} {path}: cannot write to it (it has other names, so it is written in place)")
        if same_file(path, source):
            raise UsageError(f"{option} {path} is the quotes file {source}: writing it would overwrite the quotes")
        for other, earlier in written.items():
            if same_file(path, earlier):
                raise UsageError(f"{option} {path} and {other} {earlier} are the same file")
        written[option] = path


def check_outputs(table: Path | None, picture: Path | None) -> None:
    """Each output's format is known and its writer installed: the table's
    (CSV, compressed or not, or Parquet) and the picture's (matplotlib's formats)."""
    if table is not None:
        if file_format(table) == "parquet":
            _needs(table, "pyarrow")
        elif (compression := _COMPRESSIONS.get(table.suffix.lower())) is not None:
            _needs(table, compression[1])
    if picture is not None:
        _needs(picture, "matplotlib")
        from matplotlib.backend_bases import FigureCanvasBase

        formats = FigureCanvasBase.get_supported_filetypes()
        suffix = picture.suffix.lower().removeprefix(".")
        if suffix and suffix not in formats:
            raise UsageError(f"--plot {picture}: unknown picture format {suffix!r}; use one of {', '.join(formats)}")


def _needs(path: Path, module: str) -> None:
    try:
        importlib.import_module(module)
    except ImportError:
        raise UsageError(f"{path}: writing it needs the module {module}, which this Python does not have") from None


def write(table: "pd.DataFrame", path: Path, final: Path) -> None:
    """The table written to ``path``, as CSV or Parquet by the name's suffix;
    a compressed CSV's archive member, or gzip's recorded name, named for
    the file ``final`` (``path`` becomes it once complete)."""
    if file_format(path) == "parquet":
        _write_parquet(table, path)
        return
    compression = _COMPRESSIONS.get(path.suffix.lower())
    if compression is None:
        table.to_csv(path, index=False)
        return
    method, _ = compression
    options: dict[str, Any] = {"method": method}
    if method == "zip":
        options["archive_name"] = final.name[: -len(".zip")]
    with open(path, "wb") as handle:
        if method == "gzip":  # gzip records the name of the file it writes, less ".gz"
            options["filename"] = final.name
        table.to_csv(handle, index=False, compression=options)


def _write_parquet(table: "pd.DataFrame", path: Path) -> None:
    """The table as Parquet, converted to Arrow a row group at a time: never a whole copy of it."""
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    schema = pa.Schema.from_pandas(table, preserve_index=False)
    with pq.ParquetWriter(path, schema) as writer:
        for start in range(0, max(len(table), 1), PARQUET_GROUP_ROWS):
            rows = table.iloc[start : start + PARQUET_GROUP_ROWS]
            writer.write_table(pa.Table.from_pandas(rows, schema=schema, preserve_index=False))


def check_smile_options(args: argparse.Namespace, quotes: "pd.DataFrame", columns: Mapping[str, object]) -> None:
    """--plot-underlying, --plot-x-axis and --plot-date, checked before any
    work: each names a choice the quotes have, and --plot is given."""
    from ..chain.plotting import smile_dates, smile_underlying
    from ..chain.smile_axes import X_AXES

    if args.plot is None and (args.plot_x_axis is not None or args.plot_date is not None):
        raise UsageError("--plot-x-axis and --plot-date shape the picture of --plot PNG: give --plot")
    if args.plot_x_axis is not None and args.plot_x_axis not in X_AXES:
        raise UsageError(f"--plot-x-axis {args.plot_x_axis}: choose from {', '.join(X_AXES)}")
    if args.plot_underlying is not None:
        column = str(columns.get("underlying", "underlying"))
        if column not in quotes.columns:
            raise UsageError(
                f"--plot-underlying chooses among the quotes' underlyings, but they have no column {column!r}: "
                "give --column underlying=COLUMN"
            )
        try:
            smile_underlying(quotes, args.plot_underlying, column=column)
        except LookupError as error:
            raise UsageError(f"--plot-underlying {args.plot_underlying!r} is not in the quotes") from error
    if args.plot_date is None:
        return
    if args.valuation_date not in quotes.columns:
        raise UsageError("--plot-date chooses among the quote dates of a column: give --valuation-date COLUMN")
    try:
        smile_dates(quotes[args.valuation_date], _wanted_dates(args.plot_date))
    except LookupError as error:
        raise UsageError(f"--plot-date: {error}") from error


def _wanted_dates(plot_date: list[str] | None) -> list[str] | str | None:
    return "all" if plot_date is not None and "all" in plot_date else plot_date


def plot(result: "pd.DataFrame", path: Path, args: argparse.Namespace, options: dict[str, Any]) -> None:
    """The smiles, a panel per underlying and quote date (as --plot-date
    chooses), or of the one --plot-underlying names, against --plot-x-axis."""
    from .. import chain

    column = options.get("underlying")
    chosen = None
    if args.plot_underlying is not None:  # in the quotes (check_smile_options), so in the result
        chosen, _ = chain.smile_underlying(result, args.plot_underlying, column=column or "underlying")
    chain.plot_smiles(
        result,
        path,
        underlying=column,
        expiry=options.get("expiry", "expiry"),
        strike=options.get("strike", "strike"),
        side=options.get("side", "side"),
        valuation_date=options.get("valuation_date"),
        underlyings=None if chosen is None else [chosen],
        dates=_wanted_dates(args.plot_date),
        x_axis=args.plot_x_axis or "moneyness",
    )
