"""The tests' helpers: the development helpers shared with bench/ (tools/devsupport) and the
kernel probe libraries, loaded with ctypes."""

import ctypes
import functools
import shutil
import sys
import tempfile
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
from devsupport import kernel_library  # noqa: E402
from devsupport.brentq import scipy_brentq_pointer  # noqa: E402
from devsupport.inversion import ROUND_TRIP_TOLERANCE, inversion_failures, random_options  # noqa: E402
from devsupport.quotes import random_chain  # noqa: E402

__all__ = [
    "ROUND_TRIP_TOLERANCE",
    "inversion_failures",
    "probe_library",
    "random_chain",
    "random_options",
    "scipy_brentq_pointer",
]


@functools.cache
def build_dir():
    """One CMake build of the kernel libraries per test process, so the kernels compile once."""
    return Path(tempfile.mkdtemp(prefix="velliq-kernel-libraries-"))


def probe_library(target, signatures):
    """Builds the probe library `target` of cmake/kernel_libraries, loads it with ctypes and
    declares each probe_<name> of `signatures` ({name: (restype, argtypes)}). Skips the test
    where no C++ compiler is on PATH, as where the suite checks an installed wheel."""
    if shutil.which("c++") is None:
        pytest.skip("needs a C++ compiler to build the kernel probe; c++ is not on PATH")
    path, _ = kernel_library.build(target, build_dir())
    lib = ctypes.CDLL(str(path))
    for function, (restype, argtypes) in signatures.items():
        fn = getattr(lib, "probe_" + function)
        fn.restype, fn.argtypes = restype, argtypes
    return lib
