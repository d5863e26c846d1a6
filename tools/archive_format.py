"""The archive format for Python: the 32 record classes, the name tables, the
layout of a record, and a builder of archive bytes from readable records.

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

The tests' builder and model, the benchmark, the examples and the fuzz corpus
all take the format from here; the C++ core keeps its own table, and the
tests compare the two through what read and zentrail-dump give.
"""

from __future__ import annotations

import datetime as _dt
import re
import struct
from pathlib import Path
from typing import Iterable, NamedTuple, Optional, Sequence, Tuple, Union

# --- Record layout ---------------------------------------------------------

# The time field: time of day in nanoseconds, high 16 bits and low 32 bits.
TIME = struct.Struct(">HI")
# The time field, item code, second byte.
HEAD = struct.Struct(">HIBB")
HEAD_SIZE = HEAD.size
ID = struct.Struct(">H")
ID_SIZE = ID.size
# A string alarm's text length, after its id.
TEXT_LENGTH = struct.Struct(">H")
# The value area the decoder copies a payload into: no payload is longer.
VALUE_AREA_SIZE = 512
# Head, id and payload of the longest group record.
MAX_GROUP_RECORD = HEAD_SIZE + ID_SIZE + VALUE_AREA_SIZE
# GrBool packs eight elements a byte; a count of 0 still takes this many bytes.
BOOL_GROUP_EMPTY_SIZE = 32

# A date mark is the time field alone: first word exactly DATE_MARK_WORD, the
# day (days since 2000-01-01, at most MAX_DAY) in the 32-bit second part. Any
# other first word with DATE_MARK_FLAG set is a format error.
DATE_MARK = TIME
DATE_MARK_FLAG = 0x8000
DATE_MARK_WORD = 0x8000
MAX_DAY = 0xFFFF

END_BYTE = 0xFF
END = bytes([END_BYTE])

CLASS_BITS = 0x1F
SUBTYPE_SHIFT = 5

# The day of an archive file stands in its path: the first match counts.
ARCHIVE_NAME = re.compile(r"([0-9]{4}-[0-9]{2}-[0-9]{2})_([^\n\r]*)\.vlx")
# A time-window bound: the first year and five two-digit numbers in a text,
# separated by single characters other than line breaks.
BOUND_TEXT = re.compile(r"([0-9]{4})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})")

# --- Name tables -----------------------------------------------------------

SYSTEM_SUBTYPES = ("Date Mark", "Executive events", "Archive events", "????")
BOOL_SUBTYPES = ("H->L", "L->H", "?2??", "?3??", "?4??", "?5??", "?6??", "?7??", "????")
VAL_SUBTYPES_SHORT = ("Lo", "Hi", "LoLo", "HiHi", "data", "?5??", "?6??", "?7??", "????")
VAL_SUBTYPES_LONG = ("Lo/L", "Hi/H", "LoLo", "HiHi", "?4??", "?5??", "?6??", "?7??", "????")
STR_AL_SUBTYPES = ("Norm", "LogF", "Arch", "User", "?4??", "?5??", "?6??", "SYST", "????")
# A system event's second byte: the module in its units digit, the level in its tens.
LOG_MODULE_DESCR_ARR = ("", "Os", "Core", "Diagnostic", "Block", "Archive", "IODriver", "")
LOG_LEVEL_DESCR_ARR = ("Unknown", "Write", "Read", "Verbose", "Info", "Warning", "Error", "")

# --- Record classes --------------------------------------------------------

# Kinds of class.
SYSTEM, ALARM, STRING_ALARM, GROUP, RESERVED = "system", "alarm", "string alarm", "group", "reserved"

# Payload rules: how long the payload after the id is.
NO_PAYLOAD = "none"      # system (no id either) and reserved (never valid)
FIXED = "fixed"          # `width` bytes
TEXT = "text"            # a 16-bit length, then that many bytes of text
ELEMENTS = "elements"    # the second byte counts elements of `width` bytes
BITS = "bits"            # the second byte counts one-bit elements

# Data types of a row: what read gives as a value.
NO_VALUE, BOOL, INT, DOUBLE, TEXT_VALUE = 1, 2, 3, 4, 5


