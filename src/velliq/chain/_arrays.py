"""Array types shared by the modules of velliq.chain."""

from typing import TypeAlias

import numpy as np
import numpy.typing as npt

Floats: TypeAlias = npt.NDArray[np.float64]
Bools: TypeAlias = npt.NDArray[np.bool_]
