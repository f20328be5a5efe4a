"""Runs the suite against an installed wheel as well as a source build.

The kernel probes (tests/support.py) need a C++ compiler and skip without one,
as on a user's machine that installed a wheel. The header names the velliq the
suite imports and the compiler found, so a run shows which build it tested.
"""

import importlib.metadata
import shutil

COMPILERS = ("c++", "g++", "cc", "gcc")


def pytest_report_header():
    import velliq

    location = velliq.__path__[0]
    compiler = next(filter(None, map(shutil.which, COMPILERS)), "none on PATH")
    return [f"velliq {importlib.metadata.version('velliq')} from {location}; C++ compiler: {compiler}"]
