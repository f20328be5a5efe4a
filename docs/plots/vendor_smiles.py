"""The smiles of examples/data/vendor_quotes.csv.gz, a vendor-shaped file of
five quote dates, as docs/guide/vendor-file.rst reads it: drawn by
velliq.chain.plot_smiles, the last quote date by default."""

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
)
chain.plot_smiles(result, underlying="underlying_symbol", expiry="expiration", side="type", valuation_date="quotedate")
