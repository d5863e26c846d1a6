"""zentrail.scan against zentrail.read: the same rows as columns, on random
trees and on fixed cases; dtypes, arguments, Arrow consumers, pickling."""

from __future__ import annotations

import datetime
import math
import os
import pickle
import shutil

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

np = pytest.importorskip("numpy")

import archive_builder as ab
import zentrail
from conftest import END_OF_DAY, NO_ROW, START, code, day_file, may_find_no_row
from test_property import trees, written_tree

DTYPES = {"time": "datetime64[ns]", "signal_id": "uint16", "element": "uint16",
          "value": "float64", "item_class": "uint8", "subtype": "uint8"}


def read_rows(rows):
    """read's tuples without their constant fields; "" (a text row) and NaN
    as None, as scan_rows gives a NaN value (NaN equals nothing, not even
    the NaN read gives for a float record holding one)."""
    return [(r[:7], None if r[7] == "" or math.isnan(float(r[7])) else float(r[7]), r[11]) for r in rows]


def scan_rows(columns):
    out = []
    for t, v, i in zip(columns["time"].astype("datetime64[ms]").astype(object), columns["value"],
                       columns["signal_id"]):
        fields = (t.year, t.month, t.day, t.hour, t.minute, t.second, t.microsecond // 1000)
        out.append((fields, None if math.isnan(v) else float(v), int(i)))
    return out


def concat(batches):
    return {name: np.concatenate([b[name] for b in batches]) if batches else np.array([], dtype)
            for name, dtype in DTYPES.items()}


def outcome(call):
    try:
        return call(), None
    except (OSError, ValueError) as error:
        return None, (type(error), str(error), getattr(error, "__notes__", []))


def as_scan_says(read_error):
    """read's failure as a scan says it: read's message, the file and byte
    of its note in the message itself."""
    if read_error is None:
        return None
    kind, message, notes = read_error
    return kind, f"{message} ({'; '.join(notes)})" if notes else message


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from([1, 2, 3]), st.sampled_from([1, 3, None]))
def test_scan_gives_the_rows_of_read(tree, threads, batch_rows):
    files, start, end, codes = tree
    codes = [c for c in codes if 0 <= c <= 67108863]
    root = written_tree(files)
    try:
        rows, read_error = outcome(lambda: zentrail.read(root, start, end, codes))
        scan = zentrail.scan(root, start, end, codes, threads=threads, batch_rows=batch_rows)
        columns, scan_error = outcome(scan.to_numpy)
        assert scan_error and scan_error[:2] == as_scan_says(read_error) or scan_error is read_error is None
        assert zentrail.find_files(root, start, end) == sorted(zentrail.find_files(root, start, end),
                                                               key=os.fsencode)
        # Iterating yields every row before a failure, then raises it.
        batches = []
        try:
            for batch in scan:
                assert batch_rows is None or len(batch["time"]) <= batch_rows
                batches.append(batch)
        except (OSError, ValueError) as error:
            assert (type(error), str(error)) == as_scan_says(read_error)
        if read_error is None:
            assert scan_rows(columns) == read_rows(rows)
            assert scan_rows(concat(batches)) == read_rows(rows)
            listed = zentrail.scan_files(zentrail.find_files(root, start, end), start, end, codes)
            assert scan_rows(listed.to_numpy()) == read_rows(rows)
    finally:
        shutil.rmtree(root)


@pytest.fixture
def day(tmp_path):
    """One day file: a GrWord group (id 5), an AlByte alarm with subtype HiHi
    (id 12) and a string alarm (id 13)."""
    day_file(tmp_path,
             ab.group("GrWord", ab.at("12:00:00.250000001"), 5, [10, 20, 30]),
             ab.alarm("AlByte", ab.at("12:00:01"), 12, subtype=3, param=1, payload=b"\x07"),
             ab.string_alarm(ab.at("12:00:02"), 13, b"note"))
    return tmp_path


def test_columns_dtypes_and_content(day):
    columns = zentrail.scan(day, START, END_OF_DAY, [code(5, 0), code(5, 2), code(12), code(13)]).to_numpy()
    assert {name: str(a.dtype) for name, a in columns.items()} == DTYPES
    assert columns["time"][0] == np.datetime64("2024-03-01T12:00:00.250000001")
    assert columns["element"].tolist() == [2, 0, 0, 0]
    assert columns["value"][:3].tolist() == [30.0, 10.0, 7.0] and math.isnan(columns["value"][3])
    assert columns["item_class"].tolist() == [21, 21, 2, 12]
    assert columns["subtype"].tolist() == [0, 0, 3, 0]


