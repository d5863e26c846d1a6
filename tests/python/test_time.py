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


# -- durations: one grammar for every duration argument ----------------------

S = 10**9
DAY_NS = 86_400 * S


def _accepted():
    pd = pytest.importorskip("pandas")
    return [
        ("1ns", 1), ("1us", 1_000), ("15ms", 15_000_000), ("2m", 120 * S), ("2min", 120 * S), ("1h", 3_600 * S),
        ("1d", DAY_NS), ("1.5s", 1_500_000_000), (".5s", S // 2), ("2.s", 2 * S), (" 15 min ", 900 * S),
        ("5", 5 * S), ("0.25", S // 4), ("+1s", S), ("1.5ns", 2), ("100000d", 100_000 * DAY_NS),
        (5, 5 * S), (0.1, 100_000_000), (1e-9, 1), (np.int64(3), 3 * S), (np.float32(0.25), S // 4),
        (datetime.timedelta(minutes=1, microseconds=7), 60 * S + 7_000),
        (np.timedelta64(2, "h"), 7_200 * S), (np.timedelta64(3, "W"), 21 * DAY_NS), (np.timedelta64(1500, "ps"), 2),
        (np.timedelta64(100_000, "D"), 100_000 * DAY_NS),  # beyond what a cast to timedelta64[ns] keeps whole
        (pd.Timedelta("1.000000001s"), S + 1),
    ]


def _rejected():
    pd = pytest.importorskip("pandas")
    return [
        ("0s", ValueError, "longer than zero"), ("-1min", ValueError, "longer than zero"), (0, ValueError, "zero"),
        ("0.4ns", ValueError, "at least 1ns"), ("1w", ValueError, "is not a duration"),
        ("1e3s", ValueError, "is not a duration"), ("", ValueError, "is not a duration"),
        ("1 s s", ValueError, "is not a duration"), ("1S", ValueError, "is not a duration"),
        ("100000d1ns", ValueError, "is not a duration"), ("100001d", ValueError, "at most 100000d"),
        ("100000000d", ValueError, "at most 100000d"), ("100000000000000000000d", ValueError, "at most 100000d"),
        ("200000d", ValueError, "at most 100000d"), (datetime.timedelta.max, ValueError, "at most 100000d"),
        (pd.Timedelta.max, ValueError, "at most 100000d"), (np.timedelta64(10**6, "D"), ValueError, "at most"),
        (1e300, ValueError, "at most"), (float("nan"), ValueError, "must be a duration"),
        (float("inf"), ValueError, "must be a duration"), (np.timedelta64("NaT"), ValueError, "NaT"),
        (np.timedelta64(1, "M"), ValueError, "no fixed length"), (np.timedelta64(5), ValueError, "no fixed length"),
        (True, TypeError, "must be a text"), (None, TypeError, "must be a text"), ([1], TypeError, "must be a text"),
        (pd.NaT, TypeError, "must be a text"),
    ]


def test_the_duration_grammar_accepts_these_forms():
    from zentrail._base import time as _time

    for given, ns in _accepted():
        assert _time.duration_ns(given, "x") == ns, given
        assert _time.duration_seconds(given, "x") == ns / S


def test_the_duration_grammar_rejects_these_naming_the_argument():
    from zentrail._base import time as _time

    for given, error, words in _rejected():
        with pytest.raises(error) as info:
            _time.duration_ns(given, "lookback")
        assert str(info.value).startswith("lookback") and words in str(info.value), (given, info.value)


def test_the_units_are_one_table():
    from zentrail._base import time as _time

    assert _time.UNIT_NAMES == "ns, us, ms, s, min or m, h, d"
    for unit, length in _time.DURATION_UNITS.items():
        assert _time.duration_ns(f"3{unit}", "x") == 3 * length
    assert [_time.duration_text(n) for n in (90 * S, 7 * DAY_NS, 1_500, 60 * S, _time.MAX_DURATION_NS)] == \
        ["90s", "7d", "1500ns", "1min", "100000d"]


# Every duration argument, each a call that takes the duration and checks it
# before anything is read (over a minute: every="1us" is 60 million buckets).
MINUTE = ("2024-03-02 12:00", "2024-03-02 12:00")
DURATION_ARGUMENTS = {
    "every": lambda root, d: zentrail.scan(root, *MINUTE, CODES).align(d),
    "max_gap": lambda root, d: zentrail.scan(root, *MINUTE, CODES).align("1h", max_gap=d),
    "lookback": lambda root, d: zentrail.scan(root, *MINUTE, CODES).align("1h", lookback=d),
    "overview every": lambda root, d: zentrail.scan(root, *MINUTE, CODES).overview(every=d),
    "overview lookback": lambda root, d: zentrail.scan(root, *MINUTE, CODES).overview(
        every="1h", time_weighted=True, lookback=d),
    "overview max_gap": lambda root, d: zentrail.scan(root, *MINUTE, CODES).overview(
        every="1h", time_weighted=True, max_gap=d),
    "poll": lambda root, d: zentrail.follow(root, poll=d).close(),
    "idle_timeout": lambda root, d: zentrail.follow(root, idle_timeout=d).close(),
}


@pytest.mark.parametrize("argument", list(DURATION_ARGUMENTS))
@pytest.mark.parametrize("given", ["2m", "1d", "1us", "1.5s", 5, 0.5, datetime.timedelta(seconds=3)])
def test_every_duration_argument_takes_every_form(three_days, argument, given):
    DURATION_ARGUMENTS[argument](three_days, given)


@pytest.mark.parametrize("argument", list(DURATION_ARGUMENTS))
@pytest.mark.parametrize("given", ["200000d", datetime.timedelta.max, "soon", 0])
def test_every_duration_argument_refuses_with_a_value_error_naming_it(three_days, argument, given):
    with pytest.raises(ValueError, match=f"^{argument.split()[-1]}"):
        DURATION_ARGUMENTS[argument](three_days, given)
