"""What every command begins with: its outputs checked, the quote file read
and its implied volatilities computed as ``velliq vols`` computes them."""

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .arguments import column_mapping, number_options, refuse_carry_beside_implied_spot, refuse_yield_beside_dividends
from .memory import free_memory_promptly, release_arrow_memory
from .reading import cell_error, read, read_dividends, table_error
from .reporting import SPOT_HINT, implied_vols, renamed_note
from .usage import UsageError, needs
from .writing import check_outputs, check_paths, check_smile_options

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["computed_vols"]


def computed_vols(args: argparse.Namespace) -> "tuple[pd.DataFrame, dict[str, Any], pd.DataFrame | None]":
    """The result of velliq.chain.implied_vols on the quotes of ``args``, the
    keywords it was given and, for ``--spot implied`` (not ``--quiet``), the
    spots; every output path and option checked before any work."""
    needs("pandas", f"velliq {args.command}")
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
    if args.dividends is not None:
        refuse_yield_beside_dividends(options, quotes.columns)
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
    return result, options, spots
