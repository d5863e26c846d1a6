"""A small pure-Python model of what zentrail.read returns for a tree.

It is the reference the property tests compare the extension with: written
for clarity, not speed, from the archive format and the read contract.
"""

from __future__ import annotations

import datetime as dt
import os
import struct

import archive_format as fmt

NS_PER_DAY = fmt.NS_PER_DAY
ORIGIN = dt.datetime(2000, 1, 1)



class FormatError(Exception):
    """A malformed record: read raises ValueError."""


def parse_bound(text: str):
    match = fmt.BOUND_TEXT.search(text)
    return tuple(int(g) for g in match.groups()) if match else None


def day_overlaps(path: str, dt_start: str, dt_end: str) -> bool:
    match = fmt.ARCHIVE_NAME.search(path)
    if not match:
        return False
    day = match.group(1).encode()
    return day + b" 23:59:59" >= dt_start.encode() and day + b" 00:00:00" <= dt_end.encode()


def decode(data: bytes):
    """Yields (day, cls, subtype, param, id, tod_ns, payload) per item."""
    pos, day, ident = 0, 0, 0
    while pos < len(data) and data[pos] != fmt.END_BYTE:
        if len(data) - pos < 6:
            return
        hi, lo = struct.unpack_from(">HI", data, pos)
        if hi & fmt.DATE_MARK_FLAG:
            if hi != fmt.DATE_MARK_WORD or lo > fmt.MAX_DAY:
                raise FormatError
            day, pos = lo, pos + 6
            continue
        if len(data) - pos < 7:
            return
        cls, subtype = data[pos + 6] & 0x1F, data[pos + 6] >> 5
        record = fmt.RECORD_CLASSES[cls]
        if record.kind == fmt.RESERVED:
            raise FormatError
        if len(data) - pos < 8:
            return
        param, pos = data[pos + 7], pos + 8
        payload = b""
        if record.kind != fmt.SYSTEM:
            if len(data) - pos < 2:
                return
            (ident,) = struct.unpack_from(">H", data, pos)
            pos += 2
            if record.kind == fmt.STRING_ALARM:
                if len(data) - pos < 2:
                    return
                (size,) = struct.unpack_from(">H", data, pos)
                pos += 2
            elif record.kind == fmt.ALARM:
                size = record.width
            elif record.payload == fmt.BITS:
                size = fmt.BOOL_GROUP_EMPTY_SIZE if param == 0 else (param + 7) // 8
            else:
                size = param * record.width
                if size > fmt.VALUE_AREA_SIZE:
                    raise FormatError
            if len(data) - pos < size:
                return
            payload, pos = data[pos:pos + size], pos + size
        yield day, cls, subtype, param, ident, (hi << 32) | lo, payload


def item_values(cls: int, param: int, payload: bytes):
    """(index, value) pairs of an item, highest index first; None for text rows."""
    record = fmt.RECORD_CLASSES[cls]
    if record.data_type == fmt.TEXT_VALUE:
        return None
    if record.data_type == fmt.NO_VALUE or not record.counts_elements:
        return []  # system, AlBool, AlAckn: no value
    area = payload[::-1] + bytes(8)
    if record.kind == fmt.ALARM:
        (value,) = struct.unpack_from("<" + record.value_format, area, 0)
        return [(n, _number(record, value)) for n in range(param - 1, -1, -1)]
    if record.payload == fmt.BITS:
        return [(n, (area[(param - 1 - n) // 8] >> ((param - 1 - n) % 8)) & 1) for n in range(param - 1, -1, -1)]
    width = struct.calcsize(record.value_format)
    return [(n, _number(record, struct.unpack_from("<" + record.value_format, area, (param - 1 - n) * width)[0]))
            for n in range(param - 1, -1, -1)]


def _number(record, value):
    return float(value) if record.data_type == fmt.DOUBLE else value


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
