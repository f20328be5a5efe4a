"""The command line's arguments: the parser, each option's checks, and the
inputs ``--column`` maps onto the file's columns."""

import argparse
import math
import sys
from collections.abc import Iterable, Mapping, Sequence
from decimal import Decimal, InvalidOperation
from pathlib import Path
from typing import Any

from .. import __version__
from .._models import MODEL_TITLES, MODELS
from .._threads import available_cores, workers
from .usage import UsageError

__all__ = ["NUMBER_OPTIONS", "add_quote_options", "column_mapping", "number_options", "parser"]

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

A file without a spot column: the mid of the underlying's bid and ask columns
(--column spot=underlying_bid,underlying_ask), or the spot the quotes imply
by put-call parity on the nearest expiries (--spot implied).
"""

SURFACE_EXAMPLE = """\
example:
  velliq surface examples/data/quotes.csv.gz --valuation-date 2026-12-04 --rate 0.04 \\
      --model american -o surface.parquet --plot surface.png

The quotes are read as by `velliq vols` (the same options); each (underlying,
quote date) with at least 5 ok quotes gets a surface fitted to the bid and ask
volatilities of its out-of-the-money ok quotes.
"""

# Inputs that may be one number for every row instead of a column.
NUMBER_OPTIONS = ("spot", "rate", "dividend_yield")
# Of those, the yearly rates: also given as a percentage (--rate-percent 4 is --rate 0.04).
PERCENT_OPTIONS = ("rate", "dividend_yield")


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text} is not a positive whole number")
    return value


def worker_count(text: str) -> int:
    """A positive count velliq.workers takes (1 to its MAX_WORKERS)."""
    value = positive_int(text)
    try:
        with workers(value):
            pass
    except ValueError:  # above velliq.workers' cap
        raise argparse.ArgumentTypeError(
            f"{text} is out of range: give a number of threads (this machine has {available_cores()} cores)"
        ) from None
    return value


def percentage(text: str) -> Decimal:
    """A finite number, kept as written so that a hundredth of it is exact."""
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not value.is_finite():
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def spot_argument(text: str) -> float | str:
    """A number, or "implied"."""
    if text.strip() == "implied":
        return "implied"
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is neither a number nor 'implied'") from None


def column_argument(text: str) -> tuple[str, str]:
    name, equals, column = text.partition("=")
    if not equals or not name.strip() or not column.strip():
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=COLUMN")
    return name.strip(), column.strip()


class _FormerName(argparse.Action):
    """An option's former spelling: stores to the new option's ``dest``, and names that option on stderr."""

    def __call__(
        self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any, option: str | None = None
    ) -> None:
        print(f"velliq: {option} is now --{self.dest.replace('_', '-')}", file=sys.stderr)
        setattr(namespace, self.dest, values)


def column_mapping(args: argparse.Namespace, found: Sequence[str]) -> dict[str, str | tuple[str, str]]:
    """The inputs that ``--column`` maps onto the file's columns, each checked; the spot may be
    the mid of two columns (``spot=BID_COL,ASK_COL``)."""
    from .. import chain

    inputs = [name for name in chain.QuoteInputs.__annotations__ if name != "valuation_date"]
    columns: dict[str, str | tuple[str, str]] = {}
    for name, column in args.column or []:
        if name not in inputs:
            raise UsageError(f"--column {name}={column}: {name} is not an input; choose from {', '.join(inputs)}")
        pair = [part.strip() for part in column.split(",")] if name == "spot" and column not in found else []
        if len(pair) > 2 or "" in pair:
            raise UsageError(f"--column spot={column}: give one column, or two (BID_COL,ASK_COL)")
        absent = next((c for c in pair or [column] if c not in found), None)
        if absent is not None:
            raise UsageError(
                f"--column {name}={column}: the quotes have no column {absent!r}; found {', '.join(map(str, found))}"
            )
        columns[name] = (pair[0], pair[1]) if len(pair) == 2 else column
    for name in NUMBER_OPTIONS:
        if name in columns and (getattr(args, name) is not None or getattr(args, f"{name}_percent", None) is not None):
            raise UsageError(f"give --{name.replace('_', '-')} or --column {name}=..., not both")
    return columns


def number_options(args: argparse.Namespace) -> dict[str, float]:
    """The inputs given as one number for every row. A rate or yield above 1 in
    magnitude is most likely a percentage: a usage error giving the fraction
    meant. ``--rate-percent 4`` is ``--rate 0.04`` to the last bit (a
    hundredth of the decimal written, rounded once)."""
    numbers: dict[str, float] = {}
    for name in NUMBER_OPTIONS:
        option, value = f"--{name.replace('_', '-')}", getattr(args, name)
        percent = getattr(args, f"{name}_percent", None)
        if value is not None and percent is not None:
            raise UsageError(f"give {option} or {option}-percent, not both")
        if percent is not None:
            value = float(percent.scaleb(-2))
            if not math.isfinite(value):
                raise UsageError(f"{option}-percent {percent} is not a finite rate")
        elif value is not None and name in PERCENT_OPTIONS and abs(value) > 1:
            raise UsageError(
                f"{option} {value:.15g} looks like a percentage: "
                f"give {option} {value / 100:.15g} or {option}-percent {value:.15g}"
            )
        if value is not None:
            numbers[name] = value
    return numbers


def refuse_carry_beside_implied_spot(options: Mapping[str, object], found: Iterable[object]) -> None:
    """A usage error for a forward or dividend yield beside --spot implied, which comes
    from the forwards the quotes imply: given by option or --column, or a file column."""
    columns = set(found)
    for name in ("dividend_yield", "forward"):
        option = f"--{name.replace('_', '-')}"
        column = options.get(name, name)
        if name in NUMBER_OPTIONS and isinstance(column, float):
            raise UsageError(f"--spot implied comes from the forwards the quotes imply: give it or {option}")
        if isinstance(column, str) and column in columns:
            raise UsageError(
                f"--spot implied comes from the forwards the quotes imply, but the file has a {name} "
                f"column {column!r}: give --spot S, or a file without it"
            )


def refuse_yield_beside_dividends(options: Mapping[str, object], found: Iterable[object]) -> None:
    """A usage error for a dividend yield beside --dividends, whose forward comes from the
    quotes (velliq.chain refuses the two together): given by option or --column, or a file column."""
    column = options.get("dividend_yield", "dividend_yield")
    if isinstance(column, float):
        raise UsageError("--dividends with --dividend-yield: the forward comes from the quotes; give one of them")
    if isinstance(column, str) and column in set(found):
        raise UsageError(
            f"--dividends, but the file has a dividend_yield column {column!r}: the forward comes from "
            "the quotes; give a file without it"
        )


def add_quote_options(p: argparse.ArgumentParser) -> None:
    """The options that read the quotes and compute their volatilities, shared by every command."""
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
        "dividend_yield, discount, forward) from the file's COLUMN; spot=BID_COL,ASK_COL: the mid of the "
        "underlying's bid and ask; repeatable",
    )
    p.add_argument(
        "--spot",
        type=spot_argument,
        metavar="S|implied",
        help="spot for every row, or 'implied': per underlying and date, the spot the quotes imply by put-call "
        "parity on the nearest expiries (default: the spot column)",
    )
    p.add_argument(
        "--rate", type=float, metavar="R", help="continuously compounded rate for every row (default: the rate column)"
    )
    p.add_argument(
        "--rate-percent", type=percentage, metavar="P", help="the rate as a percentage: --rate-percent 4 is --rate 0.04"
    )
    p.add_argument(
        "--dividend-yield",
        type=float,
        metavar="Q",
        help="dividend yield for every row, instead of forwards estimated from the quotes",
    )
    p.add_argument("--dividend-yield-percent", type=percentage, metavar="P", help="the dividend yield as a percentage")
    p.add_argument(
        "--dividends",
        type=Path,
        metavar="FILE",
        help="cash dividends (.csv or .parquet; columns underlying, ex_date, amount per share; a file of one "
        "underlying may leave out underlying), each quote priced with those going ex after its date and on or "
        "before its expiry; adds dividend_pv and residual_yield; needs --model american",
    )
    p.add_argument(
        "--roll-weekend-expiries",
        action="store_true",
        help="move expiry dates on a Saturday or Sunday to the preceding Friday (no holiday calendar); "
        "without it they are taken as given, with a warning",
    )
    p.add_argument("--workers", type=worker_count, metavar="N", help="native threads (default: every core)")
    p.add_argument(
        "--forward-pairs",
        type=positive_int,
        metavar="N",
        help="estimate each forward from at most N informative call/put pairs, the nearest the money first "
        "(default: 6)",
    )
    p.add_argument(
        "--forward-strikes",
        dest="forward_pairs",
        type=positive_int,
        action=_FormerName,
        metavar="N",
        help=argparse.SUPPRESS,
    )
    titles = ", ".join(f"{name} ({title})" for name, title in MODEL_TITLES.items())
    p.add_argument("--model", choices=list(MODELS), default="baw", help=f"pricing model: {titles}; default: baw")


def parser() -> argparse.ArgumentParser:
    """The ``velliq`` parser, with the ``vols`` and ``surface`` commands' arguments."""
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
        "status added (and spot first, when implied or the mid of two columns; dividend_pv and residual_yield "
        "after forward with --dividends): .csv, .csv.gz or .parquet",
    )
    p.add_argument("--plot", type=Path, metavar="PNG", help="draw the smiles to this picture")
    p.add_argument(
        "--plot-underlying", metavar="NAME", help="draw this underlying only (default: a panel per underlying)"
    )
    p.add_argument(
        "--plot-x-axis",
        metavar="AXIS",
        help="the smiles' x axis: moneyness (ln(K/F)/sqrt(T), the default), strike, or delta "
        "(Black's call delta N(d1) at the forward and the mid vol)",
    )
    p.add_argument(
        "--plot-date",
        action="append",
        metavar="DATE",
        help="draw the smiles of this quote date (repeatable, or 'all'); default: every date when "
        "there are at most 3, else the last",
    )
    p.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="print the totals line only: no summary line per expiry, no progress bar (warnings, errors and "
        "what was written still go to stderr)",
    )
    add_quote_options(p)
    p.add_argument(
        "--greeks",
        action="store_true",
        help="add delta, gamma, vega_1pct, theta_1d, rho_1pct and dividend_rho_1pct at the mid volatility",
    )
    p.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    p.set_defaults(parser=p)
    add_surface_command(commands)
    return top


