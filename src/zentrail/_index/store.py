"""The index's folder: one entry file per (archive file, reading, section),
named by a hash of the three, each written whole under a temporary name and
renamed into place.

Several processes may build and read one folder at once: two writers of an
entry write the same facts and the last rename wins; a reader sees a whole
entry or none. No entry is synced to the disk: a crash may leave one torn,
and a torn entry fails its digest and is built again.
"""

from __future__ import annotations

import hashlib
import os
import tempfile
import warnings

from zentrail._index import entry as _entry
from zentrail._index.identity import FileIdentity

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional, Set

# The share of its file's size each section's entry may take, together at
# most 1%: the index stays within 1% of the archive. An entry that would
# take more is not kept (its file is read each time, as without an index):
# a file of many signals and few records each (a quiet day) has counts and
# values too many to be worth keeping beside it.
SHARES = {"inventory": 0.004, "latest": 0.003, "gaps": 0.003}
# The key of a marker part: the file's part is too large to keep.
UNKEPT = "unkept"
# The entries' layout in the folder; a new one starts a new folder beside.
LAYOUT = "v1"

# The folders that could not be written, each told once per process.
_told: Set[str] = set()


class IndexWarning(UserWarning):
    """The index could not be used as asked; reads go on without it."""


class Store:
    """The entries of one index folder."""

    __slots__ = ("folder",)

    def __init__(self, folder: str) -> None:
        self.folder = os.path.join(folder, LAYOUT)

    def _path(self, identity: FileIdentity, reading: str, section: str) -> str:
        key = hashlib.blake2b(f"{identity.path}\0{reading}\0{section}".encode("utf-8", "surrogateescape"),
                              digest_size=16).hexdigest()
        return os.path.join(self.folder, key[:2], key[2:] + ".zti")

    def load(self, identity: FileIdentity, reading: str, section: str, version: int) -> Optional[Dict[str, Any]]:
        """The part kept for the file, None where none is, or the one kept is
        stale, torn or corrupt."""
        try:
            with open(self._path(identity, reading, section), "rb") as file:
                data = file.read()
        except OSError:
            return None
        return _entry.decode(data, identity, reading, section, version)

    def save(self, identity: FileIdentity, reading: str, section: str, version: int, part: Dict[str, Any]) -> bool:
        """Keeps the part for the file; False where it is too large to keep
        or the folder cannot be written (told once, as an IndexWarning)."""
        allowed = SHARES.get(section, 0.0) * identity.size
        if sum(array.nbytes for array in part.values()) > 8 * allowed:  # (too large even compressed well)
            return False
        data = _entry.encode(identity, reading, section, version, part)
        if len(data) > allowed:
            return False
        return self._write(self._path(identity, reading, section), data)

    def _write(self, target: str, data: bytes) -> bool:
        folder = os.path.dirname(target)
        try:
            os.makedirs(folder, exist_ok=True)
            descriptor, temporary = tempfile.mkstemp(prefix=".", suffix=".partial", dir=folder)
            try:
                with os.fdopen(descriptor, "wb") as file:
                    file.write(data)
                os.replace(temporary, target)
            except BaseException:
                try:
                    os.unlink(temporary)
                except OSError:
                    pass
                raise
        except OSError as error:
            if self.folder not in _told:
                _told.add(self.folder)
                warnings.warn(IndexWarning(f"the index folder {self.folder!r} cannot be written "
                                           f"({error.strerror or error}); reading without keeping an index there"),
                              stacklevel=4)
            return False
        return True

    def save_unkept(self, identity: FileIdentity, reading: str, section: str, version: int) -> Dict[str, Any]:
        """Marks the file's part as too large to keep, so that readers go
        the way they go without an index at once; the marker part."""
        import numpy

        marker = {UNKEPT: numpy.ones(1, dtype=bool)}
        data = _entry.encode(identity, reading, section, version, marker)
        self._write(self._path(identity, reading, section), data)
        return marker

    def clear(self) -> int:
        """Removes every entry; the number removed."""
        import shutil

        count = sum(len(files) for _, _, files in os.walk(self.folder))
        shutil.rmtree(self.folder, ignore_errors=True)
        return count
