"""The command's own process: memory the work frees goes back to the system at once.

Arrow's allocator keeps what it freed (a file's pages, the text columns'
temporaries) for its own reuse, which the NumPy arrays of the next step
cannot use: the command hands it back after each step.

glibc serves a block above its mmap threshold by a mapping of its own, returned
when freed; but freeing one raises the threshold to its size, so that the next
blocks of that size (the table's columns and their temporaries, megabytes each)
come from the heap, whose freed pages are kept. On a large table that keeps a
few hundred megabytes resident after each step. Setting the threshold fixes it
at its default and turns the raising off."""

import ctypes
import platform
import sys

__all__ = ["map_large_blocks", "release_arrow_memory"]

_M_MMAP_THRESHOLD = -3  # mallopt's parameter number (glibc's malloc.h)
_DEFAULT_THRESHOLD = 128 * 1024  # glibc's default, in bytes


def map_large_blocks() -> None:
    """Keeps glibc's mmap threshold at its default for this process; nothing elsewhere."""
    if platform.system() != "Linux" or platform.libc_ver()[0] != "glibc":
        return
    try:
        ctypes.CDLL(None).mallopt(_M_MMAP_THRESHOLD, _DEFAULT_THRESHOLD)
    except (OSError, AttributeError):  # no mallopt to call: the allocator keeps its own policy
        return


def release_arrow_memory() -> None:
    """Returns to the system what Arrow's allocator kept of the last step's temporaries."""
    if "pyarrow" in sys.modules:
        sys.modules["pyarrow"].default_memory_pool().release_unused()