def add_surface_command(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """The ``surface`` command: the vols command's reading options, its own outputs."""
    p = commands.add_parser(
        "surface",
        help="arbitrage-free vol surfaces of a quote table",
        epilog=SURFACE_EXAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Implied volatilities of a quote table, as `velliq vols` computes them, and per\n"
        "(underlying, quote date) a vol surface fitted inside their bid/ask bands, free of\n"
        "butterfly and calendar arbitrage: prints each expiry's fit; writes the surfaces'\n"
        "parameters and draws a surface on request.",
    )
    p.add_argument("quotes", metavar="QUOTES", help="quote table: .csv, .csv.gz or .parquet")
    p.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="OUT",
        help="write the surfaces' parameters, rows keyed by (underlying, valuation_date), which "
        "velliq.chain.Surfaces.read reads back bit for bit: .csv, .csv.gz or .parquet",
    )
    p.add_argument(
        "--plot",
        type=Path,
        metavar="PNG",
        help="draw one surface: each expiry's bid/ask band and fit, the ATM term structure and the 25-delta skew",
    )
    p.add_argument("--plot-underlying", metavar="NAME", help="the underlying to draw (default: the first)")
    p.add_argument(
        "--plot-date",
        action="append",
        metavar="DATE",
        help="the quote date to draw, from a column of them (default: the last)",
    )
    p.add_argument(
        "-q", "--quiet", action="store_true", help="print the totals line only: no line per expiry, no progress bar"
    )
    add_quote_options(p)
    p.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    p.set_defaults(parser=p, plot_x_axis=None, greeks=False)
