"""read() against the pure-Python model on random archive trees."""

from __future__ import annotations

import os
import shutil
import struct
import tempfile
from datetime import date, timedelta

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import archive_model
import zentrail

DAYS = [date(2024, 3, 1) + timedelta(days=k) for k in range(4)]
IDS = [0, 1, 5, 300, 65535]

times = (st.integers(0, ab.NS_PER_DAY - 1) | st.integers(0, (1 << 48) - 1)
         | st.sampled_from([0, ab.at("23:59:59.999999999"), ab.NS_PER_DAY]))
ids = st.sampled_from(IDS)

date_marks = st.builds(ab.date_mark, st.sampled_from([ab.day_number(d) for d in DAYS]) | st.integers(0, 0xFFFF))
systems = st.builds(ab.system, times, st.integers(0, 7), st.integers(0, 255))
alarms = st.builds(lambda kind, t, i, sub, param, data: ab.alarm(kind, t, i, subtype=sub, param=param,
                                                               payload=data[:ab.CLASS_BY_NAME[kind].width]),
                   st.sampled_from(ab.ALARM_CLASSES), times, ids, st.integers(0, 7), st.integers(0, 4),
                   st.binary(min_size=2, max_size=2))
strings = st.builds(lambda t, i, text: ab.string_alarm(t, i, text), times, ids, st.binary(max_size=300))


def _group(kind, t, ident, subtype, count, data):
    """A group whose payload has the size its class and count give (counts
    past 64 make oversized groups of the 8-byte classes: format errors)."""
    size = ab.payload_size(ab.CLASS_BY_NAME[kind].code, count)
    payload = (data * (size // max(len(data), 1) + 1))[:size] if data else bytes(size)
    return ab.group(kind, t, ident, [], subtype=subtype, count=count, payload=payload)


groups = st.builds(_group, st.sampled_from(ab.GROUP_CLASSES), times, ids, st.integers(0, 7),
                   st.integers(0, 70), st.binary(min_size=1, max_size=64))
malformed = st.sampled_from([
    b"\x80\x01\x00\x00\x00\x00",               # date mark with a wrong first word
    b"\x80\x00\x00\x01\x00\x00",               # day past 65535
    ab.alarm("AlBool", 0, 1)[:6] + b"\x0d\x00\x00\x01",   # reserved class 13
    ab.group("GrDouble", 0, 5, [0.0] * 65),    # 520 bytes of payload
])
records = st.one_of(date_marks, systems, alarms, strings, groups, date_marks, alarms, groups)



@st.composite
def archive_files(draw):
    body = draw(st.lists(records, max_size=12))
    if draw(st.integers(0, 9)) == 0:
        body.insert(draw(st.integers(0, len(body))), draw(malformed))
    data = b"".join(body)
    ending = draw(st.sampled_from(["none", "end", "end+junk", "cut"]))
    if ending == "end":
        data += ab.END
    elif ending == "end+junk":
        data += ab.END + draw(st.binary(max_size=20))
    elif ending == "cut" and data:
        data = data[:draw(st.integers(0, len(data) - 1))]
    return data


@st.composite
def trees(draw):
    files = {}
    for _ in range(draw(st.integers(1, 4))):
        day = draw(st.sampled_from(DAYS))
        folder = draw(st.sampled_from(["", "a/", "b/", "B/", "a/x/"]))
        name = f"{folder}{day:%Y-%m-%d}_{draw(st.sampled_from(['plant', 'p2', '']))}.vlx"
        files[name] = draw(archive_files())
    element = st.integers(0, 3) | st.integers(-2, 70)
    code = st.builds(lambda i, n: i * 1024 + n, st.sampled_from(IDS), element) | st.integers(-3000, 3000)
    codes = draw(st.lists(code, min_size=draw(st.sampled_from([0, 1, 1, 1])), max_size=8))
    start = draw(st.sampled_from(["2000-01-01 00:00:00", "2024-03-01 00:00:00", "2024-03-02 12:00:00"]))
    end = draw(st.sampled_from(["2179-12-31 23:59:59", "2024-03-04 23:59:59", "2024-03-02 12:00:00"]))
    return files, start, end, codes


def written_tree(files):
    """A new temporary folder holding `files` (relative name -> bytes)."""
    root = tempfile.mkdtemp(prefix="zentrail-prop-")
    for name, data in files.items():
        path = os.path.join(root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return root


def comparable(result):
    """Rows with floats as bit patterns, so that NaN compares equal to itself."""
    if not isinstance(result, list):
        return result
    def field(v):
        return ("f", struct.pack("<d", v)) if isinstance(v, float) else (type(v).__name__, v)
    return [tuple(field(v) for v in row) for row in result]


@pytest.mark.slow
@settings(max_examples=500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees())
def test_read_matches_the_model(tree):
    files, start, end, codes = tree
    root = written_tree(files)
    try:
        expected = archive_model.expected_read(root, start, end, codes)
        try:
            actual = zentrail.read(root, start, end, codes)
        except ValueError as error:
            assert str(error) == "Error occured while reading file."
            actual = ValueError
        event("raises" if actual is ValueError else "rows" if actual else "no rows")
        assert comparable(actual) == comparable(expected)
    finally:
        shutil.rmtree(root)
