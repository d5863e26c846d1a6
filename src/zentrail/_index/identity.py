"""What makes an indexed file the same file: its path, size, modification
time, inode and device, and a hash of its first and last bytes.

A file rewritten to the same size within the clock's resolution keeps its
stat fields; the hash of its edges catches most of those (a day file's
first bytes hold its first records, its last bytes the latest). A file
replaced by a rename gets a new inode.
"""

from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import List, Optional, Sequence, Tuple


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
    return identities_of([path])[0]


def identities_of(paths: Sequence[str]) -> List[Optional[FileIdentity]]:
    """The identities of `paths`, found at once by the core (thousands of
    files in milliseconds: each is opened, its stat fields taken and its
    edges hashed, with no Python call per file)."""
    from zentrail import _core

    absolute = [os.path.abspath(path) for path in paths]
    found = _core.file_identities([os.fsencode(path) for path in absolute])
    import numpy

    ok = numpy.frombuffer(found["found"], dtype=numpy.bool_).tolist()
    size = numpy.frombuffer(found["size"], dtype=numpy.int64).tolist()
    mtime = numpy.frombuffer(found["mtime_ns"], dtype=numpy.int64).tolist()
    inode = numpy.frombuffer(found["inode"], dtype=numpy.uint64).tolist()
    device = numpy.frombuffer(found["device"], dtype=numpy.uint64).tolist()
    edges = numpy.frombuffer(found["edges"], dtype=numpy.uint64).tolist()
    return [FileIdentity(path, size[k], mtime[k], inode[k], device[k], f"{edges[k]:016x}") if ok[k] else None
            for k, path in enumerate(absolute)]


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


