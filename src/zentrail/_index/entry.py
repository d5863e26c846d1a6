"""One entry of the index: what a read of one whole file gave, with the
file's identity, in a form that a torn, truncated or corrupted write never
passes for a good one.

Layout: the magic ``b"ZTIX"``, a format byte, a 32-bit length and a JSON
header of that length (identity, reading, section and version, the
arrays' names, types and lengths, and whether they are compressed), the
arrays' bytes as one block (compressed with zlib where that was needed to
keep the entry small), and a BLAKE2b digest of everything before it. Every length
is checked against what is left before it is taken.
"""

from __future__ import annotations

import hashlib
import json
import struct
import zlib

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Dict, Optional

    from zentrail._index.identity import FileIdentity

MAGIC = b"ZTIX"
FORMAT = 1
DIGEST = 16
# The types an entry's arrays may have: fixed-width numbers and booleans
# alone (nothing NumPy would build objects of).
DTYPES = frozenset(("bool", "uint8", "uint16", "int32", "uint32", "int64", "uint64", "float64"))
_HEAD = struct.Struct("<4sBI")


def encode(identity: FileIdentity, reading: str, section: str, version: int, part: Dict[str, Any],
           compressed: bool = True) -> bytes:
    """The entry's bytes, its arrays compressed unless not `compressed`."""
    import numpy

    arrays = []
    described = []
    for name, array in part.items():
        kind = _kind_of(array.dtype)
        if array.ndim != 1 or kind is None:
            raise TypeError(f"an index part holds 1-D arrays of {sorted(DTYPES)}, not {name}: {array.dtype}")
        if array.dtype.byteorder == ">":
            array = array.astype(array.dtype.newbyteorder("<"))
        arrays.append(array.tobytes())  # (in C order, contiguous or not)
        described.append((name, kind, len(array)))
    header = json.dumps({"identity": list(identity.fields()), "reading": reading, "section": section,
                         "version": version, "arrays": described, "zlib": compressed},
                        separators=(",", ":")).encode()
    raw = b"".join(arrays)
    body = _HEAD.pack(MAGIC, FORMAT, len(header)) + header + (zlib.compress(raw, 1) if compressed else raw)
    return body + hashlib.blake2b(body, digest_size=DIGEST).digest()


_KINDS: Dict[Any, str] = {}


def _kind_of(dtype: Any) -> Optional[str]:
    """The name in DTYPES of a NumPy type, None for another (looked up by
    the type itself: its name is slow to make, and made per array)."""
    if not _KINDS:
        import numpy

        for kind in DTYPES:
            _KINDS[numpy.dtype(kind)] = kind
            _KINDS[numpy.dtype(kind).newbyteorder(">")] = kind
    return _KINDS.get(dtype)


def decode(data: bytes, identity: FileIdentity, reading: str, section: str, version: int) -> Optional[Dict[str, Any]]:
    """The part an entry holds, None unless the entry is whole and is that
    of `identity` read as `reading` for `section` at `version`."""
    import numpy

    if len(data) < _HEAD.size + DIGEST:
        return None
    body, digest = data[:-DIGEST], data[-DIGEST:]
    if hashlib.blake2b(body, digest_size=DIGEST).digest() != digest:
        return None
    magic, form, length = _HEAD.unpack_from(body)
    if magic != MAGIC or form != FORMAT or length > len(body) - _HEAD.size:
        return None
    try:
        header = json.loads(body[_HEAD.size:_HEAD.size + length])
        if (header["identity"] != list(identity.fields()) or header["reading"] != reading
                or header["section"] != section or header["version"] != version):
            return None
        raw = body[_HEAD.size + length:]
        if header["zlib"] is not False:
            raw = zlib.decompress(raw)
        part: Dict[str, Any] = {}
        at = 0
        for name, dtype, count in header["arrays"]:
            if dtype not in DTYPES or not isinstance(count, int) or count < 0:
                return None
            size = numpy.dtype(dtype).itemsize * count
            if size > len(raw) - at:
                return None
            part[name] = numpy.frombuffer(raw, dtype=numpy.dtype(dtype).newbyteorder("<"), count=count, offset=at)
            at += size
        if at != len(raw):
            return None
    except (ValueError, KeyError, TypeError, zlib.error):
        return None
    return part
