"""``velliq surface``: the quotes' volatilities as ``velliq vols`` computes
them, a surface per (underlying, quote date), its fit per expiry printed, its
parameters written and one surface drawn on request."""

import argparse
import sys
from typing import TYPE_CHECKING

from .computing import computed_vols
from .output_files import final_path, pending_files
from .reporting import spot_text
from .usage import UsageError
from .writing import write

if TYPE_CHECKING:
    import pandas as pd

    from ..chain import Surfaces

__all__ = ["surface", "surface_text"]

# The per-expiry table's columns of shares and of volatility differences, and their formats.
_FORMATS = {"years": "{:.4f}", "forward": "{:.6f}", "discount": "{:.6f}", "in_band": "{:.1%}"}


def surface(args: argparse.Namespace) -> int:
    """``velliq surface``: read, compute, fit, print the fit, write the outputs."""
    if args.plot_date is not None and len(args.plot_date) > 1:
        raise UsageError("--plot-date: give one quote date; a picture draws one surface")
    result, _, spots = computed_vols(args)
    from .. import chain

    surfaces = chain.surface(result)
    print(surface_text(surfaces, quiet=args.quiet))
    if spots is not None and not args.quiet:
        print(spot_text(spots))
    key = None
    if args.plot is not None:
        date = None if args.plot_date is None else args.plot_date[0]
        try:
            key = chain.surface_key(surfaces, args.plot_underlying, date)
        except LookupError as error:
            raise UsageError(f"--plot: {error}") from error
    with pending_files() as files:
        if args.output is not None:
            write(surfaces.to_table(), files.temporary(args.output), final_path(args.output))
        if args.plot is not None:
            chain.plot_surface(result, surfaces, files.temporary(args.plot), key=key)
    if args.output is not None:
        print(f"wrote {len(surfaces)} surfaces to {args.output}", file=sys.stderr)
    if args.plot is not None:
        print(f"wrote {args.plot}", file=sys.stderr)
    return 0


def surface_text(surfaces: "Surfaces", *, quiet: bool = False) -> str:
    """Each expiry's fit as a table (key columns that say nothing left out),
    the groups that got no surface, and a totals line; ``quiet``: the totals line alone."""
    slices = surfaces.slices
    groups = surfaces.groups
    quotes = int(groups["quotes"].sum())
    in_band = _weighted(slices, "in_band")
    totals = (
        f"{len(surfaces)} surfaces of {len(groups)} (underlying, quote date), {len(slices)} expiries, "
        f"{quotes} quotes fitted" + ("" if in_band is None else f", {in_band:.2%} in band")
    )
    if quiet:
        return totals
    lines = []
    if len(slices):
        lines.append(_slice_table(slices))
    unfitted = groups[~groups["surface"]]
    if len(unfitted):
        named = ", ".join(f"{_key_text(key)} ({count} ok)" for key, count in unfitted["quotes"].items())
        lines.append(f"no surface (fewer than {_min_quotes()} ok quotes): {named}")
    return "\n".join([*lines, "", totals])


def _slice_table(slices: "pd.DataFrame") -> str:
    """The slices as text, the key columns that say nothing (all None) left out."""
    shown = slices.drop(columns=[c for c in ("underlying", "valuation_date") if slices[c].isna().all()])
    formats = {c: f.format for c, f in _FORMATS.items() if c in shown.columns}
    floats = [c for c in shown.columns if c not in formats and shown[c].dtype.kind == "f"]
    formats |= {c: "{:.3g}".format for c in floats}
    return shown.to_string(index=False, formatters=formats, na_rep="-")


def _weighted(slices: "pd.DataFrame", column: str) -> float | None:
    """The slices' ``column`` averaged over their quotes; None without the columns or quotes."""
    if column not in slices.columns or "quotes" not in slices.columns or slices["quotes"].sum() == 0:
        return None
    return float((slices[column] * slices["quotes"]).sum() / slices["quotes"].sum())


def _key_text(key: object) -> str:
    import pandas as pd

    parts = key if isinstance(key, tuple) else (key,)
    return " ".join(f"{p:%Y-%m-%d}" if isinstance(p, pd.Timestamp) else str(p) for p in parts if not pd.isna(p))


def _min_quotes() -> int:
    from ..chain.surfaces import MIN_QUOTES

    return MIN_QUOTES
