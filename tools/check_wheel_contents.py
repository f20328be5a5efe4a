"""Checks that each wheel given holds the package and its metadata only: the Python
modules, the compiled extension modules, their .pyi stubs and py.typed, and no C++
sources, tests or build files. Prints each wheel's size and file count.

    python tools/check_wheel_contents.py dist/velliq-*.whl
"""

import sys
import zipfile
from pathlib import Path, PurePosixPath

REQUIRED = ("velliq/py.typed", "velliq/norvane.pyi", "velliq/_ufuncs.pyi")
EXTENSIONS = ("norvane", "_ufuncs")
PACKAGE_SUFFIXES = {".py", ".pyi", ".typed", ".so"}


def problems(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    for name in names:
        if name.endswith("/"):  # a directory entry
            continue
        path = PurePosixPath(name)
        top = path.parts[0]
        if top.endswith(".dist-info"):
            continue
        if top != "velliq" or path.suffix not in PACKAGE_SUFFIXES:
            yield f"not part of the package: {name}"
    for name in REQUIRED:
        if name not in names:
            yield f"missing: {name}"
    for module in EXTENSIONS:
        if not any(n.startswith(f"velliq/{module}.") and n.endswith(".so") for n in names):
            yield f"missing the extension module velliq.{module}"


def main(wheels):
    failed = False
    for wheel in map(Path, wheels):
        found = list(problems(wheel))
        count = len(zipfile.ZipFile(wheel).namelist())
        print(f"{wheel.name}: {wheel.stat().st_size / 1024:.0f} KiB, {count} files")
        for problem in found:
            print(f"  {problem}")
        failed |= bool(found)
    return 1 if failed or not wheels else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
