"""Build and load the floor library: bench/floor.cpp over the kernels in one shared library,
built by CMake (cmake/kernel_libraries, target velliq_floor) into bench/build/ exactly as the
extension module builds the kernels, with SciPy's real brentq bound into ``velliq::brentq``.

The kernels and floor.cpp are compiled with the flags of src/kernels/compile_flags.txt and
the extension's CMake settings: C++20, link-time optimisation, position-independent code and
hidden visibility (without it every kernel call in a -fPIC library could be interposed and
would not be inlined, unlike in the extension); floor.cpp exports its entry points itself.
CMake runs in the repository root on relative paths, so the commands it reports are the same
on every machine.
"""

import ctypes
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from devsupport import kernel_library  # noqa: E402
from devsupport.brentq import scipy_brentq_pointer  # noqa: E402

BUILD_DIR = Path("bench", "build")
TARGET = "velliq_floor"


def build(force=False):
    """Build the library (CMake rebuilds only what changed; everything when `force`); return
    the commands used."""
    _, steps = kernel_library.build(TARGET, BUILD_DIR, force)
    return [[Path(step[0]).name, *step[1:]] for step in steps]


def as_ptr(array, ctype=ctypes.c_double):
    """The data of a contiguous NumPy array as a ctypes pointer for the library's loops."""
    return array.ctypes.data_as(ctypes.POINTER(ctype))


def load():
    """The built library with its argument types declared and brentq bound."""
    lib = ctypes.CDLL(str(kernel_library.ROOT / BUILD_DIR / f"lib{TARGET}.so"))
    dp, ip, i64, d = (ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int), ctypes.c_int64, ctypes.c_double)
    lib.floor_set_brentq.argtypes = [ctypes.c_void_p]
    lib.floor_set_brentq.restype = None
    for name in ("floor_implied_vol_loop", "floor_price_loop"):
        getattr(lib, name).argtypes = [i64, dp, dp, dp, dp, dp, ip, dp]
        getattr(lib, name).restype = None
    for name in ("floor_time_implied_vol", "floor_time_price"):
        getattr(lib, name).argtypes = [i64, dp, dp, dp, dp, dp, ip, dp]
        getattr(lib, name).restype = i64
    lib.floor_repeat_price.argtypes = [d, d, d, d, d, ctypes.c_int, i64]
    lib.floor_repeat_price.restype = i64
    lib.floor_repeat_implied_vol.argtypes = [d, d, d, d, d, ctypes.c_int, i64]
    lib.floor_repeat_implied_vol.restype = i64
    lib.floor_run_loops.argtypes = [i64, dp, dp, dp, dp, dp, dp, ip, dp, dp]
    lib.floor_run_loops.restype = None
    lib.floor_set_brentq(scipy_brentq_pointer())
    return lib
