"""Build and load the pricing kernels with tests/kernel_probe.cpp for kernel tests.

The kernels and the probe are compiled once per process into a temporary
directory with the project's floating-point flags, loaded with ctypes, and
bound to SciPy's real brentq taken from its exported C function table.
"""

import ctypes
import functools
import pathlib
import subprocess
import tempfile

from scipy.optimize.cython_optimize import _zeros

ROOT = pathlib.Path(__file__).resolve().parent.parent
CXXFLAGS = ["-std=c++20", "-O2", "-fno-fast-math", "-ffp-contract=off", "-fPIC", "-shared"]

d, i, P = ctypes.c_double, ctypes.c_int, ctypes.POINTER(ctypes.c_double)
SIGNATURES = {
    "probe_set_brentq": ([ctypes.c_void_p], None),
    "probe_reset": ([], None),
    "probe_brentq_count": ([], i),
    "probe_eval_count": ([], i),
    "probe_brentq_call": ([i, P], i),
    "probe_norm_pdf": ([d], d),
    "probe_norm_cdf": ([d], d),
    "probe_bsm_price": ([d, d, d, d, i], d),
    "probe_critical_func": ([i, d, d, d, d, d, d], d),
    "probe_solve_critical": ([i, d, d, d, d, d], d),
    "probe_baw_price": ([d, d, d, d, d, i], d),
    "probe_iv_objective": ([d, d, d, d, d, d, i], d),
    "probe_baw_iv": ([d, d, d, d, d, i], d),
    "probe_fminbound": ([i, d, d, d, i], d),
    "probe_fwd_iv_abs_diff": ([d, d, d, P, P, P, ctypes.c_long], d),
}


def scipy_brentq_pointer():
    """Address of SciPy's brentq, read from the capsule under its own name."""
    capsule = _zeros.__pyx_capi__["brentq"]
    api = ctypes.pythonapi
    api.PyCapsule_GetName.argtypes = [ctypes.py_object]
    api.PyCapsule_GetName.restype = ctypes.c_char_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    pointer = api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))
    assert pointer
    return pointer


def brentq_calls(lib):
    """Root searches since the last probe_reset, as (xa, xb, xtol, rtol, iter, kind, param, root)."""
    out = (ctypes.c_double * 8)()
    calls = []
    while lib.probe_brentq_call(len(calls), out):
        rec = list(out)
        calls.append(tuple(rec[:4]) + (int(rec[4]), int(rec[5])) + tuple(rec[6:]))
    return calls


@functools.cache
def load():
    """Compile (once per process), load and bind the probe library."""
    build = pathlib.Path(tempfile.mkdtemp(prefix="velliq-kernel-probe-"))
    lib_path = build / "kernel_probe.so"
    sources = sorted((ROOT / "kernels").glob("*.cpp")) + [ROOT / "tests" / "kernel_probe.cpp"]
    cmd = ["c++", *CXXFLAGS, "-I", str(ROOT / "kernels"), *map(str, sources), "-o", str(lib_path)]
    result = subprocess.run(cmd, capture_output=True, text=True)
    if result.returncode:
        raise RuntimeError(f"building the kernel probe failed:\n{result.stderr}")
    lib = ctypes.CDLL(str(lib_path))
    for name, (argtypes, restype) in SIGNATURES.items():
        fn = getattr(lib, name)
        fn.argtypes, fn.restype = argtypes, restype
    lib.probe_set_brentq(scipy_brentq_pointer())
    return lib
