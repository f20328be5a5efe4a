"""The surface's generalized ufuncs on what velliq.surface never hands them: core
arrays not C-contiguous, and grids too short to fit. They answer NaN (and "no
solution" for a fit), never the memory NumPy allocated for the outputs, and never
abort the process."""

import numpy as np
import pytest

from velliq import _ufuncs

KNOTS = 9


def _strided(values):
    """``values`` as every other element of an array twice as long."""
    spaced = np.full(2 * len(values), 123.0)
    spaced[::2] = values
    return spaced[::2]


def _tails(grid):
    return _ufuncs.surface_tails(grid, np.ones(KNOTS))


def _fit(grid):
    quotes = np.array([[0.9, 1.0, 1.1], [0.1, 0.05, 0.01], [0.12, 0.06, 0.02], [0.11, 0.055, 0.015], [1.0, 1.0, 1.0]])
    density, softened = _ufuncs.surface_fit_slice(grid, quotes, np.full((5, KNOTS), np.nan), np.array([1e-4, 0.0]))
    assert softened == -1.0
    return (density,)


@pytest.mark.parametrize("gufunc", [_tails, _fit])
def test_strided_cores_give_nan(gufunc):
    grid = _strided(np.linspace(0.5, 1.5, KNOTS))
    for _ in range(3):  # fresh outputs each time: whatever the allocator hands back is overwritten
        for output in gufunc(grid):
            assert np.isnan(output).all()


@pytest.mark.parametrize("knots", [0, 1, 2])
def test_a_grid_too_short_to_fit_has_no_solution(knots):
    # 0 and 1 knots once sized the fit's workspace from a negative interior and aborted.
    grid = np.linspace(0.5, 1.5, knots)
    quotes = np.ones((5, 3))
    density, softened = _ufuncs.surface_fit_slice(grid, quotes, np.full((5, knots), np.nan), np.array([1e-4, 0.0]))
    assert softened == -1.0 and np.isnan(density).all()
