"""A two-year smile, out of the money, r = 6 %, q = 0: prices from the accurate
model at its high setting (within 3.6e-8 of a converged QuantLib reference),
inverted with BAW and with the accurate model at its default setting."""

import numpy as np

from bench import smile  # the clone is on the path (conf.py's plot_working_directory)
from velliq import american


def high_prices(K, vol, D, F, is_call):
    return american.high.price(smile.SPOT, K, D, F, vol * np.sqrt(smile.YEARS), is_call)


smile.figure(high_prices, "2-year smile, r = 6 %, q = 0: accurate American prices inverted")
