"""inventory, events and scan(signals=None) against the pure-Python model on
random trees, and the names they carry."""

from __future__ import annotations

import datetime
import math
import shutil
import subprocess

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import archive_format as fmt
import archive_model
import zentrail
from conftest import day_file, may_find_no_row
from test_dump import DUMP
from test_property import IDS, trees, written_tree

EPOCH = np.datetime64("2000-01-01T00:00:00", "ns")
windows = st.sampled_from([(None, None), ("2024-03-01 00:00:00", "2024-03-04 23:59:59"),
                           ("2024-03-02 12:00:00", "2024-03-02 12:00:00"), ("2000-01-01 00:00:00", None)])


def ns_of(column):
    return [int(v) for v in (column - EPOCH).astype("int64")]


def inventory_or_error(root, start, end, **kwargs):
    try:
        return zentrail.inventory(root, start, end, **kwargs).to_numpy()
    except ValueError as error:
        assert str(error).startswith("Error occured while reading file. (archive file ")
        return ValueError


@pytest.mark.slow
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), windows, st.booleans(), st.sampled_from([1, 3]))
def test_inventory_matches_the_model(tree, window, by_day, threads):
    files = tree[0]
    root = written_tree(files)
    try:
        expected = archive_model.expected_inventory(root, *window, by_day=by_day)
        got = inventory_or_error(root, *window, by="day" if by_day else None, threads=threads)
        if expected is ValueError:
            assert got is ValueError
            return
        days = ns_of(got["day"]) if by_day else [0] * len(got["signal_id"])
        actual = {(d // fmt.NS_PER_DAY, i, c): [r, f, la, e, n] for d, i, c, r, f, la, e, n in zip(
            days, got["signal_id"].tolist(), got["item_class"].tolist(), got["records"].tolist(),
            ns_of(got["first"]), ns_of(got["last"]), got["elements"].tolist(), got["files"].tolist())}
        assert actual == expected
        keys = list(zip(days, got["signal_id"].tolist(), got["item_class"].tolist()))
        assert keys == sorted(keys)
    finally:
        shutil.rmtree(root)


def comparable_events(rows):
    return [tuple(("nan",) if isinstance(v, float) and math.isnan(v) else v for v in row) for row in rows]


@pytest.mark.slow
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), windows.filter(lambda w: w[0] is not None and w[1] is not None),
       st.sampled_from([None, [1], [0, 5, 65535]]), st.booleans(), st.sampled_from([1, 3]))
def test_events_match_the_model(tree, window, ids, system, threads):
    root = written_tree(tree[0])
    try:
        expected = archive_model.expected_events(root, *window, ids=ids, system=system)
        try:
            got = zentrail.events(root, *window, ids, system=system, threads=threads).to_numpy()
        except ValueError as error:
            assert str(error).startswith("Error occured while reading file. (archive file ")
            got = ValueError
        if expected is ValueError:
            assert got is ValueError
            return
        names = ["signal_id", "item_class", "subtype", "param", "class_name", "subtype_name", "detail"]
        rows = list(zip(ns_of(got["time"]), *[got[n].tolist() for n in names], got["value"].tolist(),
                        got["text"].tolist()))
        assert comparable_events(rows) == comparable_events(expected)
    finally:
        shutil.rmtree(root)


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from([1, 3]))
def test_every_signal_is_scan_with_every_present_code(tree, threads):
    files, start, end, _ = tree
    root = written_tree(files)
    every = [i * 1024 + n for i in IDS for n in range(256)]  # the trees' ids; counts stay below 256
    try:
        def columns(signals):
            try:
                return zentrail.scan(root, start, end, signals, threads=threads, batch_rows=7).to_numpy()
            except ValueError:
                return ValueError
        expected, got = columns(every), columns(None)
        if expected is ValueError:
            assert got is ValueError
            return
        assert list(got) == list(expected)
        for name in expected:
            np.testing.assert_array_equal(got[name], expected[name])
    finally:
        shutil.rmtree(root)


ALL_RECORDS = [
    ab.system(ab.at("01:00:00"), subtype=1, param=54),
    ab.system(ab.at("01:00:01"), subtype=2, param=99),
    *[ab.alarm(name, ab.at("02:00:00"), 7, value=-3, subtype=s) for name in fmt.ALARM_CLASSES for s in (0, 3, 7)],
    ab.string_alarm(ab.at("03:00:00"), 9, b"ok \xff\xfe caf\xc3\xa9", subtype=7),
    ab.group("GrWord", ab.at("04:00:00"), 5, [1, 2, 3], subtype=2),
]


