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


# --- What an archive holds: the inventory and the events -------------------

def window_ns(dt_start, dt_end):
    """The instants (ns since 2000-01-01) of "YYYY-MM-DD hh:mm:ss" bounds, the
    end's whole second included; None for an open side."""
    def ns(text):
        moment = dt.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
        delta = moment - ORIGIN
        return (delta.days * 86_400 + delta.seconds) * 1_000_000_000
    first = 0 if dt_start is None else max(ns(dt_start), 0)
    last = (1 << 64) - 1 if dt_end is None else ns(dt_end) + 999_999_999
    return first, last


def window_files(root, dt_start, dt_end):
    """The archive files a scan of the bounds' days reads, in its order."""
    low = "" if dt_start is None else dt_start[:10]
    high = "~" if dt_end is None else dt_end[:10]
    paths = []
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            match = fmt.ARCHIVE_NAME.search(path)
            if match and low <= match.group(1) <= high:
                paths.append(path)
    return sorted(paths, key=os.fsencode)


def records_in_window(root, dt_start, dt_end):
    """(path, day, cls, subtype, param, id, ns, payload) of every record in
    the window, in read order; FormatError for a malformed file."""
    first, last = window_ns(dt_start, dt_end)
    for path in window_files(root, dt_start, dt_end):
        with open(path, "rb") as f:
            data = f.read()
        for day, cls, subtype, param, ident, tod, payload in decode(data):
            ns = day * NS_PER_DAY + tod
            if first <= ns <= last:
                yield path, cls, subtype, param, 0 if cls == 0 else ident, ns, payload


def row_elements(cls, param):
    """The element indices that select a row of a record: its count, 1 for a
    text row, 0 for none."""
    record = fmt.RECORD_CLASSES[cls]
    if record.data_type == fmt.TEXT_VALUE:
        return 1
    return param if record.counts_elements and record.data_type != fmt.NO_VALUE else 0


def expected_inventory(root, dt_start, dt_end, by_day=False):
    """{(day, id, cls): [records, first, last, elements, files]} (day 0 unless
    by day), or ValueError."""
    table, seen = {}, set()
    try:
        for path, cls, subtype, param, ident, ns, payload in records_in_window(root, dt_start, dt_end):
            key = (ns // NS_PER_DAY if by_day else 0, ident, cls)
            entry = table.setdefault(key, [0, ns, ns, 0, 0])
            entry[0] += 1
            entry[1], entry[2] = min(entry[1], ns), max(entry[2], ns)
            entry[3] = max(entry[3], row_elements(cls, param))
            if (key, path) not in seen:
                seen.add((key, path))
                entry[4] += 1
    except FormatError:
        return ValueError
    return table


def record_names(cls, subtype, param):
    """(class, subtype, detail) as the text writer prints them."""
    record = fmt.RECORD_CLASSES[cls]
    if record.kind == fmt.SYSTEM:
        module = param % 10 if param % 10 < 7 else 0
        level = param // 10 if param < 70 else 0
        detail = fmt.LOG_MODULE_DESCR_ARR[module] + fmt.LOG_LEVEL_DESCR_ARR[level]
    else:
        detail = str(param) if record.subtype_names is not None else ""
    if record.subtype_names is not None:
        sub = record.subtype_names[min(subtype, len(record.subtype_names) - 1)]  # past the table: its last entry
    else:
        sub = str(subtype) if subtype else ""
    return record.name, sub, detail


def event_value(cls, payload):
    record = fmt.RECORD_CLASSES[cls]
    if record.kind != fmt.ALARM or record.value_format is None:
        return float("nan")
    area = payload[::-1] + bytes(8)
    return float(struct.unpack_from("<" + record.value_format, area, 0)[0])


def expected_events(root, dt_start, dt_end, ids=None, system=True):
    """Rows (ns, id, cls, subtype, param, class_name, subtype_name, detail,
    value, text) of every alarm and System record in the window, or
    ValueError."""
    rows = []
    try:
        for path, cls, subtype, param, ident, ns, payload in records_in_window(root, dt_start, dt_end):
            kind = fmt.RECORD_CLASSES[cls].kind
            if kind == fmt.SYSTEM:
                if not system:
                    continue
            elif kind not in (fmt.ALARM, fmt.STRING_ALARM) or (ids is not None and ident not in ids):
                continue
            text = payload.decode("utf-8", "replace") if kind == fmt.STRING_ALARM else None
            rows.append((ns, ident, cls, subtype, param) + record_names(cls, subtype, param)
                        + (event_value(cls, payload), text))
    except FormatError:
        return ValueError
    return rows
