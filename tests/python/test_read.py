"""zentrail.read: arguments, the files it finds and the order it reads them in,
the day of each item, and the time window."""

import contextlib
from datetime import date

import pytest
import zentrail
from archive_builder import END, archive, at, date_mark, group, system, write_archive
from conftest import DAY, END_OF_DAY, START, code, day_file, read_day

EXAMPLE_BYTES = bytes.fromhex("80 00 00 00 22 7A" "27 4A 57 8E 32 80 15 03 00 05 00 0A 00 14 00 1E" "FF")
ROW_12H = (2024, 3, 1, 12, 0, 0, 250)


@pytest.fixture
def example_root(tmp_path):
    data = archive(date_mark(DAY), group("GrWord", at("12:00:00.250"), id=5, values=[10, 20, 30]), END)
    assert data == EXAMPLE_BYTES
    write_archive(tmp_path / "2024-03-01_a.vlx", [data])
    return str(tmp_path)


@pytest.mark.parametrize("dt_end, signals, expected", [
    (END_OF_DAY, [5121], [ROW_12H + (20, None, None, 1, 5)]),
    (END_OF_DAY, [5120, 5122], [ROW_12H + (30, None, None, 1, 5), ROW_12H + (10, None, None, 1, 5)]),
    ("2024-03-01 11:59:59", [5121], []),
])
def test_example_archive(example_root, dt_end, signals, expected):
    assert zentrail.read(example_root, START, dt_end, signals) == expected


@pytest.mark.parametrize("call", [
    lambda r, s: zentrail.read(r, START, END_OF_DAY, s),
    lambda r, s: zentrail.read(root_dir=r, dt_start=START, dt_end=END_OF_DAY, signals=s),
    lambda r, s: zentrail.read(signals=s, dt_end=END_OF_DAY, root_dir=r, dt_start=START),
    lambda r, s: zentrail.read(r, START, signals=s, dt_end=END_OF_DAY),
], ids=["positional", "keywords", "keywords-reordered", "mixed"])
def test_argument_forms_give_the_same_rows(example_root, call):
    signals = [5121]
    first, second = call(example_root, signals), call(example_root, signals)
    assert first == second == [ROW_12H + (20, None, None, 1, 5)]
    assert first is not second and signals == [5121]


@pytest.mark.parametrize("args, kwargs, error", [
    (("/missing", START, END_OF_DAY), {}, TypeError),
    (("/missing", START, END_OF_DAY, [1]), {"extra": 1}, TypeError),
    (("/missing", START, END_OF_DAY), {"signal": [1]}, TypeError),
    (("/missing", START, END_OF_DAY, [1], [2]), {}, TypeError),
    ((b"/missing", START, END_OF_DAY, [1]), {}, TypeError),
    (("/missing", None, END_OF_DAY, [1]), {}, TypeError),
    (("/mis\0sing", START, END_OF_DAY, [1]), {}, ValueError),
    (("/missing", START, "2024-03-01\0", [1]), {}, ValueError),
    (("/missing\udcff", START, END_OF_DAY, [1]), {}, UnicodeEncodeError),
])
def test_bad_arguments_fail_in_parsing_before_any_search(args, kwargs, error):
    # A search of the missing root would raise FileNotFoundError instead.
    with pytest.raises(error):
        zentrail.read(*args, **kwargs)


def test_empty_signals_search_the_directory_but_read_no_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_day(tmp_path / "missing", [])
    write_archive(tmp_path / "2024-03-01_bad.vlx", [b"\x00\x00\x00\x00\x00\x00\x0d\x00"])
    assert read_day(tmp_path, []) == []


def test_signal_codes_table(tmp_path):
    day_file(tmp_path, group("GrWord", at("01:00:00"), id=0, values=[10, 20]),
             group("GrWord", at("02:00:00"), id=5, values=[50]))
    assert [r[7] for r in read_day(tmp_path, [True])] == [20]
    assert [r[7] for r in read_day(tmp_path, [False, False])] == [10]  # duplicates give one tuple
    assert [r[7] for r in read_day(tmp_path, type("Codes", (list,), {})([5120]))] == [50]
    # Only the first 256 codes count, and read says so.
    filler = [code(9, i) for i in range(256)]
    first_256 = "uses the first 256 signal codes; the 44 after them were ignored"
    with pytest.warns(UserWarning, match=first_256):
        assert read_day(tmp_path, filler + [code(5)] * 44) == []
    with pytest.warns(UserWarning, match=first_256):
        assert [r[7] for r in read_day(tmp_path, filler[:255] + [code(5)] + [code(0)] * 44)] == [50]


