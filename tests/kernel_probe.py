"""Build the pricing kernels with tests/kernel_probe.cpp into the probe library kernel_probe
(once per process, by CMake as the extension builds them: cmake/kernel_libraries), load it
with ctypes and hand it SciPy's real brentq from SciPy's exported C table."""

import ctypes
import functools

from support import probe_library, scipy_brentq_pointer

d, i, P = ctypes.c_double, ctypes.c_int, ctypes.POINTER(ctypes.c_double)
SIGNATURES = {  # name: (restype, argtypes)
    "set_brentq": (None, [ctypes.c_void_p]),
    "norm_pdf": (d, [d]),
    "norm_cdf": (d, [d]),
    "bsm_price": (d, [d] * 4 + [i]),
    "critical_func": (d, [i] + [d] * 6),
    "solve_critical": (d, [i] + [d] * 5),
    "baw_price": (d, [d] * 5 + [i]),
    "iv_objective": (d, [d] * 6 + [i]),
    "baw_iv": (d, [d] * 5 + [i]),
    "fminbound": (d, [i, d, d, d, i]),
    "fwd_iv_abs_diff": (d, [d] * 3 + [P] * 3 + [ctypes.c_long]),
    "find_forward": (d, [d] * 2 + [P] * 3 + [ctypes.c_long]),
    "bracket_search": (d, [d] * 2 + [P] * 3 + [ctypes.c_long]),
}


@functools.cache
def load():
    lib = probe_library("kernel_probe", SIGNATURES)
    pointer = scipy_brentq_pointer()
    assert pointer, "SciPy exports no brentq"
    lib.probe_set_brentq(pointer)
    return lib
