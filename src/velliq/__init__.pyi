from . import american as american
from . import baw as baw
from . import chain as chain
from ._sides import sides as sides
from ._terms import forward_terms as forward_terms
from ._threads import workers as workers
from .parallel import implied_vol_parallel as implied_vol_parallel

__all__ = ["american", "baw", "forward_terms", "implied_vol_parallel", "sides", "workers"]
__version__: str
