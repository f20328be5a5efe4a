"""Helpers shared by the tests and the benchmarks (bench/ puts this folder on sys.path)."""

import ctypes
import subprocess
import tempfile
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
KERNELS = ROOT / "src" / "kernels"
FLAGS_FILE = KERNELS / "compile_flags.txt"


def kernel_flags():
    """The flags of src/kernels/compile_flags.txt that shape the generated code: every
    line starting with "-", as CMake reads it, less the warning (-W) flags."""
    lines = FLAGS_FILE.read_text().splitlines()
    return [line.strip() for line in lines if line.startswith("-") and not line.startswith("-W")]


def probe_library(name, sources, signatures):
    """Compiles `sources` (paths) into a shared library with the kernels' flags,
    loads it with ctypes and declares each probe_<name> of `signatures`
    ({name: (restype, argtypes)})."""
    lib_path = Path(tempfile.mkdtemp(prefix=f"velliq-{name}-")) / f"{name}.so"
    command = ["c++", "-std=c++20", *kernel_flags(), "-fPIC", "-shared", "-I", str(KERNELS)]
    build = subprocess.run([*command, *map(str, sources), "-o", str(lib_path)], capture_output=True, text=True)
    if build.returncode:
        raise RuntimeError(f"building {name} failed:\n{build.stderr}")
    lib = ctypes.CDLL(str(lib_path))
    for function, (restype, argtypes) in signatures.items():
        fn = getattr(lib, "probe_" + function)
        fn.restype, fn.argtypes = restype, argtypes
    return lib


def scipy_brentq_pointer():
    """Address of SciPy's compiled brentq, from its exported C function table."""
    from scipy.optimize.cython_optimize import _zeros

    capsule, api = _zeros.__pyx_capi__["brentq"], ctypes.pythonapi
    api.PyCapsule_GetName.argtypes, api.PyCapsule_GetName.restype = [ctypes.py_object], ctypes.c_char_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    return api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))


def random_chain(n, seed=5):
    """n quotes on spot 100 priced by baw_price: strikes 50-150, discount factors
    0.9-1, forwards within 5 % of spot, total std devs 0.05-1, calls and puts at
    random. Returns prices, S, K, D, F and is_call (a boolean array)."""
    from velliq.norvane import baw_price

    rng = np.random.default_rng(seed)
    S, K, D = np.full(n, 100.0), rng.uniform(50, 150, n), rng.uniform(0.9, 1.0, n)
    F, is_call = S * rng.uniform(0.95, 1.05, n), rng.random(n) < 0.5
    flags = np.where(is_call, "c", "p").tolist()
    prices = np.array([baw_price(*q) for q in zip(S, K, D, F, rng.uniform(0.05, 1.0, n), flags)])
    return prices, S, K, D, F, is_call
