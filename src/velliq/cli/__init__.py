"""The ``velliq`` command line.

``velliq vols QUOTES`` reads a quote table (CSV, gzip-compressed CSV or
Parquet), computes its implied volatilities with :func:`velliq.chain.implied_vols`
by either model (Barone-Adesi-Whaley or the accurate American price), prints
the per-expiry summary (``--quiet``: its totals line only), and writes the table and the smiles on request.
Vendor files keep their own column names: ``--column side=type`` maps an
input onto the file's column, and ``--valuation-date`` names a date or a
column of quote dates (one file, many dates). Column names are read without
surrounding spaces. Exit status: 0 on success, 2 for a usage error (bad
arguments, a missing or twice-named column, a file that cannot be read, a
cell that is not a number, date or side, rows that contradict each other, an
output whose format is unknown or whose writer is not installed), 130 when interrupted, 143 when terminated, 1 for any
other failure. The output files appear whole or not at all: each is written
under a temporary name beside it and renamed into place once complete. An
output that is a symbolic link is written through to its target; one with
several names (a hard link) gets its new contents copied in once complete; a
FIFO, device or socket is refused. A temporary file a killed command left
(``.velliq-XXXXXXXX-NAME``) is removed by the next command writing into its folder.

pandas, and matplotlib for ``--plot``, are imported only once a command runs.
"""

import argparse
import signal
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .arguments import column_mapping, number_options, parser, refuse_carry_beside_implied_spot
from .memory import free_memory_promptly, release_arrow_memory
from .output_files import final_path, pending_files
from .reading import cell_error, read, read_dividends, table_error
from .reporting import SPOT_HINT, implied_vols, renamed_note, spot_text, summary_text
from .usage import UsageError, needs, one_line
from .writing import check_outputs, check_paths, check_smile_options, plot, write

__all__ = ["main"]


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that the output files are cleaned up as on Ctrl-C."""


def vols(args: argparse.Namespace) -> int:
    """``velliq vols``: read, compute, print the summary, write the outputs."""
    needs("pandas", "velliq vols")
    free_memory_promptly()
    source = Path(args.quotes)
    check_paths(source, {"-o": args.output, "--plot": args.plot})
    check_outputs(args.output, args.plot)

    from .. import chain
    from ..chain.cells import TableError

    quotes = read(source)
    columns = column_mapping(args, list(quotes.columns))
    check_smile_options(args, quotes, columns)
    expiry = columns.get("expiry", "expiry")
    if args.valuation_date is None and expiry in quotes.columns and quotes[expiry].dtype.kind not in "iuf":
        raise UsageError("the expiries are dates: give --valuation-date")
    options: dict[str, Any] = dict(
        valuation_date=args.valuation_date,
        model=args.model,
        forward_pairs=args.forward_pairs,
        workers=args.workers,
        **columns,
    )
    if args.greeks:
        options["greeks"] = True
    if args.roll_weekend_expiries:
        options["roll_weekend_expiries"] = True
    if args.dividends is not None:
        if args.model != "american":
            raise UsageError("--dividends needs --model american (the accurate model takes cash dividends)")
        options["dividends"] = read_dividends(args.dividends)
    options |= number_options(args)
    if options.get("spot") == "implied":
        refuse_carry_beside_implied_spot(options, quotes.columns)
    try:
        result, spots = implied_vols(quotes, options, quiet=args.quiet)
    except chain.MissingColumnsError as error:
        raise UsageError(f"{error}{SPOT_HINT if 'spot' in error.missing else ''}") from error
    except chain.ValuationDateError as error:
        raise UsageError(str(error)) from error
    except chain.CellError as error:
        raise cell_error(error, options, source) from error
    except TableError as error:
        raise table_error(error, source) from error

    if (note := renamed_note(result)) is not None:
        print(note, file=sys.stderr)
    release_arrow_memory()  # the computation's
    print(summary_text(result, options, quiet=args.quiet))
    release_arrow_memory()  # the summary's
    if spots is not None and not args.quiet:
        print(spot_text(spots))
    with pending_files() as files:
        if args.output is not None:
            write(result, files.temporary(args.output), final_path(args.output))
        if args.plot is not None:
            plot(result, files.temporary(args.plot), args, options)
    if args.output is not None:
        print(f"wrote {len(result)} rows to {args.output}", file=sys.stderr)
    if args.plot is not None:
        print(f"wrote {args.plot}", file=sys.stderr)
    return 0


def terminate(signum: int, frame: object) -> None:
    raise Terminated


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line ``argv`` (``sys.argv[1:]`` for None); returns its exit status."""
    args = parser().parse_args(argv)
    previous = signal.signal(signal.SIGTERM, terminate)
    try:
        status: int = vols(args)
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
