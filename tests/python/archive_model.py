"""A small pure-Python model of what zentrail.read returns for a tree.

It is the reference the property tests compare the extension with: written
for clarity, not speed, from the archive format and the read contract.
"""

from __future__ import annotations

import datetime as dt
import os
import re
import struct

NS_PER_DAY = 86_400 * 1_000_000_000
ORIGIN = dt.datetime(2000, 1, 1)
RESERVED = {13, 14, 15, 16, 28, 29, 30}
ALARM_PAYLOAD = {1: 0, 2: 1, 3: 1, 4: 1, 5: 1, 6: 2, 7: 2, 8: 2, 9: 2, 10: 2, 11: 2, 31: 1}
GROUP_WIDTH = {18: 1, 19: 2, 20: 4, 21: 2, 22: 4, 23: 4, 24: 8, 25: 8, 26: 8, 27: 2}
# How a value is read from the (little-endian) value area, per class.
ALARM_VALUE = {2: "<B", 3: "<h", 4: "<i", 5: "<H", 6: "<i", 7: "<f", 8: "<d", 9: "<d", 10: "<q", 11: "<h"}
GROUP_VALUE = {18: "<B", 19: "<h", 20: "<i", 21: "<H", 22: "<i", 23: "<f", 24: "<d", 26: "<q"}
FLOAT_CLASSES = {7, 8, 9, 10, 23, 24, 26}
TEXT_CLASSES = {12, 25, 27}

BOUND = re.compile(r"([0-9]{4})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})[^\n\r]([0-9]{2})")
ARCHIVE_NAME = re.compile(r"([0-9]{4}-[0-9]{2}-[0-9]{2})_([^\n\r]*)\.vlx")


class FormatError(Exception):
    """A malformed record: read raises ValueError."""


def parse_bound(text: str):
    match = BOUND.search(text)
    return tuple(int(g) for g in match.groups()) if match else None


def day_overlaps(path: str, dt_start: str, dt_end: str) -> bool:
    match = ARCHIVE_NAME.search(path)
    if not match:
        return False
    day = match.group(1).encode()
    return day + b" 23:59:59" >= dt_start.encode() and day + b" 00:00:00" <= dt_end.encode()


def decode(data: bytes):
    """Yields (day, cls, subtype, param, id, tod_ns, payload) per item."""
    pos, day, ident = 0, 0, 0
    while pos < len(data) and data[pos] != 0xFF:
        if len(data) - pos < 6:
            return
        hi, lo = struct.unpack_from(">HI", data, pos)
        if hi & 0x8000:
            if hi != 0x8000 or lo > 0xFFFF:
                raise FormatError
            day, pos = lo, pos + 6
            continue
        if len(data) - pos < 7:
            return
        cls, subtype = data[pos + 6] & 0x1F, data[pos + 6] >> 5
        if cls in RESERVED:
            raise FormatError
        if len(data) - pos < 8:
            return
        param, pos = data[pos + 7], pos + 8
        payload = b""
        if cls != 0:
            if len(data) - pos < 2:
                return
            (ident,) = struct.unpack_from(">H", data, pos)
            pos += 2
            if cls == 12:
                if len(data) - pos < 2:
                    return
                (size,) = struct.unpack_from(">H", data, pos)
                pos += 2
            elif cls in ALARM_PAYLOAD:
                size = ALARM_PAYLOAD[cls]
            elif cls == 17:
                size = 32 if param == 0 else (param + 7) // 8
            else:
                size = param * GROUP_WIDTH[cls]
                if size > 512:
                    raise FormatError
            if len(data) - pos < size:
                return
            payload, pos = data[pos:pos + size], pos + size
        yield day, cls, subtype, param, ident, (hi << 32) | lo, payload


def item_values(cls: int, param: int, payload: bytes):
    """(index, value) pairs of an item, highest index first; None for text rows."""
    if cls in TEXT_CLASSES:
        return None
    area = payload[::-1] + bytes(8)
    if cls in ALARM_VALUE:
        (value,) = struct.unpack_from(ALARM_VALUE[cls], area, 0)
        return [(n, _number(cls, value)) for n in range(param - 1, -1, -1)]
    if cls == 17:
        return [(n, (area[(param - 1 - n) // 8] >> ((param - 1 - n) % 8)) & 1) for n in range(param - 1, -1, -1)]
    if cls in GROUP_VALUE:
        fmt = GROUP_VALUE[cls]
        width = struct.calcsize(fmt)
        return [(n, _number(cls, struct.unpack_from(fmt, area, (param - 1 - n) * width)[0]))
                for n in range(param - 1, -1, -1)]
    return []  # system, AlBool, AlAckn: no value


def _number(cls: int, value):
    return float(value) if cls in FLOAT_CLASSES else value


def expected_read(root: str, dt_start: str, dt_end: str, signals: list[int]):
    """The rows read() returns, or the exception type it raises."""
    codes = [((c & 0xFFFFFFFF) ^ 0x80000000) - 0x80000000 for c in signals][:256]
    split = {(int(c / 1024), c - int(c / 1024) * 1024) for c in codes}
    ids = {i for i, _ in split}
    start, end = parse_bound(dt_start), parse_bound(dt_end)
    paths = []
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            if day_overlaps(path, dt_start, dt_end):
                paths.append(path)
    rows = []
    if not codes:
        return rows
    for path in sorted(paths, key=os.fsencode):
        with open(path, "rb") as f:
            data = f.read()
        try:
            for day, cls, subtype, param, ident, tod, payload in decode(data):
                if ident not in ids or cls == 0:
                    continue
                moment = ORIGIN + dt.timedelta(microseconds=(day * NS_PER_DAY + tod) // 1000)
                second = moment.timetuple()[:6]
                if start is None or end is None or not (start <= second <= end):
                    continue
                head = second + ((tod % 1_000_000_000) // 1_000_000,)
                values = item_values(cls, param, payload)
                if values is None:
                    rows.append(head + ("", None, None, 1, ident))
                    continue
                rows.extend(head + (v, None, None, 1, ident) for n, v in values if (ident, n) in split)
        except FormatError:
            return ValueError
    return rows
