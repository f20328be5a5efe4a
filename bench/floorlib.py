"""Build and load the floor library: bench/floor.cpp and kernels/*.cpp in one
shared library, compiled as the extension module compiles the kernels, with
SciPy's real brentq bound into ``velliq::brentq``.

The flags are read from the extension's CMakeLists.txt (VELLIQ_CXX_FLAGS, less
warnings) and completed with what its CMake settings add: C++20, link-time
optimisation (INTERPROCEDURAL_OPTIMIZATION), position-independent code and
hidden visibility (without it every kernel call in a -fPIC library could be
interposed and would not be inlined, unlike in the extension).
"""

import ctypes
import re
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
BUILD = BENCH / "build"
LIB = BUILD / "libvelliq_floor.so"
SOURCES = [BENCH / "floor.cpp", *sorted((ROOT / "kernels").glob("*.cpp"))]
FALLBACK_FLAGS = ["-O2", "-fno-fast-math", "-ffp-contract=off"]


def extension_flags():
    """The optimisation and floating-point flags of the extension's CMakeLists.txt."""
    try:
        text = (ROOT / "CMakeLists.txt").read_text()
        flags = re.search(r"set\(VELLIQ_CXX_FLAGS([^)]*)\)", text).group(1).split()
    except (OSError, AttributeError):
        return FALLBACK_FLAGS
    return [f for f in flags if not f.startswith("-W")] or FALLBACK_FLAGS


def build_command():
    return ["c++", "-std=c++20", *extension_flags(), "-flto", "-fPIC", "-shared",
            "-fvisibility=hidden", "-I", str(ROOT / "kernels"),
            *map(str, SOURCES), "-o", str(LIB)]


def build(force=False):
    """Compile the library unless it is newer than every source; return the command used."""
    command = build_command()
    inputs = [*SOURCES, ROOT / "kernels" / "kernels.hpp", ROOT / "CMakeLists.txt"]
    if force or not LIB.exists() or any(p.stat().st_mtime > LIB.stat().st_mtime for p in inputs):
        BUILD.mkdir(exist_ok=True)
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"building the floor library failed:\n{' '.join(command)}\n{result.stderr}")
    return command


def scipy_brentq_pointer():
    """Address of SciPy's compiled brentq, from its exported C function table."""
    from scipy.optimize.cython_optimize import _zeros

    capsule = _zeros.__pyx_capi__["brentq"]
    api = ctypes.pythonapi
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    return api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))


def load():
    """The built library with its argument types declared and brentq bound."""
    lib = ctypes.CDLL(str(LIB))
    dp, ip, i64, d = (ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int),
                      ctypes.c_int64, ctypes.c_double)
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
