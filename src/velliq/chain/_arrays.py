"""Array types shared by the modules of velliq.chain."""

from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

Floats: TypeAlias = npt.NDArray[np.floating[Any]]
Bools: TypeAlias = npt.NDArray[np.bool_]