class RecordClass(NamedTuple):
    code: int
    name: str
    kind: str
    payload: str
    # Payload bytes of an alarm, element bytes of a group (1 for GrBool,
    # whose elements are bits).
    width: int
    # struct format of one value, without byte order: how an alarm's value
    # reads from its payload zero-extended to the format's size, or one
    # group element. None where there is no value.
    value_format: Optional[str]
    data_type: int
    # Whether the second byte counts the rows an item gives (the elements of
    # a group, the repeats of an alarm's value).
    counts_elements: bool
    # The names of subtypes 0-7 and of any other; None: shown as a number.
    subtype_names: Optional[Tuple[str, ...]]


def _reserved(code: int) -> RecordClass:
    return RecordClass(code, f"-Res {code}-", RESERVED, NO_PAYLOAD, 0, None, TEXT_VALUE, True, None)


def _alarm(code: int, name: str, width: int, value_format: Optional[str], data_type: int,
           counts_elements: bool = True, subtype_names: Tuple[str, ...] = VAL_SUBTYPES_SHORT) -> RecordClass:
    return RecordClass(code, name, ALARM, FIXED, width, value_format, data_type, counts_elements, subtype_names)


def _group(code: int, name: str, width: int, value_format: Optional[str], data_type: int,
           payload: str = ELEMENTS) -> RecordClass:
    return RecordClass(code, name, GROUP, payload, width, value_format, data_type, True, None)


# Indexed by class number. GrTime and GrError values are stored but read as "".
RECORD_CLASSES: Tuple[RecordClass, ...] = (
    RecordClass(0, "System", SYSTEM, NO_PAYLOAD, 0, None, NO_VALUE, False, SYSTEM_SUBTYPES),
    _alarm(1, "AlBool", 0, None, NO_VALUE, counts_elements=False, subtype_names=BOOL_SUBTYPES),
    _alarm(2, "AlByte", 1, "B", INT),
    _alarm(3, "AlShort", 1, "h", INT),
    _alarm(4, "AlLong", 1, "i", INT),
    _alarm(5, "AlWord", 1, "H", INT),
    _alarm(6, "AlDWord", 2, "i", INT),
    _alarm(7, "AlFloat", 2, "f", DOUBLE),
    _alarm(8, "AlDouble", 2, "d", DOUBLE),
    _alarm(9, "AlTime", 2, "d", DOUBLE),
    _alarm(10, "AlLarge", 2, "q", DOUBLE),
    _alarm(11, "AlError", 2, "h", INT),
    RecordClass(12, "AlString", STRING_ALARM, TEXT, 0, None, TEXT_VALUE, True, STR_AL_SUBTYPES),
    *(_reserved(code) for code in range(13, 17)),
    _group(17, "GrBool", 1, None, BOOL, payload=BITS),
    _group(18, "GrByte", 1, "B", INT),
    _group(19, "GrShort", 2, "h", INT),
    _group(20, "GrLong", 4, "i", INT),
    _group(21, "GrWord", 2, "H", INT),
    _group(22, "GrDWord", 4, "i", INT),
    _group(23, "GrFloat", 4, "f", DOUBLE),
    _group(24, "GrDouble", 8, "d", DOUBLE),
    _group(25, "GrTime", 8, "d", TEXT_VALUE),
    _group(26, "GrLarge", 8, "q", DOUBLE),
    _group(27, "GrError", 2, "H", TEXT_VALUE),
    *(_reserved(code) for code in range(28, 31)),
    # Sized as AlLong; its second byte counts nothing, so read gives no row.
    _alarm(31, "AlAckn", 1, "i", INT, counts_elements=False, subtype_names=VAL_SUBTYPES_LONG),
)
assert [c.code for c in RECORD_CLASSES] == list(range(32))

CLASS_BY_NAME = {c.name: c for c in RECORD_CLASSES}
CLASS_NAMES = tuple(c.name for c in RECORD_CLASSES)
# Names of the classes a test or a generator picks from, in class order.
ALARM_CLASSES = [c.name for c in RECORD_CLASSES if c.kind == ALARM]
GROUP_CLASSES = [c.name for c in RECORD_CLASSES if c.kind == GROUP]
RESERVED_CLASSES = frozenset(c.code for c in RECORD_CLASSES if c.kind == RESERVED)

# The size tables as the C++ core names them: the whole record of classes
# 0-12 without a string alarm's text (AlAckn is sized as entry 4), and the
# element width of classes 17-27.
ALARM_SIZES = tuple(HEAD_SIZE + (0 if c.kind == SYSTEM else ID_SIZE + c.width) for c in RECORD_CLASSES[:13])
GROUP_ITEM_SIZES = tuple(c.width for c in RECORD_CLASSES if c.kind == GROUP)