def test_events_names_are_the_text_writers_fields(tmp_path):
    path = day_file(tmp_path, *ALL_RECORDS)
    got = zentrail.events(str(tmp_path), "2024-03-01", "2024-03-01").to_numpy()
    if DUMP is not None:
        lines = subprocess.run([DUMP, str(path)], capture_output=True, text=True, check=True).stdout.splitlines()
        printed = [tuple(line.split(",")[2:5]) for line in lines if not line.startswith(",,GrWord")]
        assert list(zip(got["class_name"], got["subtype_name"], got["detail"])) == printed
    assert got["text"][-1] == "ok \ufffd\ufffd café"
    assert sorted(set(got["class_name"])) == sorted({"System", *fmt.ALARM_CLASSES, "AlString"})
    assert zentrail.CLASS_NAMES == fmt.CLASS_NAMES
    assert [zentrail.subtype_name(c, s) for c in range(32) for s in range(8)] == \
        [archive_model.record_names(c, s, 0)[1] for c in range(32) for s in range(8)]


def test_names_in_frames(tmp_path):
    pandas = pytest.importorskip("pandas")
    pyarrow = pytest.importorskip("pyarrow")
    day_file(tmp_path, *ALL_RECORDS)
    frame = zentrail.scan(str(tmp_path), "2024-03-01", "2024-03-01").to_pandas(names=True)
    assert frame["class_name"].dtype == "category"
    assert list(frame["class_name"].astype(str)) == [fmt.CLASS_NAMES[c] for c in frame["item_class"]]
    assert list(frame["subtype_name"].astype(str)) == [zentrail.subtype_name(c, s)
                                                      for c, s in zip(frame["item_class"], frame["subtype"])]
    inventory = zentrail.inventory(str(tmp_path))
    table = pyarrow.table(inventory)
    assert pyarrow.types.is_dictionary(table.schema.field("class_name").type)
    assert table.column("class_name").to_pylist() == list(inventory.to_pandas()["class_name"].astype(str))
    events = pyarrow.table(zentrail.events(str(tmp_path), "2024-03-01", "2024-03-01"))
    assert events.num_rows == len(ALL_RECORDS) - 1
    assert isinstance(pandas.DataFrame(zentrail.events(str(tmp_path), "2024-03-01", "2024-03-01").to_pandas()),
                      pandas.DataFrame)


@pytest.mark.parametrize("call, error", [
    (lambda root: zentrail.inventory(root, by="week"), ValueError),
    (lambda root: zentrail.events(root, "2024-03-01", "2024-03-01", ids=[70000]), ValueError),
    (lambda root: zentrail.events(root, "2024-03-01", "2024-03-01", ids="7"), TypeError),
    (lambda root: zentrail.inventory(root, "2024-03-x"), ValueError),
])
def test_argument_errors(tmp_path, call, error):
    with pytest.raises(error):
        call(str(tmp_path))


def test_a_failure_names_the_file_and_offset(tmp_path):
    day_file(tmp_path, ab.group("GrWord", 0, 5, [1]), b"\x80\x01\x00\x00\x00\x00")
    with pytest.raises(ValueError) as raised:
        zentrail.inventory(str(tmp_path))
    assert "2024-03-01_a.vlx', malformed record at byte " in str(raised.value)
    with pytest.raises(ValueError):
        zentrail.events(str(tmp_path), "2024-03-01", "2024-03-01").to_numpy()


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("consume", [lambda e: e.to_numpy(), list])
def test_events_progress_tells_the_bytes_of_the_whole_read(tmp_path, consume, threads):
    for day in (1, 2, 3):
        day_file(tmp_path, *ALL_RECORDS, name=f"2024-03-0{day}_a.vlx", day=datetime.date(2024, 3, day))
    total = sum(p.stat().st_size for p in tmp_path.iterdir())
    seen = []
    consume(zentrail.events(str(tmp_path), "2024-03-01", "2024-03-03", threads=threads,
                            progress=lambda done, of: seen.append((done, of))))
    assert {of for _, of in seen} == {total} and seen[-1] == (total, total)
    assert [done for done, _ in seen] == sorted(done for done, _ in seen)
