"""The ``velliq`` command line.

``velliq vols QUOTES`` reads a quote table (CSV, gzip-compressed CSV or
Parquet), computes its implied volatilities with :func:`velliq.chain.implied_vols`
by either model (Barone-Adesi-Whaley or the accurate American price), prints
the per-expiry summary, and writes the table and the smiles on request.
Vendor files keep their own column names: ``--column side=type`` maps an
input onto the file's column, and ``--valuation-date`` names a date or a
column of quote dates (one file, many dates). Column names are read without
surrounding spaces. Exit status: 0 on success, 2 for a usage error (bad
arguments, a missing column, a file that cannot be read, a cell that is not
a number, date or side), 130 when interrupted, 143 when terminated, 1 for any
other failure. The output files appear whole or not at all: each is written
under a temporary name beside it and renamed into place once complete.

pandas, and matplotlib for ``--plot``, are imported only once a command runs.
"""

import argparse
import importlib.util
import os
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from . import __version__
from ._bad_cells import first_bad_cell
from ._models import MODEL_TITLES, MODELS
from ._output_files import pending_files, same_file
from ._threads import available_cores, workers

if TYPE_CHECKING:
    import pandas as pd

EXAMPLE = """\
example:
  velliq vols examples/data/quotes.csv.gz --valuation-date 2026-12-04 --rate 0.04 \\
      -o vols.parquet --plot smiles.png

The quote table has one row per quote: expiry (dates, or years), strike, side
(C/P or call/put), bid and ask (or price), spot, and optionally underlying,
rate and dividend_yield. Without a dividend yield, each (underlying, expiry)
gets its forward from its own call and put quotes.

A vendor's file, many quote dates in one, its own column names:
  velliq vols options.csv --valuation-date quotedate --rate 0.04 \\
      --column expiry=expiration --column side=type --column spot=underlying_last
"""

CSV_SUFFIXES = (".csv", ".csv.gz", ".csv.bz2", ".csv.xz", ".csv.zip", ".csv.zst")
PARQUET_SUFFIXES = (".parquet", ".pq")
PROGRESS_ROWS = 100_000  # larger tables get a progress bar


# Inputs read as numbers when they are columns of the table.
NUMBER_INPUTS = ("strike", "bid", "ask", "price", "spot", "rate", "dividend_yield", "discount", "forward")
# Inputs that may be one number for every row instead of a column.
NUMBER_OPTIONS = ("spot", "rate", "dividend_yield")


