"""The index's folder: the entries of the archive files of one folder, read
one way, for one section, kept together in one pack file (named by a hash
of the three), written whole under a temporary name and renamed into place.

A pack holds each file's entry by its name; each entry carries its own
digest (zentrail._index.entry), so a pack cut short keeps the entries
before the cut. Several processes may build and read one index at once:
each writes a pack whole from what it read and what it made, and the last
rename wins; an entry another process added meanwhile may so be lost, and
is made again when next needed. Nothing is synced to the disk: a crash may
leave a pack torn, and its torn entries fail their digest.
"""

from __future__ import annotations

import hashlib
import os
import struct
import tempfile
import warnings

from zentrail._index import entry as _entry
from zentrail._index.identity import FileIdentity

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional, Set, Tuple

    _Pack = Dict[str, bytes]

# The share of its file's size each section's entry may take, together at
# most 1%: the index stays within 1% of the archive. An entry that would
# take more is not kept (its file is read each time, as without an index):
# a file of many signals and few records each (a quiet day) has counts and
# values too many to be worth keeping beside it.
SHARES = {"inventory": 0.004, "in_force": 0.003, "gaps": 0.003, "span": 0.002}
# The bytes an entry takes besides its arrays (its header, its digest), about.
_ROOM = 512
# The key of a marker part: the file's part is too large to keep.
UNKEPT = "unkept"
# The entries' layout in the folder; a new one starts a new folder beside.
LAYOUT = "v2"
_MAGIC = b"ZTIP"
_COUNT = struct.Struct("<4sI")
_LENGTH = struct.Struct("<I")

# The folders that could not be written, each told once per process.
_told: Set[str] = set()


class IndexWarning(UserWarning):
    """The index could not be used as asked; reads go on without it."""


class Store:
    """The entries of one index folder. Packs read are held for the life of
    the store (one read's); entries saved are written when flush() is
    called, each pack once."""

    __slots__ = ("folder", "_packs", "_changed")

    def __init__(self, folder: str) -> None:
        self.folder = os.path.join(folder, LAYOUT)
        self._packs: Dict[str, _Pack] = {}
        self._changed: Set[str] = set()

    def pack_path(self, path: str, reading: str, section: str) -> str:
        """Where the pack holding the entry of the archive file `path`
        (absolute) is kept."""
        key = hashlib.blake2b(f"{os.path.dirname(path)}\0{reading}\0{section}".encode("utf-8", "surrogateescape"),
                              digest_size=16).hexdigest()
        return os.path.join(self.folder, key[:2], key[2:] + ".ztp")

    def _pack(self, target: str) -> _Pack:
        pack = self._packs.get(target)
        if pack is None:
            try:
                with open(target, "rb") as file:
                    pack = unpacked(file.read())
            except OSError:
                pack = {}
            self._packs[target] = pack
        return pack

    def load(self, identity: FileIdentity, reading: str, section: str, version: int) -> Optional[Dict[str, Any]]:
        """The part kept for the file, None where none is, or the one kept is
        stale, torn or corrupt."""
        data = self._pack(self.pack_path(identity.path, reading, section)).get(os.path.basename(identity.path))
        return None if data is None else _entry.decode(data, identity, reading, section, version)

    def size_of(self, identity: FileIdentity, reading: str, section: str) -> int:
        """The bytes of the file's entry (0 where there is none)."""
        return len(self._pack(self.pack_path(identity.path, reading, section)).get(
            os.path.basename(identity.path), b""))

    def save(self, identity: FileIdentity, reading: str, section: str, version: int, part: Dict[str, Any]) -> bool:
        """Keeps the part for the file at the next flush(); False where it is
        too large to keep."""
        allowed = SHARES.get(section, 0.0) * identity.size
        raw = sum(array.nbytes for array in part.values())
        if raw > 8 * allowed:  # (too large even compressed well)
            return False
        # Compressing costs more than writing the arrays as they are: done
        # only where the entry would not fit otherwise.
        data = _entry.encode(identity, reading, section, version, part, compressed=raw + _ROOM > allowed)
        if len(data) > allowed:
            return False
        self._put(identity.path, reading, section, data)
        return True

    def save_unkept(self, identity: FileIdentity, reading: str, section: str, version: int) -> None:
        """Marks the file's part as too large to keep (at the next flush()),
        so that readers go the way they go without an index at once."""
        import numpy

        marker = {UNKEPT: numpy.ones(1, dtype=bool)}
        self._put(identity.path, reading, section, _entry.encode(identity, reading, section, version, marker))

    def forget(self, path: str, reading: str, section: str) -> bool:
        """Removes the entry of the archive file `path` (at the next
        flush()); whether there was one."""
        path = os.path.abspath(path)
        target = self.pack_path(path, reading, section)
        had = self._pack(target).pop(os.path.basename(path), None) is not None
        if had:
            self._changed.add(target)
        return had

    def _put(self, path: str, reading: str, section: str, data: bytes) -> None:
        target = self.pack_path(path, reading, section)
        self._pack(target)[os.path.basename(path)] = data
        self._changed.add(target)

    def flush(self) -> None:
        """Writes the packs changed since the last flush, each whole; where
        the folder cannot be written, says so once (an IndexWarning) and
        reads go on without keeping anything."""
        changed, self._changed = self._changed, set()
        for target in sorted(changed):
            if not self._write(target, packed(self._packs[target])):
                return

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
                              stacklevel=5)
            return False
        return True


def packed(pack: _Pack) -> bytes:
    """A pack's bytes: the magic, the count, then each entry's name and
    bytes, each after its 32-bit length."""
    out = [_COUNT.pack(_MAGIC, len(pack))]
    for name, data in sorted(pack.items()):
        encoded = name.encode("utf-8", "surrogateescape")
        out += [_LENGTH.pack(len(encoded)), encoded, _LENGTH.pack(len(data)), data]
    return b"".join(out)


def unpacked(data: bytes) -> _Pack:
    """The entries of a pack's bytes, as far as they are whole; none from
    bytes that are no pack."""
    pack: _Pack = {}
    if len(data) < _COUNT.size:
        return pack
    magic, count = _COUNT.unpack_from(data)
    if magic != _MAGIC:
        return pack
    at = _COUNT.size
    for _ in range(count):
        name, at = _field(data, at)
        body, at = _field(data, at) if name is not None else (None, at)
        if name is None or body is None:
            break
        pack[name.decode("utf-8", "surrogateescape")] = body
    return pack


def _field(data: bytes, at: int) -> Tuple[Optional[bytes], int]:
    """The length-prefixed field at `at` and where the next begins; None
    where the bytes end first."""
    if _LENGTH.size > len(data) - at:
        return None, at
    (length,) = _LENGTH.unpack_from(data, at)
    at += _LENGTH.size
    if length > len(data) - at:
        return None, at
    return data[at:at + length], at + length
