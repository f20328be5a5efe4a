"""velliq.american.implied_vol gives back the volatility of every price the model makes that
rises with sigma (bench/american_inversion.py sweeps 1,000,000 of them)."""

import numpy as np
import pytest
from support import ROUND_TRIP_TOLERANCE, inversion_failures, random_options

from velliq import american

# From issue 27: a put deep in the money whose price is flat in sigma up to about 0.1 and
# steep past it (72.16946 at this sigma); the secant crept up the flat side and gave NaN at
# every setting.
FLAT_THEN_STEEP = (100.0, 167.979, 0.9463281580182465, 91.72905394445313, 0.1953946969597691, False)


@pytest.mark.parametrize("setting", list(ROUND_TRIP_TOLERANCE))
def test_the_model_inverts_its_own_prices(setting):
    sweep = random_options(3000, seed=27)
    options = tuple(np.concatenate([[value], column]) for value, column in zip(FLAT_THEN_STEEP, sweep))
    model, tolerance = american.SETTINGS[setting], ROUND_TRIP_TOLERANCE[setting]
    counted, failures, implied, _ = inversion_failures(model, tolerance, options)
    assert counted > 1000
    assert failures.size == 0, [(tuple(float(a[i]) for a in options), v) for i, v in zip(failures, implied)]