@pytest.mark.parametrize("bounds", [
    (START, END_OF_DAY),
    (datetime.datetime(2024, 3, 1), datetime.datetime(2024, 3, 1, 23, 59, 59)),
    (datetime.date(2024, 3, 1), datetime.date(2024, 3, 1)),
])
def test_bounds_as_text_datetime_or_date(day, bounds):
    assert len(zentrail.scan(str(day).encode(), *bounds, range(5 * 1024, 5 * 1024 + 3)).to_numpy()["time"]) == 3


def test_no_cap_on_codes_and_duplicates_collapse(day):
    codes = list(range(5 * 1024, 6 * 1024)) * 2 + [code(12)]  # 2,049 codes
    assert len(zentrail.scan(day, START, END_OF_DAY, np.array(codes)).to_numpy()["time"]) == 4


@pytest.mark.parametrize("call, error, text", [
    (lambda r: zentrail.scan(r, START, END_OF_DAY, [1.0]), TypeError, "signals[0] is a float"),
    (lambda r: zentrail.scan(r, START, END_OF_DAY, 7), TypeError, "iterable"),
    (lambda r: zentrail.scan(r, START, END_OF_DAY, [5, 67108864]), ValueError, "signals[1] is the code 67108864"),
    (lambda r: zentrail.scan(r, START, END_OF_DAY, [-1]), ValueError, "code -1"),
    (lambda r: zentrail.scan(r, datetime.datetime(2024, 3, 1, tzinfo=datetime.timezone.utc), END_OF_DAY, [1]),
     ValueError, "time zone"),
    (lambda r: zentrail.scan(r, 2024, END_OF_DAY, [1]), TypeError, "dt_start must be"),
    (lambda r: zentrail.scan(r, START, END_OF_DAY, [1], threads=0), ValueError, "threads"),
    (lambda r: zentrail.scan(r, START, END_OF_DAY, [1], batch_rows="9"), TypeError, "batch_rows"),
    (lambda r: zentrail.scan(r, START, END_OF_DAY, [1], progress=3), TypeError, "progress"),
])
def test_argument_errors_raise_from_scan_itself(tmp_path, call, error, text):
    with pytest.raises(error, match=None) as info:
        call(tmp_path / "missing")  # never searched: the argument fails first
    assert text in str(info.value)


def test_walk_errors_raise_from_consumption(tmp_path):
    scan = zentrail.scan(tmp_path / "missing", START, END_OF_DAY, [1])
    with pytest.raises(FileNotFoundError):
        scan.to_numpy()


def test_arrow_consumers_and_pandas(day):
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    scan = zentrail.scan(day, START, END_OF_DAY, [code(5, 0), code(5, 1), code(13)], batch_rows=1)
    table = pa.table(scan)
    assert table.schema.field("time").type == pa.timestamp("ns")
    assert table.num_rows == 3 and table.column("value").to_pylist()[:2] == [20.0, 10.0]
    assert pl.DataFrame(scan).shape == (3, 6)
    frame = scan.to_pandas()
    assert list(frame.columns) == list(DTYPES) and str(frame["time"].dtype) == "datetime64[ns]"


def test_an_empty_scan_has_the_columns(day):
    pytest.importorskip("pandas")
    with pytest.warns(UserWarning, match=NO_ROW):
        frame = zentrail.scan_files([], START, END_OF_DAY, [1]).to_pandas()
    assert len(frame) == 0 and {c: str(t) for c, t in frame.dtypes.items()} == DTYPES


def test_pickles_as_what_it_describes(day):
    scan = zentrail.scan(day, START, END_OF_DAY, [code(5, 1)], threads=1, batch_rows=7)
    again = pickle.loads(pickle.dumps(scan))
    assert scan_rows(again.to_numpy()) == scan_rows(scan.to_numpy())
    listed = zentrail.scan_files(zentrail.find_files(day, START, END_OF_DAY), START, END_OF_DAY, [code(5, 1)])
    assert scan_rows(pickle.loads(pickle.dumps(listed)).to_numpy()) == scan_rows(scan.to_numpy())


def test_progress_reaches_the_total_and_its_exception_cancels(day):
    seen = []
    zentrail.scan(day, START, END_OF_DAY, [code(5, 1)], progress=lambda d, t: seen.append((d, t))).to_numpy()
    total = os.path.getsize(day / "2024-03-01_a.vlx")
    assert seen[-1] == (total, total)

    def stop(done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        zentrail.scan(day, START, END_OF_DAY, [code(5, 1)], progress=stop).to_numpy()


def test_a_missing_listed_file_fails_as_a_found_one_does(day):
    with pytest.raises(FileNotFoundError) as info:
        zentrail.scan_files([day / "2024-03-02_none.vlx"], START, END_OF_DAY, [1]).to_numpy()
    assert str(info.value) == f"File does not exist! (archive file {str(day / '2024-03-02_none.vlx')!r}: [Errno 2] " \
                              f"No such file or directory)"