class UsageError(Exception):
    """The command line or an input file is at fault: exit status 2."""


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that the output files are cleaned up as on Ctrl-C."""


def file_format(path: Path) -> str:
    name = path.name.lower()
    if name.endswith(CSV_SUFFIXES):
        return "csv"
    if name.endswith(PARQUET_SUFFIXES):
        return "parquet"
    raise UsageError(f"{path}: unknown format; use one of {', '.join(CSV_SUFFIXES + PARQUET_SUFFIXES)}")


def needs(module: str, purpose: str) -> None:
    if importlib.util.find_spec(module) is None:
        raise RuntimeError(f"{purpose} needs {module}: pip install 'velliq[chain]'")


def read(path: Path) -> "pd.DataFrame":
    import pandas as pd

    kind = file_format(path)
    if kind == "parquet":
        needs("pyarrow", "reading Parquet")
    try:
        table = pd.read_csv(path) if kind == "csv" else pd.read_parquet(path)
    except Exception as error:
        raise UsageError(f"cannot read {path}: {one_line(error)}") from error
    # Vendors write headers such as " bid": names are matched without the spaces.
    return table.rename(columns=lambda name: name.strip() if isinstance(name, str) else name)


def write(table: "pd.DataFrame", path: Path) -> None:
    if file_format(path) == "csv":
        table.to_csv(path, index=False)
    else:
        table.to_parquet(path, index=False)


def implied_vols(quotes: "pd.DataFrame", options: dict[str, Any]) -> "pd.DataFrame":
    """velliq.chain.implied_vols, under a progress bar when the table is large
    and tqdm installed."""
    from . import chain

    if len(quotes) <= PROGRESS_ROWS or importlib.util.find_spec("tqdm") is None:
        return chain.implied_vols(quotes, **options)
    from tqdm import tqdm

    with tqdm(total=len(quotes), unit=" quotes", unit_scale=True, desc="implied vols", file=sys.stderr) as bar:
        return chain.implied_vols(quotes, **options, progress=bar.update)


def summary_text(result: "pd.DataFrame", options: dict[str, Any]) -> str:
    """The per-expiry summary as a table, and a line of totals by status.
    Status columns that are zero throughout are left out of the table."""
    from . import chain

    names = {k: options[k] for k in ("underlying", "expiry", "strike", "valuation_date") if k in options}
    table = chain.summary(result, **names).reset_index()
    empty = [s for s in chain.STATUSES if table[s].sum() == 0]
    table = table.drop(columns=empty)
    text = table.to_string(
        index=False,
        formatters={"years": "{:.4f}".format, "forward": "{:.6f}".format, "atm_vol": "{:.4f}".format},
        na_rep="-",
    )
    counts = result["status"].value_counts()
    totals = ", ".join(f"{s} {counts.get(s, 0)}" for s in chain.STATUSES)
    return f"{text}\n\n{len(result)} quotes, {len(table)} expiries: {totals}"


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


def vols(args: argparse.Namespace) -> int:
    needs("pandas", "velliq vols")
    source = Path(args.quotes)
    if args.output is not None and file_format(args.output) == "parquet":
        needs("pyarrow", "writing Parquet")
    check_paths(source, {"-o": args.output, "--plot": args.plot})
    if args.plot is not None:
        needs("matplotlib", "--plot")

    from . import chain

    quotes = read(source)
    columns = column_mapping(args, list(quotes.columns))
    expiry = columns.get("expiry", "expiry")
    if args.valuation_date is None and expiry in quotes.columns and quotes[expiry].dtype.kind not in "iuf":
        raise UsageError("the expiries are dates: give --valuation-date")
    options: dict[str, Any] = dict(
        valuation_date=args.valuation_date,
        model=args.model,
        forward_strikes=args.forward_strikes,
        workers=args.workers,
        **columns,
    )
    if args.greeks:
        options["greeks"] = True
    for name in NUMBER_OPTIONS:
        if getattr(args, name) is not None:
            options[name] = getattr(args, name)
    try:
        result = implied_vols(quotes, options)
    except (chain.MissingColumnsError, chain.ValuationDateError) as error:
        raise UsageError(str(error)) from error
    except ValueError as error:
        bad_cell = bad_cell_error(quotes, options, source)
        if bad_cell is None:
            raise
        raise bad_cell from error

    print(summary_text(result, options))
    with pending_files() as files:
        if args.output is not None:
            write(result, files.temporary(args.output))
        if args.plot is not None:
            plot(result, files.temporary(args.plot), args.plot_underlying, options)
    if args.output is not None:
        print(f"wrote {len(result)} rows to {args.output}", file=sys.stderr)
    if args.plot is not None:
        print(f"wrote {args.plot}", file=sys.stderr)
    return 0


def bad_cell_error(quotes: "pd.DataFrame", options: dict[str, Any], source: Path) -> UsageError | None:
    """A usage error naming the first cell the chain cannot read, if one is the cause."""
    inputs = {name: options.get(name) or name for name in (*NUMBER_INPUTS, "expiry", "side")}
    numbers = [column for name in NUMBER_INPUTS if isinstance(column := inputs[name], str)]
    expiry, valuation_date = inputs["expiry"], options.get("valuation_date")
    if expiry in quotes.columns and quotes[expiry].dtype.kind in "biuf":
        numbers.append(expiry)
    dates = [column for column in (expiry, valuation_date) if isinstance(column, str) and column not in numbers]
    cell = first_bad_cell(quotes, numbers=numbers, dates=dates, side=inputs["side"])
    if cell is None:
        return None
    name = next((n for n, column in inputs.items() if column == cell.column), cell.column)
    named = repr(cell.column) if name == cell.column else f"{cell.column!r} ({name})"
    line = f", line {cell.row + 2} of {source}" if file_format(source) == "csv" else ""
    return UsageError(f"column {named}, row {cell.row}{line}: {cell.value!r} is not {cell.expected}")


def column_mapping(args: argparse.Namespace, found: list[str]) -> dict[str, str]:
    """The inputs that ``--column`` maps onto the file's columns, each checked."""
    from . import chain

    inputs = [name for name in chain.QuoteInputs.__annotations__ if name != "valuation_date"]
    columns: dict[str, str] = {}
    for name, column in args.column or []:
        if name not in inputs:
            raise UsageError(f"--column {name}={column}: {name} is not an input; choose from {', '.join(inputs)}")
        if column not in found:
            raise UsageError(
                f"--column {name}={column}: the quotes have no column {column!r}; found {', '.join(map(str, found))}"
            )
        columns[name] = column
    for name in NUMBER_OPTIONS:
        if name in columns and getattr(args, name) is not None:
            raise UsageError(f"give --{name.replace('_', '-')} or --column {name}=..., not both")
    return columns