@pytest.mark.parametrize("names", [
    ["a/2021-01-02_x.vlx", "b/2021-01-01_x.vlx"],
    ["2021-01-01_B.vlx", "2021-01-01_a.vlx"],
    ["2021-01-01_z.vlx", "2021-01-01_\u00e9.vlx"],
    ["2021-01-01_a.vlx", "2021-01-01_a.vlx.1"],
    ["a-b/2021-01-01_x.vlx", "a/2021-01-01_x.vlx"],  # whole paths: "-" sorts before "/"
], ids=["directories-first", "upper-case-first", "non-ascii-last", "prefix-first", "whole-path"])
def test_files_are_read_in_byte_order_of_their_paths(tmp_path, names):
    for position, name in reversed(list(enumerate(names))):  # created in reverse order
        write_archive(tmp_path / name, [group("GrWord", at("12:00:00"), id=1, values=[position])])
    rows = zentrail.read(str(tmp_path), "2000-01-01 00:00:00", "2021-01-02 23:59:59", [code(1)])
    assert [r[7] for r in rows] == list(range(len(names)))


def test_directory_named_like_an_archive_contributes_nothing(tmp_path):
    (tmp_path / "2024-03-01_dir.vlx").mkdir()
    day_file(tmp_path / "2024-03-01_dir.vlx", group("GrWord", at("01:00:00"), id=1, values=[7]), name="inner")
    assert [r[7] for r in read_day(tmp_path, [code(1)])] == [7]


def test_days_come_from_date_marks_not_from_names(tmp_path):
    write_archive(tmp_path / "2024-03-01_a.vlx", [archive(
        group("GrWord", at("01:00:00"), id=1, values=[1]),  # before any date mark: 2000-01-01
        date_mark(date(2024, 3, 1)), group("GrWord", at("02:00:00"), id=1, values=[2]),
        date_mark(date(2024, 3, 2)), group("GrWord", at("03:00:00"), id=1, values=[3]),
        date_mark(date(2024, 3, 9)), group("GrWord", at("04:00:00"), id=1, values=[4]))])
    write_archive(tmp_path / "2024-03-02_b.vlx", [archive(group("GrWord", at("05:00:00"), id=1, values=[5]))])
    rows = zentrail.read(str(tmp_path), "2000-01-01 00:00:00", "2024-03-02 23:59:59", [code(1)])
    assert [r[:4] + r[7:8] for r in rows] == [
        (2000, 1, 1, 1, 1), (2024, 3, 1, 2, 2), (2024, 3, 2, 3, 3), (2000, 1, 1, 5, 5)]


@pytest.mark.parametrize("start, end, times, expected", [
    (START, END_OF_DAY, ["00:00:00", "23:59:59.999999999"], [0, 1]),
    ("2024-03-01 12:00:00", "2024-03-01 12:00:01", ["11:59:59.999", "12:00:00", "12:00:01.5", "12:00:02"], [1, 2]),
    (START, END_OF_DAY, ["24:00:00"], []),  # a time of day of a full day is the next day
    ("2024-03-01 12:00:01", "2024-03-01 12:00:00", ["12:00:00", "12:00:01"], []),
    ("2024-03-01 00:00", END_OF_DAY, ["12:00:00"], []),  # no seconds: the start bound matches nothing
])
def test_time_window_at_whole_seconds(tmp_path, start, end, times, expected):
    day_file(tmp_path, *[group("GrWord", at(t), id=1, values=[i]) for i, t in enumerate(times)])
    without_seconds = len(start) < len("2024-03-01 00:00:00")
    with pytest.warns(UserWarning, match="dt_start is not written") if without_seconds else contextlib.nullcontext():
        assert [r[7] for r in read_day(tmp_path, [code(1)], start, end)] == expected


@pytest.mark.parametrize("cut", [1, 5, 6, 7, 9, 11, 13])
def test_record_cut_short_at_the_end_of_the_file_ends_it_quietly(tmp_path, cut):
    whole = group("GrWord", at("02:00:00"), id=1, values=[2, 3])
    write_archive(tmp_path / "2024-03-01_a.vlx", [archive(
        date_mark(DAY), group("GrWord", at("01:00:00"), id=1, values=[1]), whole[:cut])])
    day_file(tmp_path, group("GrWord", at("03:00:00"), id=1, values=[4]), name="2024-03-01_b.vlx")
    assert [r[7] for r in read_day(tmp_path, [code(1)])] == [1, 4]


def test_system_item_and_bytes_after_the_end_byte_are_skipped(tmp_path):
    write_archive(tmp_path / "2024-03-01_a.vlx", [archive(
        date_mark(DAY), system(at("01:00:00"), param=54), group("GrWord", at("01:00:01"), id=1, values=[1]),
        END, b"\x00\x00\x00\x00\x00\x00\x0d\x00")])
    day_file(tmp_path, group("GrWord", at("02:00:00"), id=1, values=[2]), name="2024-03-01_b.vlx")
    assert [r[7] for r in read_day(tmp_path, [code(1), code(0)])] == [1, 2]
