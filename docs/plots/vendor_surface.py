"""The vol surface of the last quote date of examples/data/vendor_quotes.csv.gz,
as docs/guide/surface.rst fits it: drawn by velliq.chain.plot_surface."""

import pandas as pd

from velliq import chain

quotes = pd.read_csv("examples/data/vendor_quotes.csv.gz")
result = chain.implied_vols(
    quotes,
    valuation_date="quotedate",
    rate=0.0425,
    expiry="expiration",
    side="type",
    underlying="underlying_symbol",
    spot=("underlying_bid", "underlying_ask"),
    roll_weekend_expiries=True,
    model="american",
)
chain.plot_surface(result, chain.surface(result))
