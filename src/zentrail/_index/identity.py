"""What makes an indexed file the same file: its path, size, modification
time, inode and device, and a hash of its first and last bytes.

A file rewritten to the same size within the clock's resolution keeps its
stat fields; the hash of its edges catches most of those (a day file's
first bytes hold its first records, its last bytes the latest). A file
replaced by a rename gets a new inode.
"""

from __future__ import annotations

import hashlib
import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional, Tuple

# Bytes hashed at each end of a file.
EDGE_BYTES = 4096


class FileIdentity:
    """A file's identity now, or None when it cannot be read."""

    __slots__ = ("path", "size", "mtime_ns", "inode", "device", "edges")

    def __init__(self, path: str, size: int, mtime_ns: int, inode: int, device: int, edges: str) -> None:
        self.path = path
        self.size = size
        self.mtime_ns = mtime_ns
        self.inode = inode
        self.device = device
        self.edges = edges

    def fields(self) -> Tuple[str, int, int, int, int, str]:
        return (self.path, self.size, self.mtime_ns, self.inode, self.device, self.edges)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, FileIdentity) and other.fields() == self.fields()

    def __hash__(self) -> int:
        return hash(self.fields())


def identity_of(path: str) -> Optional[FileIdentity]:
    """The identity of the regular file `path`, None where it is none or
    cannot be read (the read that follows says why)."""
    try:
        with open(path, "rb") as file:
            stat = os.fstat(file.fileno())
            if not _regular(stat.st_mode):
                return None
            digest = hashlib.blake2b(digest_size=16)
            digest.update(file.read(EDGE_BYTES))
            if stat.st_size > EDGE_BYTES:
                file.seek(max(EDGE_BYTES, stat.st_size - EDGE_BYTES))
                digest.update(file.read(EDGE_BYTES))
    except OSError:
        return None
    return FileIdentity(os.path.abspath(path), stat.st_size, stat.st_mtime_ns, stat.st_ino, stat.st_dev,
                        digest.hexdigest())


def unchanged(identity: FileIdentity) -> bool:
    """Whether the file's stat fields are still those of `identity` (after
    a read of it: a file written meanwhile has a new size or modification
    time, one replaced a new inode)."""
    try:
        stat = os.stat(identity.path)
    except OSError:
        return False
    return (stat.st_size, stat.st_mtime_ns, stat.st_ino, stat.st_dev) == \
        (identity.size, identity.mtime_ns, identity.inode, identity.device)


def _regular(mode: int) -> bool:
    import stat

    return stat.S_ISREG(mode)