def plot(result: "pd.DataFrame", path: Path, underlying: str | None, options: dict[str, Any]) -> None:
    """The smiles, a panel per underlying and quote date, or of the one --plot-underlying names."""
    from . import chain

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


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive whole number")
    return value


def worker_count(text: str) -> int:
    """A positive count the native loops can hold (they take a C long)."""
    value = positive_int(text)
    try:
        with workers(value):
            pass
    except OverflowError:
        raise argparse.ArgumentTypeError(
            f"{text} is out of range: give a number of threads (this machine has {available_cores()} cores)"
        ) from None
    return value


def column_argument(text: str) -> tuple[str, str]:
    name, equals, column = text.partition("=")
    if not equals or not name.strip() or not column.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=COLUMN")
    return name.strip(), column.strip()


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="velliq",
        description="American option implied volatilities (Barone-Adesi-Whaley or accurate) from quote files.",
        epilog=EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    top.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    p = commands.add_parser(
        "vols",
        help="implied volatilities of a quote table",
        epilog=EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Implied volatilities of a quote table, one row per quote: prints\n"
        "a summary per expiry; writes the table with its volatilities and the smiles\n"
        "on request.",
    )
    p.add_argument("quotes", metavar="QUOTES", help="quote table: .csv, .csv.gz or .parquet")
    p.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="OUT",
        help="write the table with years, discount, forward, iv_bid, iv_mid, iv_ask, vega and "
        "status added: .csv, .csv.gz or .parquet",
    )
    p.add_argument("--plot", type=Path, metavar="PNG", help="draw the smiles to this picture")
    p.add_argument(
        "--plot-underlying", metavar="NAME", help="draw this underlying only (default: a panel per underlying)"
    )
    p.add_argument(
        "--valuation-date",
        metavar="DATE|COLUMN",
        help="the date the quotes are from (YYYY-MM-DD), or the column of each quote's date; "
        "needed when expiries are dates",
    )
    p.add_argument(
        "--column",
        action="append",
        type=column_argument,
        metavar="NAME=COLUMN",
        help="read the input NAME (expiry, strike, side, bid, ask, price, underlying, spot, rate, "
        "dividend_yield, discount, forward) from the file's COLUMN; repeatable",
    )
    p.add_argument("--spot", type=float, metavar="S", help="spot for every row (default: the spot column)")
    p.add_argument(
        "--rate", type=float, metavar="R", help="continuously compounded rate for every row (default: the rate column)"
    )
    p.add_argument(
        "--dividend-yield",
        type=float,
        metavar="Q",
        help="dividend yield for every row, instead of forwards estimated from the quotes",
    )
    p.add_argument("--workers", type=worker_count, metavar="N", help="native threads (default: every core)")
    p.add_argument(
        "--forward-strikes",
        type=positive_int,
        metavar="N",
        help="estimate each forward from at most N informative call/put pairs, the nearest the money first "
        "(default: 6)",
    )
    titles = ", ".join(f"{name} ({title})" for name, title in MODEL_TITLES.items())
    p.add_argument("--model", choices=list(MODELS), default="baw", help=f"pricing model: {titles}; default: baw")
    p.add_argument(
        "--greeks",
        action="store_true",
        help="add delta, gamma, vega_1pct, theta_1d, rho_1pct and dividend_rho_1pct at the mid volatility",
    )
    p.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    p.set_defaults(run=vols, parser=p)
    return top


def one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__


def terminate(signum: int, frame: object) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        print("velliq: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    except Terminated:
        print("velliq: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    except UsageError as error:
        if args.debug:
            raise
        command_parser: argparse.ArgumentParser = args.parser
        command_parser.error(str(error))
    except Exception as error:
        if args.debug:
            raise
        print(f"velliq {args.command}: error: {one_line(error)}", file=sys.stderr)
        return 1
    finally:
        signal.signal(signal.SIGTERM, previous)


if __name__ == "__main__":
    sys.exit(main())
