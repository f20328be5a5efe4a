"""Output files that appear whole or not at all.

Each file is written under a temporary name in its own folder (a rename
within one file system is atomic) and renamed into place once every file of
the command is complete; on any failure, an interrupt included, the temporary
files are removed and the files already there are left as they were.
"""

import contextlib
import os
import tempfile
from collections.abc import Iterator
from pathlib import Path

__all__ = ["TEMPORARY_PREFIX", "PendingFiles", "pending_files", "same_file"]

TEMPORARY_PREFIX = ".velliq-"


class PendingFiles:
    """The temporary files of a command's outputs, until they are renamed into place."""

    def __init__(self) -> None:
        self._pending: list[tuple[Path, Path]] = []

    def temporary(self, path: Path) -> Path:
        """A new empty file beside ``path`` whose name ends with the name of
        ``path``, so that its suffix picks the same format and compression."""
        descriptor, name = tempfile.mkstemp(prefix=TEMPORARY_PREFIX, suffix=f"-{path.name}", dir=path.parent)
        os.close(descriptor)
        temporary = Path(name)
        self._pending.append((temporary, path))
        os.chmod(temporary, _final_mode(path))
        return temporary

    def commit(self) -> None:
        while self._pending:
            temporary, path = self._pending[0]
            os.replace(temporary, path)
            self._pending.pop(0)

    def discard(self) -> None:
        while self._pending:
            temporary, _ = self._pending.pop()
            temporary.unlink(missing_ok=True)


@contextlib.contextmanager
def pending_files() -> Iterator[PendingFiles]:
    """Yields the :class:`PendingFiles` to write to; renames them into place
    when the block completes, removes them when it raises."""
    files = PendingFiles()
    try:
        yield files
        files.commit()
    finally:
        files.discard()


def same_file(a: Path, b: Path) -> bool:
    """Whether the two names are one file (a hard link, a symbolic link or another spelling)."""
    try:
        return os.path.samefile(a, b)
    except FileNotFoundError:
        return a.resolve() == b.resolve()


def _final_mode(path: Path) -> int:
    """The permissions the file replaced had, or those a new file gets (mkstemp's are private)."""
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
