"""SciPy's compiled brentq as a raw pointer, for libraries that take it in place of velliq.brentq."""

import ctypes


def scipy_brentq_pointer():
    """Address of SciPy's compiled brentq, from its exported C function table."""
    from scipy.optimize.cython_optimize import _zeros

    capsule, api = _zeros.__pyx_capi__["brentq"], ctypes.pythonapi
    api.PyCapsule_GetName.argtypes, api.PyCapsule_GetName.restype = [ctypes.py_object], ctypes.c_char_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    return api.PyCapsule_GetPointer(capsule, api.PyCapsule_GetName(capsule))
