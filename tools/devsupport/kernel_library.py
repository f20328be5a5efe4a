"""Shared libraries of the kernels for ctypes, built by CMake from cmake/kernel_libraries: the
kernels exactly as the extension modules build them (src/kernels/CMakeLists.txt), with a
probe's or the floor's own sources compiled with the same flags and link-time optimisation."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from devsupport import ROOT

PROJECT = ROOT / "cmake" / "kernel_libraries"
# Flags in the environment would reach the compiler through CMake, and a preloaded sanitizer
# runtime (tools/sanitize.sh) the toolchain itself: the libraries are built by the recipe alone.
IGNORED_ENVIRONMENT = ("CXXFLAGS", "LDFLAGS", "LD_PRELOAD")


def cmake():
    """The cmake of this interpreter's environment (the `cmake` package), else the one on PATH."""
    beside = Path(sys.executable).with_name("cmake")
    return str(beside) if beside.exists() else shutil.which("cmake") or "cmake"


def commands(target, build_dir, force=False):
    """The configure and build commands of `target` in `build_dir` (paths as given)."""
    build = [cmake(), "--build", str(build_dir), "--target", target, "--parallel", "2"]
    configure = [cmake(), "-S", str(PROJECT.relative_to(ROOT)), "-B", str(build_dir)]
    return [configure, [*build, "--clean-first"] if force else build]


def build(target, build_dir, force=False):
    """Configures `build_dir` (relative paths are from the repository root) and builds `target`
    in it, CMake rebuilding only what changed (everything when `force`). Returns the path of the
    library and the commands run."""
    env = {k: v for k, v in os.environ.items() if k not in IGNORED_ENVIRONMENT}
    steps = commands(target, build_dir, force)
    for command in steps:
        result = subprocess.run(command, cwd=ROOT, env=env, capture_output=True, text=True)
        if result.returncode:
            raise RuntimeError(f"building {target} failed:\n{' '.join(command)}\n{result.stdout}{result.stderr}")
    return ROOT / build_dir / f"lib{target}.so", steps
