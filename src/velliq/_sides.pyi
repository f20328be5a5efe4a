from typing import overload

import numpy as np
import numpy.typing as npt

from ._typing import Sides

__all__ = ["is_side", "side_argument", "sides"]

# One side gives a NumPy bool, many an array of the input's shape.
@overload
def sides(values: str | int) -> np.bool_: ...  # type: ignore[overload-overlap]
@overload
def sides(values: Sides) -> npt.NDArray[np.bool_]: ...
def side_argument(side: object, old_name: str, old: object) -> object: ...
def is_side(label: object) -> bool: ...
