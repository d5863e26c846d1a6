"""The reader a user would otherwise write: plain Python and struct.

`read` does the whole work of zentrail.read and returns the same 12-tuples:
it finds the files of the window by the day in their names, decodes every
record class (alarms, string alarms, every group class, system events, date
marks, the end byte, a record cut short at the end of a file), tests each
item's time against the window at whole seconds and gives the selected
elements highest index first. The benchmark checks it equal to
zentrail.read, so that the speed-up it reports compares like with like.
"""

from __future__ import annotations

import datetime as dt
import os
import struct

import archive_format as fmt

HEAD_AND_ID = struct.Struct(fmt.HEAD.format + fmt.ID.format[1:])
PADDING = bytes(HEAD_AND_ID.size)
MAX_GROUP_PAYLOAD = fmt.MAX_GROUP_RECORD - HEAD_AND_ID.size
ORIGIN = dt.datetime(fmt.ORIGIN.year, fmt.ORIGIN.month, fmt.ORIGIN.day)
MAX_CODES = 256
INDEX_RANGE = 1024
FORMAT_ERROR = "Error occured while reading file."

# How the loop treats a class: its kind folded with whether it gives values
# (the group steps last, so that one test finds them).
SKIP, RESERVED, NO_ROWS, ALARM, ALARM_TEXT, GROUP, GROUP_BITS, GROUP_TEXT = range(8)


def _plan(record: fmt.RecordClass):
    """(step, payload width, value reader) of one class."""
    if record.kind == fmt.SYSTEM:
        return SKIP, 0, None
    if record.kind == fmt.RESERVED:
        return RESERVED, 0, None
    if record.kind == fmt.STRING_ALARM:
        return ALARM_TEXT, 0, None
    as_float = record.data_type == fmt.DOUBLE
    if record.kind == fmt.ALARM:
        if record.data_type == fmt.NO_VALUE or not record.counts_elements:
            return NO_ROWS, record.width, None
        # The payload holds the low bytes of a value of the format's size.
        value = struct.Struct(">" + record.value_format)
        padding = bytes(value.size - record.width)
        return ALARM, record.width, (value, padding, as_float)
    if record.data_type == fmt.TEXT_VALUE:
        return GROUP_TEXT, record.width, None
    if record.payload == fmt.BITS:
        return GROUP_BITS, record.width, None
    return GROUP, record.width, (record.value_format, as_float and record.value_format not in "fd")


PLANS = [_plan(record) for record in fmt.RECORD_CLASSES]


