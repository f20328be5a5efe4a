"""Writing the command's outputs: the table with its volatilities and the
picture of its smiles, each to a path checked before any work is done."""

import os
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .output_files import same_file
from .reading import file_format
from .usage import UsageError

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["check_paths", "plot", "write"]


def check_paths(source: Path, outputs: dict[str, Path | None]) -> None:
    """The quotes can be read and each output written, without overwriting the
    quotes or another output under any of their names."""
    if source.is_dir():
        raise UsageError(f"cannot read {source}: it is a directory, not a quote file")
    if not source.is_file():
        raise UsageError(f"cannot read {source}: no such file")
    file_format(source)
    written: dict[str, Path] = {}
    for option, path in outputs.items():
        if path is None:
            continue
        if not path.parent.is_dir():
            raise UsageError(f"{path}: no folder {path.parent}")
        if path.is_dir():
            raise UsageError(f"{option} {path}: it is a directory")
        if not os.access(path.parent, os.W_OK):
            raise UsageError(f"{option} {path}: cannot write to the folder {path.parent}")
        if same_file(path, source):
            raise UsageError(f"{option} {path} is the quotes file {source}: writing it would overwrite the quotes")
        for other, earlier in written.items():
            if same_file(path, earlier):
                raise UsageError(f"{option} {path} and {other} {earlier} are the same file")
        written[option] = path


def write(table: "pd.DataFrame", path: Path) -> None:
    """The table, as CSV or Parquet by the name's suffix."""
    if file_format(path) == "csv":
        table.to_csv(path, index=False)
    else:
        table.to_parquet(path, index=False)


def plot(result: "pd.DataFrame", path: Path, underlying: str | None, options: dict[str, Any]) -> None:
    """The smiles, a panel per underlying and quote date, or of the one --plot-underlying names."""
    from .. import chain

    column = options.get("underlying")
    chosen = None
    if underlying is not None:
        try:
            chosen, _ = chain.smile_underlying(result, underlying, column=column or "underlying")
        except LookupError as error:
            raise UsageError(f"--plot-underlying {underlying!r} is not in the quotes") from error
    chain.plot_smiles(
        result,
        path,
        underlying=column,
        strike=options.get("strike", "strike"),
        side=options.get("side", "side"),
        valuation_date=options.get("valuation_date"),
        underlyings=None if chosen is None else [chosen],
    )
