"""The tuples that one archive item gives: the value of each class with its
Python type, which element indices give a tuple and in what order, and the
time fields."""

import struct

import pytest
from archive_builder import alarm, at, group, string_alarm, system
from conftest import code, day_file, read_day

NOON = at("12:00:00")


def alarm_bytes(kind, payload, **fields):
    return alarm(kind, NOON, id=5, payload=payload, **fields)


@pytest.mark.parametrize("record, expected", [
    (alarm("AlByte", NOON, id=5, value=200), 200),
    (alarm_bytes("AlShort", b"\x2a"), 42),
    (alarm_bytes("AlLong", b"\xff"), 255),
    (alarm_bytes("AlWord", b"\x07"), 7),
    (alarm_bytes("AlDWord", b"\x12\x34"), 0x1234),
    (alarm_bytes("AlError", b"\xff\xfe"), -2),
    # Two payload bytes are the low bytes of a wider value.
    (alarm_bytes("AlFloat", b"\x3f\xc0"), struct.unpack(">f", b"\0\0\x3f\xc0")[0]),
    (alarm_bytes("AlDouble", b"\x12\x34"), struct.unpack(">d", b"\0" * 6 + b"\x12\x34")[0]),
    (alarm_bytes("AlTime", b"\x00\x01"), 5e-324),
    (alarm_bytes("AlLarge", b"\x12\x34"), 4660.0),
    (string_alarm(NOON, id=5, text="ignored text"), ""),
    (group("GrBool", NOON, id=5, values=[1]), 1),
    (group("GrBool", NOON, id=5, values=[0]), 0),
    (group("GrByte", NOON, id=5, values=[255]), 255),
    (group("GrShort", NOON, id=5, values=[-2]), -2),
    (group("GrLong", NOON, id=5, values=[-70000]), -70000),
    (group("GrWord", NOON, id=5, values=[65535]), 65535),
    (group("GrDWord", NOON, id=5, values=[0xFFFFFFFF]), -1),
    (group("GrFloat", NOON, id=5, values=[1.5]), 1.5),
    (group("GrDouble", NOON, id=5, values=[-0.1]), -0.1),
    (group("GrLarge", NOON, id=5, values=[-5]), -5.0),
    (group("GrLarge", NOON, id=5, values=[2 ** 53 + 1]), float(2 ** 53)),
    (group("GrTime", NOON, id=5, values=[1.0]), ""),
    (group("GrError", NOON, id=5, values=[3]), ""),
], ids=lambda v: v if isinstance(v, str) else None)
def test_value_and_its_python_type(tmp_path, record, expected):
    day_file(tmp_path, record)
    rows = read_day(tmp_path, [code(5)])
    assert rows == [(2024, 3, 1, 12, 0, 0, 0, expected, None, None, 1, 5)]
    assert type(rows[0][7]) is type(expected)


@pytest.mark.parametrize("earlier", [
    group("GrLong", at("11:00:00"), id=9, values=[-1, -1]),
    group("GrDouble", at("11:00:00"), id=9, values=[float("nan")]),
    alarm("AlDWord", at("11:00:00"), id=9, payload=b"\xff\xff"),
])
@pytest.mark.parametrize("kind, payload, expected", [
    ("AlShort", b"\x2a", 42), ("AlLong", b"\x2a", 42), ("AlDWord", b"\x12\x34", 0x1234),
    ("AlLarge", b"\x00\x01", 1.0), ("AlDouble", b"\x00\x00", 0.0),
])
def test_alarm_payload_is_not_mixed_with_an_earlier_item(tmp_path, earlier, kind, payload, expected):
    day_file(tmp_path, earlier, alarm_bytes(kind, payload))
    assert [r[7] for r in read_day(tmp_path, [code(5)])] == [expected]


@pytest.mark.parametrize("record, indices, expected", [
    (group("GrWord", NOON, id=5, values=[10, 20, 30]), [0, 1, 2], [30, 20, 10]),
    (group("GrWord", NOON, id=5, values=[10, 20, 30]), [2, 0, 1], [30, 20, 10]),
    (group("GrWord", NOON, id=5, values=[10, 20, 30]), [3, 100, 1023], []),
    (group("GrBool", NOON, id=5, values=[1, 0, 0, 0, 0, 0, 0, 0, 0, 1]), [9, 0, 1, 8], [1, 0, 0, 1]),
    (group("GrBool", NOON, id=5, values=[], count=0) + group("GrWord", NOON, id=5, values=[9]), [0], [9]),
    (group("GrByte", NOON, id=5, values=[]), [0], []),
    (group("GrShort", NOON, id=5, values=list(range(255))), [254, 0], [254, 0]),
    (alarm("AlByte", NOON, id=5, value=7, param=3), [0, 1, 2], [7, 7, 7]),
    (alarm("AlByte", NOON, id=5, value=7, param=3), [0], [7]),
    (alarm("AlByte", NOON, id=5, value=7, param=3), [2, 3], [7]),
    (alarm("AlByte", NOON, id=5, value=7, param=0), [0], []),
    (alarm("AlBool", NOON, id=5, param=1), [0], []),
    (alarm("AlAckn", NOON, id=5, value=7, param=2), [0, 1], []),
    (system(NOON, subtype=1, param=54), [0], []),
    (string_alarm(NOON, id=5, param=3), [1, 2], [""]),
    (group("GrTime", NOON, id=5, values=[1.0, 2.0]), [7], [""]),
    (group("GrError", NOON, id=5, values=[1, 2]), [1, 0], [""]),
])
def test_selected_indices_give_tuples_in_descending_order(tmp_path, record, indices, expected):
    day_file(tmp_path, record)
    assert [r[7] for r in read_day(tmp_path, [code(5, i) for i in indices])] == expected


def test_only_the_selected_signal_id_gives_tuples(tmp_path):
    day_file(tmp_path, group("GrWord", NOON, id=4, values=[1]), group("GrWord", NOON, id=5, values=[2]),
             group("GrWord", NOON, id=6, values=[3]), group("GrWord", NOON, id=1029, values=[4]))
    assert [(r[11], r[7]) for r in read_day(tmp_path, [code(5), code(1029)])] == [(5, 2), (1029, 4)]


@pytest.mark.parametrize("clock, fields", [
    ("00:00:00.000999999", (0, 0, 0, 0)),
    ("00:00:00.001", (0, 0, 0, 1)),
    ("00:00:00.001999999", (0, 0, 0, 1)),
    ("00:00:00.999999999", (0, 0, 0, 999)),
    ("23:59:59.999999999", (23, 59, 59, 999)),
    ("12:34:56.789012345", (12, 34, 56, 789)),
])
def test_time_fields_and_milliseconds_truncated(tmp_path, clock, fields):
    day_file(tmp_path, alarm("AlByte", at(clock), id=5, value=7))
    assert read_day(tmp_path, [code(5)]) == [(2024, 3, 1) + fields + (7, None, None, 1, 5)]
