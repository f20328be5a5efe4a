"""The command's own process: memory the work frees goes back to the system at once.

glibc serves a block above its mmap threshold by a mapping of its own, returned
when freed; but freeing one raises the threshold to its size, so that the next
blocks of that size (the table's columns and their temporaries, megabytes each)
come from the heap, whose freed pages are kept. Setting the threshold fixes it
at its default and turns the raising off.

Arrow's own allocator keeps what it frees (a file's pages, the temporaries of
the text columns' operations) for Arrow's reuse, which the NumPy arrays of the
next step cannot use: the command gives Arrow the system's allocator instead.

On 1,000,000 quotes (bench/scale.py) the two take the command's peak above its
imports from about 2.1 to 1.6 times the table's size. The library itself never
touches the allocators: a program that imports velliq keeps its own."""

import ctypes
import importlib
import platform
import sys

__all__ = ["free_memory_promptly", "release_arrow_memory"]

_M_MMAP_THRESHOLD = -3  # mallopt's parameter number (glibc's malloc.h)
_DEFAULT_THRESHOLD = 128 * 1024  # glibc's default, in bytes


def free_memory_promptly() -> None:
    """Keeps glibc's mmap threshold at its default and, once pyarrow is imported, puts its
    allocations on the system allocator; elsewhere nothing."""
    if platform.system() == "Linux" and platform.libc_ver()[0] == "glibc":
        try:
            ctypes.CDLL(None).mallopt(_M_MMAP_THRESHOLD, _DEFAULT_THRESHOLD)
        except (OSError, AttributeError):  # no mallopt to call: the allocator keeps its own policy
            pass
    try:
        pyarrow = importlib.import_module("pyarrow")
    except ImportError:
        return
    pyarrow.set_memory_pool(pyarrow.system_memory_pool())


def release_arrow_memory() -> None:
    """Returns to the system what Arrow's allocator kept of the last step's temporaries."""
    if "pyarrow" in sys.modules:
        sys.modules["pyarrow"].default_memory_pool().release_unused()
