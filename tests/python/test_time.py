"""A scan's bounds: every way of writing them reads the same files and rows,
an end runs to the end of its stated precision, and anything else is refused
by scan itself."""

from __future__ import annotations

import contextlib
import datetime

import pytest

np = pytest.importorskip("numpy")

import archive_builder as ab
import zentrail
from conftest import NO_ROW, day_file

DAYS = [datetime.date(2024, 3, d) for d in (1, 2, 3)]
CODES = [5 * 1024]


@pytest.fixture(scope="module")
def three_days(tmp_path_factory):
    """A GrWord value of id 5 at 00:00:00, 12:00:00.5 and 23:59:59.999999999
    of each of three days, one file a day."""
    root = tmp_path_factory.mktemp("bounds")
    for day in DAYS:
        day_file(root, *(ab.group("GrWord", ab.at(t), 5, [n]) for n, t in
                         enumerate(["00:00:00", "12:00:00.5", "23:59:59.999999999"])),
                 name=f"{day:%Y-%m-%d}_a.vlx", day=day)
    return root


def times(root, start, end):
    return zentrail.scan(root, start, end, CODES).to_numpy()["time"].astype(str).tolist()


CANONICAL = ("2024-03-01 00:00:00", "2024-03-03 23:59:59")


@pytest.mark.parametrize("start, end", [
    ("2024-03-01T00:00:00", "2024-03-03T23:59:59"),
    ("2024-03-01", "2024-03-03"),
    ("2024-03-01 00:00", "2024-03-03 23:59"),
    ("2024-03-01T00:00:00.000000000", "2024-03-03 23:59:59.999999999"),
    (datetime.datetime(2024, 3, 1), datetime.datetime(2024, 3, 3, 23, 59, 59)),
    (datetime.date(2024, 3, 1), datetime.date(2024, 3, 3)),
    (np.datetime64("2024-03-01"), np.datetime64("2024-03-03")),
    (np.datetime64("2024-03-01T00:00:00.000000000"), np.datetime64("2024-03-03T23:59:59")),
])
def test_every_form_reads_what_the_canonical_texts_read(three_days, start, end):
    assert times(three_days, start, end) == times(three_days, *CANONICAL)
    assert len(times(three_days, *CANONICAL)) == 9
    assert zentrail.find_files(three_days, start, end) == zentrail.find_files(three_days, *CANONICAL)


def test_pandas_timestamps_to_the_nanosecond(three_days):
    pd = pytest.importorskip("pandas")
    last = pd.Timestamp("2024-03-02 23:59:59.999999999")
    assert times(three_days, pd.Timestamp("2024-03-02 12:00:00.5"), last) == [
        "2024-03-02T12:00:00.500000000", "2024-03-02T23:59:59.999999999"]
    with pytest.raises(ValueError, match="time zone"):
        zentrail.scan(three_days, pd.Timestamp("2024-03-02", tz="UTC"), last, CODES)


@pytest.mark.parametrize("start, end, expected", [
    ("2024-03-02", "2024-03-02", 3),                      # a date: the whole day
    ("2024-03-02 12:00", "2024-03-02 12:00", 1),          # hh:mm: the whole minute
    ("2024-03-02 12:00:00", "2024-03-02 12:00:00", 1),    # the whole second
    ("2024-03-02 12:00:00.5", "2024-03-02 12:00:00.5", 1),  # exactly that instant, inclusive
    ("2024-03-02 12:00:00.500000001", "2024-03-02 23:59:59.999999998", 0),
    (datetime.datetime(2024, 3, 2, 12, 0, 0, 500001), "2024-03-02 23:59:59", 1),  # a fraction states an instant
])
def test_an_end_runs_to_the_end_of_its_precision(three_days, start, end, expected):
    with pytest.warns(UserWarning, match=NO_ROW) if expected == 0 else contextlib.nullcontext():
        assert len(times(three_days, start, end)) == expected


@pytest.mark.parametrize("call", [
    lambda root, start, end: zentrail.scan(root, start, end, CODES),
    lambda root, start, end: zentrail.scan_files([], start, end, CODES),
    lambda root, start, end: zentrail.find_files(root, start, end),
    lambda root, start, end: zentrail.inventory(root, start, end),
    lambda root, start, end: zentrail.events(root, start, end),
])
def test_an_end_before_the_start_is_an_error_naming_both(three_days, call):
    with pytest.raises(ValueError, match="dt_end 2024-03-01 23:59:59.999999999 comes before dt_start 2024-03-02"):
        call(three_days, "2024-03-02", "2024-03-01 23:59:59.999999999")
    assert len(times(three_days, "2024-03-02", "2024-03-02 00:00:00")) == 1  # an end at the start is no error


@pytest.mark.parametrize("bad", [
    "2024/03/01 00:00:00", "2024-03-01 00:00:00Z", " 2024-03-01", "2024-03-01 00:00:00.", "2024-03-01 00:00:00.1234567890",
    "2024-02-30", "2023-02-29", "2024-13-01", "2024-03-01 24:00", "2024-03-01 23:60", "2024-03-01 23:59:60",
    "2024-3-01", "2024-03-01  00:00", "2024-03-01T00", "0000-01-01", "", "garbage", "2024-03-01\n00:00:00",
])
def test_other_texts_raise_value_error_naming_them(three_days, bad):
    with pytest.raises(ValueError) as info:
        zentrail.scan(three_days, bad, "2024-03-03", CODES)
    assert "dt_start" in str(info.value) and repr(bad) in str(info.value)
    with pytest.raises(ValueError):
        zentrail.find_files(three_days, "2024-03-01", bad)


def test_leap_day_and_far_bounds(three_days):
    assert len(times(three_days, "2024-02-29", "9999-12-31 23:59:59.999999999")) == 9
    with pytest.warns(UserWarning, match=NO_ROW):
        assert times(three_days, "0001-01-01", "1999-12-31") == []


@pytest.mark.parametrize("instants, expected", [
    ([], []),
    (["2024-03-01T05:00:00", "2024-03-01T05:00:00.002", "1900-01-01T00:00:00.000000001"],
     ["2024-03-01 05:00:00", "2024-03-01 05:00:00.002", "1900-01-01 00:00:00.000000001"]),
])
def test_texts_of_instants(instants, expected):
    from zentrail._base import time as _time

    assert _time.texts(np.array(instants, dtype="datetime64[ns]")).tolist() == expected
