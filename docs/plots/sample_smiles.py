"""The smiles of examples/data/quotes.csv.gz, one panel per underlying, drawn by
velliq.chain.plot_smiles from the volatilities velliq.chain.implied_vols finds."""

import pandas as pd

from velliq import chain

quotes = pd.read_csv("examples/data/quotes.csv.gz")
chain.plot_smiles(chain.implied_vols(quotes, valuation_date="2026-12-04", rate=0.04))
