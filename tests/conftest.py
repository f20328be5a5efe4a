"""Runs the suite against an installed wheel as well as a source build.

A test whose set-up or body needs the C++ compiler (the kernel probes compile
src/kernels with the tests' probe sources) is skipped, with the reason, when no
compiler is on PATH, as on a user's machine that installed a wheel. The header
names the velliq the suite imports, so a run shows which build it tested.
"""

import importlib.metadata
import shutil

import pytest

COMPILERS = ("c++", "g++", "cc", "gcc")


def pytest_report_header():
    import velliq

    location = velliq.__path__[0]
    compiler = next(filter(None, map(shutil.which, COMPILERS)), "none on PATH")
    return [f"velliq {importlib.metadata.version('velliq')} from {location}; C++ compiler: {compiler}"]


def _needs_missing_compiler(error):
    return isinstance(error, FileNotFoundError) and error.filename in COMPILERS


@pytest.hookimpl(wrapper=True)
def pytest_runtest_setup(item):
    try:
        return (yield)
    except Exception as error:
        if _needs_missing_compiler(error):
            pytest.skip(f"needs a C++ compiler to build the kernel probe; {error.filename} is not on PATH")
        raise


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    try:
        return (yield)
    except Exception as error:
        if _needs_missing_compiler(error):
            pytest.skip(f"needs a C++ compiler to build the kernel probe; {error.filename} is not on PATH")
        raise
