"""Output files that appear whole or not at all.

Each file is written under a temporary name in the folder of the file it
becomes (a symbolic link's target: the link is written through, not
replaced) and renamed into place once every file of the command is complete;
on any failure, an interrupt included, the temporary files are removed and
the files already there are left as they were. A file with several names (a
hard link) cannot be renamed onto without splitting its names: once complete,
its new contents are copied into it in place, with SIGINT and SIGTERM held
off during the copy.

A temporary file is locked while it is pending. One left behind by a killed
command (SIGKILL, a power cut) is unlocked: the next command writing into
that folder removes it.
"""

import contextlib
import fcntl
import os
import re
import shutil
import signal
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

__all__ = ["TEMPORARY_PREFIX", "PendingFiles", "final_path", "pending_files", "remove_stale_temporaries", "same_file"]

TEMPORARY_PREFIX = ".velliq-"

# mkstemp's names: the prefix, eight characters of its alphabet, then "-" and the final file's name.
_TEMPORARY_NAME = re.compile(re.escape(TEMPORARY_PREFIX) + r"[a-z0-9_]{8}-.+", re.DOTALL)


def final_path(path: Path) -> Path:
    """The file that writing ``path`` changes: the target of a symbolic link (of a chain of them)."""
    return Path(os.path.realpath(path)) if path.is_symlink() else path


@dataclass
class _Pending:
    descriptor: int  # open, and locked, until the file is renamed into place or removed
    temporary: Path
    final: Path


class PendingFiles:
    """The temporary files of a command's outputs, until they are renamed into place."""

    def __init__(self) -> None:
        self._pending: list[_Pending] = []

    def temporary(self, path: Path) -> Path:
        """A new empty file beside the file ``path`` names whose name ends with
        the name of ``path``, so that its suffix picks the same format and compression."""
        final = final_path(path)
        remove_stale_temporaries(final.parent)
        while True:
            descriptor, name = tempfile.mkstemp(prefix=TEMPORARY_PREFIX, suffix=f"-{path.name}", dir=final.parent)
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX)
                fresh = os.fstat(descriptor).st_nlink > 0
            except BaseException:  # an interrupt included: no descriptor or file left behind
                os.close(descriptor)
                Path(name).unlink(missing_ok=True)
                raise
            if fresh:
                break
            os.close(descriptor)  # removed as stale before it was locked: take another
        pending = _Pending(descriptor, Path(name), final)
        self._pending.append(pending)
        os.fchmod(descriptor, _final_mode(final))
        return pending.temporary

    def commit(self) -> None:
        while self._pending:
            pending = self._pending[0]
            if _names(pending.final) > 1:
                _copy_in_place(pending.temporary, pending.final)
                pending.temporary.unlink()
            else:
                os.replace(pending.temporary, pending.final)
            os.close(self._pending.pop(0).descriptor)

    def discard(self) -> None:
        while self._pending:
            pending = self._pending.pop()
            pending.temporary.unlink(missing_ok=True)
            os.close(pending.descriptor)


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


def remove_stale_temporaries(folder: Path) -> None:
    """Removes this user's temporary files in ``folder`` that no command holds
    (those a killed command left)."""
    with os.scandir(folder) as entries:
        for entry in entries:
            if _TEMPORARY_NAME.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
                _remove_if_unlocked(Path(entry.path))


def _remove_if_unlocked(path: Path) -> None:
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
    except OSError:
        return  # gone since listed, or not ours to read
    try:
        if os.fstat(descriptor).st_uid != os.geteuid():
            return
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return  # a running command's
        with contextlib.suppress(OSError):
            path.unlink()
    finally:
        os.close(descriptor)


def same_file(a: Path, b: Path) -> bool:
    """Whether the two names are one file (a hard link, a symbolic link or another spelling)."""
    try:
        return os.path.samefile(a, b)
    except FileNotFoundError:
        return a.resolve() == b.resolve()


def _names(path: Path) -> int:
    try:
        return os.stat(path).st_nlink
    except FileNotFoundError:
        return 0


def _copy_in_place(source: Path, target: Path) -> None:
    """``target``'s contents replaced by ``source``'s, keeping its inode (and so its other names)."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    try:
        with open(source, "rb") as reader, open(target, "r+b") as writer:
            shutil.copyfileobj(reader, writer)
            writer.truncate()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def _final_mode(path: Path) -> int:
    """The permissions the file replaced had, or those a new file gets (mkstemp's are private)."""
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask
