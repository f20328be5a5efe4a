"""Start-up of velliq.norvane: module attributes, re-import, the one-interpreter
rule and the binding of SciPy's brentq (the last two in fresh processes)."""

import builtins
import importlib
import subprocess
import sys
import textwrap

import numpy as np

import velliq.norvane as nv

FUNCTIONS = {"baw_price", "baw_implied_vol", "vectorized_baw_implied_vol", "find_forward_baw"}
CONSTANTS = [
    "_NCDF_ASYM1",
    "_NCDF_ASYM2",
    "_DBL_MAX",
    "_DBL_EPS",
    "_ONE_OVER_SQRT_TWO_PI",
    "_ONE_OVER_SQRT_TWO",
    "_BRENTQ_XTOL",
    "_IV_MAX_SIGMA",
    "_IV_TOL",
    "_GOLDEN",
    "_SQRT_EPS",
]
IMPORT_SYSTEM = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__path__", "__cached__"}


def test_module_attributes():
    lines = nv.__doc__.split("\n")
    assert lines[:3] == [
        "C++ Barone-Adesi-Whaley (1987) American option pricer and IV solver.",
        "",
        "Implements baw_price, baw_implied_vol, vectorized_baw_implied_vol, and",
    ]
    assert lines[3].startswith("find_forward_baw as C-level code (") and lines[3].endswith(").")
    assert "brentq" in lines[3] and lines[4:] == [""]
    assert nv.np is np and nv.__builtins__ is builtins
    assert type(nv.__test__) is dict and nv.__test__ == {}
    # The numeric constants are private: nothing else is published.
    assert set(vars(nv)) - IMPORT_SYSTEM == FUNCTIONS | {"__builtins__", "np", "__test__"}
    assert not any(hasattr(nv, name) for name in CONSTANTS)


def test_reimport_returns_the_same_module():
    functions = {name: getattr(nv, name) for name in FUNCTIONS}
    del sys.modules["velliq.norvane"]
    try:
        again = importlib.import_module("velliq.norvane")
    finally:
        sys.modules["velliq.norvane"] = nv
    assert again is nv
    # Start-up did not run again: the published functions are the original objects.
    assert all(getattr(nv, name) is f for name, f in functions.items())


def run_python(code):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120, cwd="/"
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.split()


def test_second_interpreter_is_refused():
    # The second interpreter shares the main one's settings ("legacy"), so that NumPy
    # loads in it and the refusal comes from velliq.norvane itself. Python 3.13 renamed
    # the module, and returns a failed script's exception rather than raising it.
    assert run_python("""
        import velliq.norvane
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
            second = interpreters.create(isolated=False)
        else:
            second = interpreters.create("legacy")
        failure = interpreters.run_string(second, '''
        try:
            import velliq.norvane
        except ImportError as error:
            assert str(error) == ("Interpreter change detected - this module can only be "
                                  "loaded into one interpreter per process."), str(error)
        else:
            raise AssertionError("imported in a second interpreter")
        print("refused", flush=True)
        ''')
        assert failure is None, failure.errdisplay
        interpreters.destroy(second)
        assert velliq.norvane.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, "c") > 0
        print("ok")
    """) == ["refused", "ok"]


def test_brentq_binding_failures_and_retry():
    assert run_python("""
        import ctypes, sys, types
        import scipy.optimize.cython_optimize._zeros as real
        NAME = real.__name__
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = (ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
        target, wrong_name = ctypes.c_double(), b"double (double, void *)"  # outlive the capsule
        expected = ("double (__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_callback_type, "
                    "double, double, void *, double, double, int, "
                    "__pyx_t_5scipy_8optimize_15cython_optimize_6_zeros_zeros_full_output *)")
        for capi, error_type, message in [
            ({"bisect": real.__pyx_capi__["bisect"]}, ImportError,
             f"{NAME} does not export expected C function brentq"),
            ({"brentq": new_capsule(ctypes.addressof(target), wrong_name, None)}, TypeError,
             f"C function {NAME}.brentq has wrong signature (expected {expected}, "
             "got double (double, void *))"),
        ]:
            sys.modules[NAME] = types.ModuleType(NAME)
            sys.modules[NAME].__pyx_capi__ = capi
            try:
                import velliq.norvane
                raise AssertionError("imported without brentq")
            except error_type as error:
                assert str(error) == message, str(error)
            assert "velliq.norvane" not in sys.modules
        sys.modules[NAME] = real  # a retry runs start-up in full and succeeds
        import velliq.norvane as nv
        assert abs(nv.baw_price(100.0, 100.0, 0.98, 99.0, 0.2, "c") - 7.41) < 5e-3
        assert abs(nv.baw_implied_vol(7.4, 100.0, 100.0, 0.98, 99.0, "c") - 0.2) < 1e-3
        print("ok")
    """) == ["ok"]