def payload_size(cls: int, count: int) -> int:
    """Bytes after the id of a record of class `cls` (not a string alarm)
    whose second byte is `count`."""
    record = RECORD_CLASSES[cls]
    if record.payload == BITS:
        return BOOL_GROUP_EMPTY_SIZE if count == 0 else (count + 7) // 8
    if record.payload == ELEMENTS:
        return count * record.width
    return record.width


def item_code(cls: int, subtype: int) -> int:
    return cls | (subtype << SUBTYPE_SHIFT)


# --- Builder ---------------------------------------------------------------

ORIGIN = _dt.date(2000, 1, 1)
NS_PER_SECOND = 1_000_000_000
NS_PER_DAY = 86_400 * NS_PER_SECOND

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


def _subtype(record: RecordClass, subtype: Union[int, str]) -> int:
    """A subtype number, or the number of a name in the class's table."""
    if isinstance(subtype, int):
        return subtype
    if record.subtype_names is None or subtype not in record.subtype_names[:8]:
        raise ValueError(f"{record.name} has no subtype named {subtype!r}")
    return record.subtype_names.index(subtype)


def _head(time: Time, record: RecordClass, subtype: Union[int, str], second_byte: int) -> bytes:
    ns = _nanos(time)
    return HEAD.pack(ns >> 32, ns & 0xFFFFFFFF, item_code(record.code, _subtype(record, subtype)), second_byte)


def _element(record: RecordClass, value) -> bytes:
    """One group element as the file stores it, big-endian. Integers may be
    given signed or unsigned."""
    if record.value_format in "fd":
        return struct.pack(">" + record.value_format, value)
    return int.to_bytes(value, record.width, "big", signed=value < 0)


def date_mark(day: Day) -> bytes:
    """Sets the day of the items that follow."""
    return DATE_MARK.pack(DATE_MARK_WORD, day_number(day))


def system(time: Time, subtype: Union[int, str] = 1, param: int = 0) -> bytes:
    """A system log event; `param` packs level (tens) and module (units)."""
    return _head(time, RECORD_CLASSES[0], subtype, param)


def alarm(kind: str, time: Time, id: int, value: int = 0, subtype: Union[int, str] = 0,
          param: int = 1, payload: Optional[bytes] = None) -> bytes:
    """An alarm of classes AlBool..AlError or AlAckn. `value` is stored in the
    class's payload bytes (1 or 2, big-endian, two's complement); `payload`
    gives the file bytes instead. With param k, a read yields the value k times."""
    record = CLASS_BY_NAME[kind]
    if record.kind != ALARM:
        raise ValueError(f"{kind} is not an alarm class")
    size = record.width
    if payload is None:
        payload = (value & ((1 << (8 * size)) - 1)).to_bytes(size, "big") if size else b""
    return _head(time, record, subtype, param) + ID.pack(id) + payload


def string_alarm(time: Time, id: int, text: Union[str, bytes] = b"", subtype: Union[int, str] = 0,
                 param: int = 1) -> bytes:
    """A string alarm; its text is skipped by the reader and yields ""."""
    raw = text.encode() if isinstance(text, str) else text
    return _head(time, CLASS_BY_NAME["AlString"], subtype, param) + ID.pack(id) + TEXT_LENGTH.pack(len(raw)) + raw


def group(kind: str, time: Time, id: int, values: Sequence, subtype: int = 0, count: Optional[int] = None,
          payload: Optional[bytes] = None) -> bytes:
    """A group of sampled values in file order (element index 0 first).
    GrBool values are truthy/falsy and packed one bit each."""
    record = CLASS_BY_NAME[kind]
    if record.kind != GROUP:
        raise ValueError(f"{kind} is not a group class")
    count = len(values) if count is None else count
    if payload is None:
        if record.payload == BITS:
            payload = _pack_bits(values, count)
        else:
            payload = b"".join(_element(record, v) for v in values)
    return _head(time, record, subtype, count) + ID.pack(id) + payload


def _pack_bits(values: Sequence, count: int) -> bytes:
    """Element i is bit (count-1-i) of the payload read as one big-endian number."""
    number = 0
    for i, v in enumerate(values):
        if v:
            number |= 1 << (count - 1 - i)
    return number.to_bytes(payload_size(CLASS_BY_NAME["GrBool"].code, count), "big")


def archive(*records: bytes) -> bytes:
    return b"".join(records)


def write_archive(path: Union[str, Path], records: Iterable[bytes]) -> Path:
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(b"".join(records))
    return path
