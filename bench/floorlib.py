"""Build and load the floor library: bench/floor.cpp and src/kernels/**/*.cpp in one
shared library, compiled as the extension module compiles the kernels, with
SciPy's real brentq bound into ``velliq::brentq``.

The flags are those of src/kernels/compile_flags.txt, which CMake builds the
extension with (less warnings), completed with what its CMake settings add:
C++20, link-time optimisation (INTERPROCEDURAL_OPTIMIZATION), position-independent
code and hidden visibility (without it every kernel call in a -fPIC library could
be interposed and would not be inlined, unlike in the extension). The compiler
runs in the repository root on relative paths, so the command it reports is the
same on every machine.
"""

import ctypes
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from support import FLAGS_FILE, kernel_flags, scipy_brentq_pointer  # noqa: E402

LIB = Path("bench", "build", "libvelliq_floor.so")
SOURCES = [Path("bench", "floor.cpp"), *sorted(p.relative_to(ROOT) for p in (ROOT / "src" / "kernels").rglob("*.cpp"))]


def build_command():
    return [
        "c++",
        "-std=c++20",
        *kernel_flags(),
        "-flto",
        "-fPIC",
        "-shared",
        "-fvisibility=hidden",
        "-I",
        "src/kernels",
        *map(str, SOURCES),
        "-o",
        str(LIB),
    ]


def build(force=False):
    """Compile the library unless it is newer than every source; return the command used."""
    command = build_command()
    lib = ROOT / LIB
    inputs = [*(ROOT / p for p in SOURCES), ROOT / "src" / "kernels" / "kernels.hpp", FLAGS_FILE]
    if force or not lib.exists() or any(p.stat().st_mtime > lib.stat().st_mtime for p in inputs):
        lib.parent.mkdir(exist_ok=True)
        result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"building the floor library failed:\n{' '.join(command)}\n{result.stderr}")
    return command


def load():
    """The built library with its argument types declared and brentq bound."""
    lib = ctypes.CDLL(str(ROOT / LIB))
    dp, ip, i64, d = (ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_int), ctypes.c_int64, ctypes.c_double)
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
