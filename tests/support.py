"""Helpers shared by the tests and the benchmarks (bench/ puts this folder on sys.path)."""
import ctypes
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FLAGS_FILE = ROOT / "kernels" / "compile_flags.txt"


def kernel_flags():
    """The flags of kernels/compile_flags.txt that shape the generated code: every
    line starting with "-", as CMake reads it, less the warning (-W) flags."""
    lines = FLAGS_FILE.read_text().splitlines()
    return [line.strip() for line in lines if line.startswith("-") and not line.startswith("-W")]


def scipy_brentq_pointer():
    """Address of SciPy's compiled brentq, from its exported C function table."""
    from scipy.optimize.cython_optimize import _zeros

    capsule, api = _zeros.__pyx_capi__["brentq"], ctypes.pythonapi
    api.PyCapsule_GetName.argtypes, api.PyCapsule_GetName.restype = [ctypes.py_object], ctypes.c_char_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    return api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))