class Selection:
    """The codes of one call, split as read splits them, and its window."""

    def __init__(self, dt_start: str, dt_end: str, signals):
        if not isinstance(signals, list):
            raise TypeError(f"signals must be a list of int signal codes, not {type(signals).__name__}")
        problem = None
        for position, code in enumerate(signals):
            if not isinstance(code, int):
                problem = problem or TypeError(f"signals[{position}] is a {type(code).__name__}, "
                                               "not an int signal code")
            elif not -2 ** 63 <= code < 2 ** 63:
                problem = problem or OverflowError(f"signals[{position}] does not fit in a signed 64-bit integer")
        if problem:
            raise problem
        codes = [((code & 0xFFFFFFFF) ^ 0x80000000) - 0x80000000 for code in signals][:MAX_CODES]
        self.any_code = bool(codes)
        # Ids that give text rows (any code of the id) and the indices that
        # give value rows, highest first.
        self.text_ids = set()
        indices = {}
        for code in codes:
            ident = int(code / INDEX_RANGE)
            index = code - ident * INDEX_RANGE
            if 0 <= ident <= 0xFFFF:
                self.text_ids.add(ident)
                if index >= 0:
                    indices.setdefault(ident, set()).add(index)
        self.indices = {ident: tuple(sorted(found, reverse=True)) for ident, found in indices.items()}
        self.start, self.end = _bound(dt_start), _bound(dt_end)
        self.raw_start, self.raw_end = dt_start.encode(), dt_end.encode()
        self._seconds = {}

    def head(self, day: int, tod: int):
        """The seven time fields of an item, or None outside the window."""
        key = day * 86_400 + tod // fmt.NS_PER_SECOND
        fields = self._seconds.get(key)
        if fields is None:
            t = ORIGIN + dt.timedelta(seconds=key)
            fields = (t.year, t.month, t.day, t.hour, t.minute, t.second)
            inside = self.start is not None and self.end is not None and self.start <= fields <= self.end
            fields = self._seconds[key] = fields if inside else ()
        return fields + ((tod % fmt.NS_PER_SECOND) // 1_000_000,) if fields else None

    def holds_day_of(self, path: str) -> bool:
        found = fmt.ARCHIVE_NAME.search(path)
        if found is None:
            return False
        day = found.group(1).encode()
        return day + b" 23:59:59" >= self.raw_start and day + b" 00:00:00" <= self.raw_end


def _bound(text: str):
    found = fmt.BOUND_TEXT.search(text)
    return tuple(int(part) for part in found.groups()) if found else None


def read(root_dir: str, dt_start: str, dt_end: str, signals) -> list:
    """What zentrail.read(root_dir, dt_start, dt_end, signals) returns."""
    selection = Selection(dt_start, dt_end, signals)
    paths = []

    def fail(error):
        raise error

    for folder, folders, files in os.walk(root_dir, onerror=fail):
        paths.extend(path for path in (os.path.join(folder, name) for name in folders + files)
                     if selection.holds_day_of(path))
    rows = []
    if not paths or not selection.any_code:
        return rows
    for path in sorted(paths, key=os.fsencode):
        if os.path.exists(path) and not os.path.isfile(path):
            continue  # a directory, pipe or device named like a file reads as empty
        with open(path, "rb") as f:
            _decode(f.read(), selection, rows)
    return rows


def _decode(data: bytes, selection: Selection, rows: list) -> None:
    unpack_head = HEAD_AND_ID.unpack_from
    plans, indices_of, text_ids, head = PLANS, selection.indices, selection.text_ids, selection.head
    group_formats = {}  # by class and count
    size, pos, day = len(data), 0, 0
    while pos < size:
        if data[pos] == fmt.END_BYTE:
            return
        left = size - pos
        if left >= HEAD_AND_ID.size:
            hi, lo, code, param, ident = unpack_head(data, pos)
        elif left < fmt.TIME.size:
            return  # cut short
        else:
            # Fields past the end read as zero, and each step below tests
            # that its bytes are really there.
            hi, lo, code, param, ident = unpack_head(data[pos:] + PADDING, 0)
        if hi & fmt.DATE_MARK_FLAG:
            if hi != fmt.DATE_MARK_WORD or lo > fmt.MAX_DAY:
                raise ValueError(FORMAT_ERROR)
            day = lo
            pos += fmt.TIME.size
            continue
        step, width, reader = plans[code & fmt.CLASS_BITS]
        if step == RESERVED:
            raise ValueError(FORMAT_ERROR)
        if step == SKIP:
            if left < fmt.HEAD_SIZE:
                return
            pos += fmt.HEAD_SIZE
            continue
        if left < HEAD_AND_ID.size:
            return
        body = pos + HEAD_AND_ID.size
        if step == ALARM_TEXT:
            if size - body < fmt.TEXT_LENGTH.size:
                return
            pos = body + fmt.TEXT_LENGTH.size + fmt.TEXT_LENGTH.unpack_from(data, body)[0]
            if pos > size:
                return
            if ident in text_ids:
                fields = head(day, (hi << 32) | lo)
                if fields:
                    rows.append(fields + ("", None, None, 1, ident))
            continue
        if step >= GROUP:
            n = width * param if step != GROUP_BITS else \
                fmt.BOOL_GROUP_EMPTY_SIZE if param == 0 else (param + 7) >> 3
            if n > MAX_GROUP_PAYLOAD:
                raise ValueError(FORMAT_ERROR)
        else:
            n = width
        pos = body + n
        if pos > size:
            return
        if step == NO_ROWS:
            continue
        if step == GROUP_TEXT:
            if ident in text_ids:
                fields = head(day, (hi << 32) | lo)
                if fields:
                    rows.append(fields + ("", None, None, 1, ident))
            continue
        indices = indices_of.get(ident)
        if indices is None or indices[-1] >= param:
            continue
        fields = head(day, (hi << 32) | lo)
        if not fields:
            continue
        if step == GROUP:
            key = (code & fmt.CLASS_BITS) << 8 | param
            elements_format = group_formats.get(key)
            if elements_format is None:
                elements_format = group_formats[key] = struct.Struct(f">{param}{reader[0]}")
            elements = elements_format.unpack_from(data, body)
            for index in indices:
                if index < param:
                    value = elements[index]
                    rows.append(fields + (float(value) if reader[1] else value, None, None, 1, ident))
        elif step == GROUP_BITS:
            bits = int.from_bytes(data[body:pos], "big")
            for index in indices:
                if index < param:
                    rows.append(fields + ((bits >> (param - 1 - index)) & 1, None, None, 1, ident))
        else:
            value_format, padding, as_float = reader
            (value,) = value_format.unpack(padding + data[body:pos])
            if as_float:
                value = float(value)
            for index in indices:
                if index < param:
                    rows.append(fields + (value, None, None, 1, ident))
