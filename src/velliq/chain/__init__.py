"""From a quote table to implied volatilities: pandas in, pandas out.

- :func:`implied_vols`: a long table, one row per quote, returned with the
  forward, the bid, mid and ask volatilities, vega and a status per row,
  by either model (``MODELS``: "baw" or "american"); with ``greeks=True``
  also the mid's Greeks in desk units (``GREEK_COLUMNS``).
- ``dividends=`` (of :func:`implied_vols`, :func:`forwards`, :func:`spots`): a
  table of cash dividends (underlying, ex_date, amount) priced with
  :mod:`velliq.dividends`, each quote with those going ex after its valuation
  date and on or before its expiry.
- :func:`forwards`: one row per (underlying, valuation date, expiry) with
  its forward (the valuation date when a column gives each row's);
  :func:`forward`: one expiry's forward from its call and put quotes;
  :func:`strike_forwards`: each strike's.
- :func:`implied_dividends`: each cash dividend's amount from a table of
  ex-dates and the term structure of the quotes' forwards, marking those the
  forwards cannot determine; the result feeds ``dividends=``.
- :func:`spots`: one row per (underlying, valuation date) with the spot its
  quotes imply, for tables without one (``spot="implied"``).
- :func:`summary`: one row per (underlying, valuation date, expiry) of a result; :func:`plot_smiles`: its
  smiles (matplotlib, imported on the first plot). Both take the result's columns from the
  record it keeps of how it was read (:func:`result_layout`, :class:`ResultLayout`), and
  refuse a result they cannot regroup (:class:`ResultLayoutError`).
- :func:`surface`: a vol surface per (underlying, valuation date) of a result, fitted inside its
  ``ok`` quotes' bid/ask vols (:class:`Surfaces`, their parameters and diagnostics as tables);
  :func:`plot_surface`: one of them drawn.
- :class:`CellError`: the error naming a cell that is no number, date or
  side (its ``column``, ``row`` and ``value``); :class:`TableError`: the
  error naming the column or rows of a fault beyond one cell;
  :class:`WeekendExpiryWarning`: expiry dates on a Saturday or Sunday, taken
  as given (``roll_weekend_expiries=True`` moves them to the Friday before).
- :func:`group_columns`: the columns that group rows by forward, for work
  split across chunks or Dask partitions. Tables of many quote dates name
  their column of dates as ``valuation_date``.
"""

from .._models import MODELS
from .cells import CellError, TableError
from .forward_search import FORWARD_COLUMNS, forward, strike_forwards
from .greeks import GREEK_COLUMNS
from .implied_dividends import IMPLIED_DIVIDEND_COLUMNS, implied_dividends
from .inputs import YEAR_DAYS, MissingColumnsError, QuoteInputs, ValuationDateError, group_columns
from .plotting import plot_smiles, smile_dates, smile_underlying
from .record import INPUT_SUFFIX, ResultLayout
from .results import ResultLayoutError, result_layout, summary
from .spots import SPOT_COLUMNS, spots
from .statuses import STATUSES
from .surface_plot import plot_surface, surface_key
from .surfaces import Surfaces, surface
from .table import forwards, implied_vols, result_columns
from .weekend_expiries import WeekendExpiryWarning

__all__ = [
    "CellError",
    "FORWARD_COLUMNS",
    "GREEK_COLUMNS",
    "IMPLIED_DIVIDEND_COLUMNS",
    "INPUT_SUFFIX",
    "MODELS",
    "SPOT_COLUMNS",
    "STATUSES",
    "Surfaces",
    "TableError",
    "YEAR_DAYS",
    "MissingColumnsError",
    "QuoteInputs",
    "ResultLayout",
    "ResultLayoutError",
    "ValuationDateError",
    "WeekendExpiryWarning",
    "forward",
    "forwards",
    "group_columns",
    "implied_dividends",
    "implied_vols",
    "plot_smiles",
    "plot_surface",
    "result_columns",
    "result_layout",
    "smile_dates",
    "smile_underlying",
    "spots",
    "strike_forwards",
    "summary",
    "surface",
    "surface_key",
]
