"""Files that appear whole or not at all.

An output is written under a temporary name beside its target (a name
starting with "." in the same folder, so on the same file system), flushed to
the disk, and renamed over the target only once the writer has succeeded. A
failure, Ctrl-C or a full disk leaves the target as it was and removes the
temporary file; a reader never sees half a file, and never the old file gone
with no new one.
"""

from __future__ import annotations

import contextlib
import os
import tempfile

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Iterator


@contextlib.contextmanager
def replacing(target: str) -> Iterator[str]:
    """The path of a new, empty temporary file beside `target`, keeping its
    extension (writers such as matplotlib choose the format by it). When the
    block ends normally the file is flushed and renamed to `target`; when it
    raises (anything, KeyboardInterrupt too) the file is removed and the
    exception goes on."""
    folder, name = os.path.split(os.path.abspath(target))
    stem, extension = os.path.splitext(name)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{stem}.", suffix=f".partial{extension}", dir=folder)
    os.close(descriptor)
    try:
        # mkstemp makes the file private (0600); the result gets the mode the
        # target has, or the one a newly created file would have.
        os.chmod(temporary, _target_mode(target))
        yield temporary
        _flush(temporary)
        os.replace(temporary, target)
    except BaseException:
        # No call of Python code before the removal: a second Ctrl-C is
        # raised only there (or in a loop), and would skip it.
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    _flush_folder(folder)


@contextlib.contextmanager
def new_file(target: str) -> Iterator[str]:
    """`target` itself, for a file under a name no other writer takes that
    no reader looks at until something names it (a Delta table's part,
    until a commit does): flushed to the disk with its folder when the block
    ends normally, removed when it raises."""
    try:
        yield target
        _flush(target)
    except BaseException:
        try:
            os.unlink(target)
        except FileNotFoundError:
            pass
        raise
    _flush_folder(os.path.dirname(os.path.abspath(target)))


def _target_mode(target: str) -> int:
    try:
        return os.stat(target).st_mode & 0o7777
    except OSError:
        mask = os.umask(0o022)
        os.umask(mask)
        return 0o666 & ~mask


def _flush(path: str) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _flush_folder(folder: str) -> None:
    """The rename itself on the disk; some file systems cannot sync a folder,
    which leaves the rename where the system keeps it."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)
