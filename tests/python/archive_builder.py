"""Builds archive file bytes from readable descriptions of records.

    archive(
        date_mark(date(2024, 3, 1)),
        group("GrWord", at("12:00:00.250"), id=5, values=[10, 20, 30]),
        alarm("AlByte", at("12:00:01"), id=7, value=42, subtype="Hi"),
        system(at("12:00:02"), subtype=1, param=54),
        END,
    )

Every record is laid out as the runtime writes it: a six-byte time field
(bit 15 of the first word marks a date mark), the item code (class in bits
0-4, subtype in bits 5-7), a second byte, a big-endian 16-bit signal id and
a payload whose size depends on the class.
"""

from __future__ import annotations

import datetime as _dt
import struct
from pathlib import Path
from typing import Iterable, Sequence, Union

ORIGIN = _dt.date(2000, 1, 1)
NS_PER_SECOND = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_SECOND

CLASSES = {
    "System": 0, "AlBool": 1, "AlByte": 2, "AlShort": 3, "AlLong": 4, "AlWord": 5,
    "AlDWord": 6, "AlFloat": 7, "AlDouble": 8, "AlTime": 9, "AlLarge": 10, "AlError": 11,
    "AlString": 12, "GrBool": 17, "GrByte": 18, "GrShort": 19, "GrLong": 20, "GrWord": 21,
    "GrDWord": 22, "GrFloat": 23, "GrDouble": 24, "GrTime": 25, "GrLarge": 26, "GrError": 27,
    "AlAckn": 31,
}
ALARM_CLASSES = [name for name, cls in CLASSES.items() if 1 <= cls <= 11 or cls == 31]
GROUP_CLASSES = [name for name, cls in CLASSES.items() if 17 <= cls <= 27]

# Bytes of an alarm's payload: its value is stored in only this many bytes.
ALARM_PAYLOAD = {"AlBool": 0, "AlByte": 1, "AlShort": 1, "AlLong": 1, "AlWord": 1, "AlAckn": 1,
                 "AlDWord": 2, "AlFloat": 2, "AlDouble": 2, "AlTime": 2, "AlLarge": 2, "AlError": 2}
# struct format of one group element, big-endian as in the file.
GROUP_ELEMENT = {"GrByte": ">B", "GrShort": ">h", "GrLong": ">i", "GrWord": ">H", "GrDWord": ">I",
                 "GrFloat": ">f", "GrDouble": ">d", "GrTime": ">d", "GrLarge": ">q", "GrError": ">H"}

SUBTYPES = {"Lo": 0, "Hi": 1, "LoLo": 2, "HiHi": 3, "data": 4, "H->L": 0, "L->H": 1}

END = b"\xff"

Time = Union[int, str, _dt.time]
Day = Union[int, _dt.date]


def at(clock: str) -> int:
    """Nanoseconds since midnight of "hh:mm:ss" or "hh:mm:ss.fffffffff"."""
    hms, _, fraction = clock.partition(".")
    hour, minute, second = (int(part) for part in hms.split(":"))
    nanos = int((fraction + "000000000")[:9]) if fraction else 0
    return ((hour * 60 + minute) * 60 + second) * NS_PER_SECOND + nanos


def day_number(day: Day) -> int:
    """Days since 2000-01-01."""
    return day if isinstance(day, int) else (day - ORIGIN).days


def _nanos(time: Time) -> int:
    if isinstance(time, str):
        return at(time)
    if isinstance(time, _dt.time):
        return at(time.strftime("%H:%M:%S")) + time.microsecond * 1000
    return time


def _subtype(subtype: Union[int, str]) -> int:
    return SUBTYPES[subtype] if isinstance(subtype, str) else subtype


def _head(time: Time, cls: int, subtype: Union[int, str], second_byte: int) -> bytes:
    ns = _nanos(time)
    return struct.pack(">HIBB", ns >> 32, ns & 0xFFFFFFFF, cls | (_subtype(subtype) << 5), second_byte)


def date_mark(day: Day) -> bytes:
    """Sets the day of the items that follow."""
    return struct.pack(">HI", 0x8000, day_number(day))


def system(time: Time, subtype: int = 1, param: int = 0) -> bytes:
    """A system log event; `param` packs level (tens) and module (units)."""
    return _head(time, 0, subtype, param)


def alarm(kind: str, time: Time, id: int, value: int = 0, subtype: Union[int, str] = 0,
          param: int = 1, payload: bytes | None = None) -> bytes:
    """An alarm of classes AlBool..AlError or AlAckn. `value` is stored in the
    class's payload bytes (1 or 2, big-endian, two's complement); `payload`
    gives the file bytes instead. With param k, a read yields the value k times."""
    size = ALARM_PAYLOAD[kind]
    if payload is None:
        payload = (value & ((1 << (8 * size)) - 1)).to_bytes(size, "big") if size else b""
    return _head(time, CLASSES[kind], subtype, param) + struct.pack(">H", id) + payload


def string_alarm(time: Time, id: int, text: Union[str, bytes] = b"", subtype: int = 0, param: int = 1) -> bytes:
    """A string alarm; its text is skipped by the reader and yields ""."""
    raw = text.encode() if isinstance(text, str) else text
    return _head(time, 12, subtype, param) + struct.pack(">HH", id, len(raw)) + raw


def group(kind: str, time: Time, id: int, values: Sequence, subtype: int = 0, count: int | None = None,
          payload: bytes | None = None) -> bytes:
    """A group of sampled values in file order (element index 0 first).
    GrBool values are truthy/falsy and packed one bit each."""
    count = len(values) if count is None else count
    if payload is None:
        if kind == "GrBool":
            payload = _pack_bits(values, count)
        else:
            payload = b"".join(struct.pack(GROUP_ELEMENT[kind], v) for v in values)
    return _head(time, CLASSES[kind], subtype, count) + struct.pack(">H", id) + payload


def _pack_bits(values: Sequence, count: int) -> bytes:
    """Element i is bit (count-1-i) of the payload read as one big-endian number."""
    size = 32 if count == 0 else (count + 7) // 8
    number = 0
    for i, v in enumerate(values):
        if v:
            number |= 1 << (count - 1 - i)
    return number.to_bytes(size, "big")


def archive(*records: bytes) -> bytes:
    return b"".join(records)


def write_archive(path: Union[str, Path], records: Iterable[bytes]) -> Path:
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"".join(records))
    return path
