"""Where a follower stands in an archive: a short text to store, and the
checks that the file it names is still the file it was made on.

The text names the file (relative to the root), the offset of the next
record, the decoder's state there (the day of the last date mark and the id
a system item would carry), and hashes of the file's first bytes and of the
bytes just before the offset: a file rewritten or truncated before the
offset does not match them. A follower reading in a zone adds the zone's
name and where the file stands in a repeated hour (so that one resumed
inside it places the rows after as one that never stopped)."""

from __future__ import annotations

import base64
import hashlib
import json
import os
import stat
from typing import NamedTuple, Optional

PREFIX = "zc1."
HEAD_BYTES = 4096    # the file's first bytes that its hash covers
BEFORE_BYTES = 256   # the bytes before the offset that their hash covers


class ArchiveRewrittenError(RuntimeError):
    """A file that a cursor or a follower had read part of no longer holds
    the bytes that were read: it was truncated, replaced or rewritten."""


class Position(NamedTuple):
    file: str      # relative to the root, "/" between its parts
    offset: int    # where the next record starts
    day: int       # the day of the last date mark before it
    id: int        # the id a system item at the offset would carry
    head: str      # hash of the file's first min(offset, HEAD_BYTES) bytes
    before: str    # hash of the BEFORE_BYTES bytes before the offset
    zone: Optional[str] = None   # the zone the follower reads in; None: wall times as they stand
    fold: Optional[list] = None  # [change, second, seen_back, latest, pending] in a repeated hour, or None


DIGEST_SIZE = 8  # bytes of a hash: a text of twice as many hex digits


def _digest(data: bytes) -> str:
    return hashlib.blake2b(data, digest_size=DIGEST_SIZE).hexdigest()


def _is_digest(value: object) -> bool:
    return isinstance(value, str) and len(value) == 2 * DIGEST_SIZE and all(c in "0123456789abcdef" for c in value)


def _read_at(descriptor: int, offset: int, size: int) -> bytes:
    data = os.pread(descriptor, size, offset)
    while len(data) < size:  # a short read of a regular file only at its end
        more = os.pread(descriptor, size - len(data), offset + len(data))
        if not more:
            break
        data += more
    return data


def _is_relative_path(text: str) -> bool:
    """A path below the root as a cursor names it: names, none empty, "."
    or "..", between single "/"."""
    return "\0" not in text and all(part not in ("", ".", "..") for part in text.split("/"))


def hashes(path: str, offset: int) -> tuple:
    """(head, before) of `path` at `offset`; OSError when it cannot be read."""
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
    try:
        head = _read_at(descriptor, 0, min(offset, HEAD_BYTES))
        start = max(offset - BEFORE_BYTES, 0)
        before = _read_at(descriptor, start, offset - start)
    finally:
        os.close(descriptor)
    return _digest(head), _digest(before)


def position(root: str, path: str, offset: int, day: int, id: int, zone: Optional[str] = None,
             fold: Optional[tuple] = None) -> Position:
    head, before = hashes(path, offset)
    return Position(os.path.relpath(path, root).replace(os.sep, "/"), offset, day, id, head, before, zone,
                    None if fold is None else list(fold))


def mismatch(path: str, at: Position) -> Optional[str]:
    """Why `path` is not the file `at` was made on, or None when it is."""
    try:
        found = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):  # gone, or a folder on its path is a file now
        return "it no longer exists"
    if not stat.S_ISREG(found.st_mode):  # a folder (or a pipe) stands where the file was
        return "it is no longer a file"
    size = found.st_size
    if size < at.offset:
        return f"it holds {size} bytes, fewer than the {at.offset} read before"
    head, before = hashes(path, at.offset)
    if head != at.head:
        return "its first bytes are not those read before"
    if before != at.before:
        return f"its bytes before offset {at.offset} are not those read before"
    return None


def encode(at: Position) -> str:
    fields = list(at) if at.zone is not None else list(at)[:6]  # a naive follower's text as it always was
    text = json.dumps(fields, separators=(",", ":"), ensure_ascii=True)
    return PREFIX + base64.urlsafe_b64encode(text.encode()).decode().rstrip("=")


def decode(text: str) -> Position:
    """The position a cursor text names; ValueError saying what is wrong."""
    if not isinstance(text, str) or not text.startswith(PREFIX):
        raise ValueError(f"cursor must be a text that follower.cursor gave (starting {PREFIX!r}), not {text!r:.60}")
    body = text[len(PREFIX):]
    try:
        fields = json.loads(base64.urlsafe_b64decode(body + "=" * (-len(body) % 4)))
        at = Position(*fields)
    except (ValueError, TypeError) as error:
        raise ValueError(f"cursor {text!r:.60} is damaged: {error}") from None
    numbers_ok = all(isinstance(v, int) and not isinstance(v, bool) and v >= 0 for v in (at.offset, at.day, at.id))
    if (not numbers_ok or at.day > 0xFFFF or at.id > 0xFFFF or not isinstance(at.file, str)
            or not _is_relative_path(at.file) or not _is_digest(at.head) or not _is_digest(at.before)
            or len(fields) == 7 or not _is_zone_name(at.zone) or not _is_fold(at.fold)
            or (at.zone is None and at.fold is not None)):
        raise ValueError(f"cursor {text!r:.60} is damaged: {list(at)!r:.120}")
    return at


def _is_zone_name(value: object) -> bool:
    """None, or a text an IANA zone name can be ("Europe/Berlin", "Etc/GMT+1")."""
    return value is None or (isinstance(value, str) and 0 < len(value) <= 64
                             and all(c.isascii() and (c.isalnum() or c in "/_+-") for c in value))


def _is_fold(value: object) -> bool:
    """None, or [change, second, seen_back, latest, pending] as the core keeps it."""
    if value is None:
        return True
    if not isinstance(value, list) or len(value) != 5:
        return False
    change, second, seen_back, latest, pending = value

    def whole(v: object) -> bool:
        return isinstance(v, int) and not isinstance(v, bool)

    return (whole(change) and -1 <= change < 2 ** 31 and isinstance(second, bool) and isinstance(seen_back, bool)
            and whole(latest) and -2 ** 63 <= latest < 2 ** 63 and whole(pending) and 0 <= pending < 2 ** 63)
