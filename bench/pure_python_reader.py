"""The reader a user would otherwise write: plain Python and struct.

Decodes the same format and yields the same 12-tuples as zentrail.read for
the files it is given (no directory walk, no window test beyond the day),
so that the benchmark compares like with like.
"""

from __future__ import annotations

import datetime as dt
import struct

GROUP_WIDTHS = {18: 1, 19: 2, 20: 4, 21: 2, 22: 4, 23: 4, 24: 8, 25: 8, 26: 8, 27: 2}
GROUP_FORMATS = {18: "B", 19: "h", 20: "i", 21: "H", 22: "i", 23: "f", 24: "d", 26: "q"}
ALARM_PAYLOAD = {1: 0, 2: 1, 3: 1, 4: 1, 5: 1, 6: 2, 7: 2, 8: 2, 9: 2, 10: 2, 11: 2, 31: 1}
ORIGIN = dt.datetime(2000, 1, 1)


def read_files(paths, codes):
    wanted = {}
    for code in codes:
        wanted.setdefault(code // 1024, set()).add(code % 1024)
    rows = []
    for path in paths:
        with open(path, "rb") as f:
            data = f.read()
        _decode(data, wanted, rows)
    return rows


def _decode(data: bytes, wanted: dict, rows: list) -> None:
    pos, end, day = 0, len(data), 0
    unpack_from = struct.unpack_from
    while pos < end and data[pos] != 0xFF:
        hi, lo = unpack_from(">HI", data, pos)
        if hi & 0x8000:
            day = lo
            pos += 6
            continue
        code, param = data[pos + 6], data[pos + 7]
        cls = code & 0x1F
        if cls == 0:
            pos += 8
            continue
        (ident,) = unpack_from(">H", data, pos + 8)
        body = pos + 10
        if cls == 12:
            (length,) = unpack_from(">H", data, body)
            pos = body + 2 + length
            continue
        if cls in ALARM_PAYLOAD:
            size = ALARM_PAYLOAD[cls]
        elif cls == 17:
            size = 32 if param == 0 else (param + 7) // 8
        else:
            size = param * GROUP_WIDTHS[cls]
        pos = body + size
        indices = wanted.get(ident)
        if not indices or cls < 17 or cls not in GROUP_FORMATS:
            continue
        stamp = ORIGIN + dt.timedelta(days=day, microseconds=((hi << 32) | lo) // 1000)
        values = struct.unpack_from(">%d%s" % (param, GROUP_FORMATS[cls]), data, body)
        for index in sorted(indices, reverse=True):
            if index < param:
                rows.append((stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute,
                             stamp.second, stamp.microsecond // 1000, values[index], None, None, 1, ident))
