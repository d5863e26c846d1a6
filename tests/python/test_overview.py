"""Scan.overview against a plain reduction of the same scan's rows."""

from __future__ import annotations

import math
import re
import shutil
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zentrail
from conftest import may_find_no_row
from test_property import trees, written_tree

SAMPLE = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")
FIELDS = ("count", "mean", "min", "min_time", "max", "max_time", "first", "first_time", "last", "last_time")


def window_of(start, end):
    """The scan's window in ns since 1970: both bounds are whole seconds."""
    first = int(np.datetime64(start.replace(" ", "T"), "ns").astype(np.int64))
    last = int(np.datetime64(end.replace(" ", "T"), "ns").astype(np.int64)) + 10**9 - 1
    return first, last


def reference(rows, start, end, buckets):
    """The overview of `rows` (to_numpy's), cell by cell in read order."""
    first, last = window_of(start, end)
    width = -(-(last - first + 1) // buckets)
    cells = {}
    times = rows["time"].astype(np.int64)
    for t, sid, n, v in zip(times.tolist(), rows["signal_id"].tolist(), rows["element"].tolist(),
                            rows["value"].tolist()):
        if math.isnan(v):
            continue
        b = (t - first) // width
        assert 0 <= b < buckets
        c = cells.get((sid, n, b))
        if c is None:
            cells[(sid, n, b)] = c = {"count": 0, "sum": 0.0, "min": v, "min_time": t, "max": v, "max_time": t,
                                      "first": v, "first_time": t}
        c["count"] += 1
        c["sum"] += v
        if v < c["min"]:
            c["min"], c["min_time"] = v, t
        if v > c["max"]:
            c["max"], c["max_time"] = v, t
        c["last"], c["last_time"] = v, t
    return {(sid, n, first + b * width): c for (sid, n, b), c in sorted(cells.items())}


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b)) or math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-300)


def check(root, start, end, codes, buckets, threads):
    scan = zentrail.scan(root, start, end, codes, threads=threads)
    try:
        rows = scan.to_numpy()
    except ValueError as error:
        with pytest.raises(ValueError, match=re.escape(str(error))):  # the file's place is in brackets
            scan.overview(buckets).to_numpy()
        return
    expected = reference(rows, start, end, buckets)
    got = scan.overview(buckets).to_numpy()
    keys = list(zip(got["signal_id"].tolist(), got["element"].tolist(), got["bucket"].astype(np.int64).tolist()))
    assert keys == list(expected)
    for i, key in enumerate(keys):
        want = expected[key]
        want["mean"] = want["sum"] / want["count"]
        for field in FIELDS:
            value = got[field][i]
            value = int(value.astype(np.int64)) if field.endswith("_time") else value.item()
            assert same(value, want[field]), (key, field, value, want[field])


@may_find_no_row
@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from([1, 2, 7, 1000, 10**9]), st.sampled_from([1, 3]))
def test_overview_matches_a_reduction_of_the_rows(tree, buckets, threads):
    files, start, end, codes = tree
    root = written_tree(files)
    try:
        codes = [c for c in codes if 0 <= c < 65536 * 1024]
        check(root, start, end, codes or None, buckets, threads)
    finally:
        shutil.rmtree(root)


def test_bucket_edges_empty_buckets_and_text_rows(tmp_path):
    import archive_builder as ab
    from conftest import day_file

    day_file(tmp_path,
             ab.group("GrDouble", ab.at("00:00:00"), 7, [1.0, 10.0]),
             ab.string_alarm(ab.at("01:00:00"), 7, b"a text row: NaN, counted nowhere"),
             ab.group("GrDouble", ab.at("05:59:59.999999999"), 7, [-2.0, 20.0]),
             ab.group("GrDouble", ab.at("06:00:00"), 7, [3.0, 30.0]),
             ab.group("GrDouble", ab.at("23:59:59.999999999"), 7, [4.0, float("nan")]))
    got = zentrail.scan(tmp_path, "2024-03-01", "2024-03-01", [7 * 1024, 7 * 1024 + 1]).overview(4).to_numpy()
    hours = (got["bucket"] - np.datetime64("2024-03-01")) // np.timedelta64(1, "h")
    # Six-hour buckets; the third holds nothing and gives no row.
    assert list(zip(got["element"].tolist(), hours.tolist(), got["count"].tolist())) == \
        [(0, 0, 2), (0, 6, 1), (0, 18, 1), (1, 0, 2), (1, 6, 1)]
    assert got["min"][0] == -2.0 and got["max"][0] == 1.0 and got["mean"][0] == -0.5
    assert got["last_time"][0] == np.datetime64("2024-03-01T05:59:59.999999999")


def test_arrow_and_pandas_give_the_same_columns():
    pyarrow = pytest.importorskip("pyarrow")
    scan = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", None)
    columns = scan.overview(50).to_numpy()
    table = pyarrow.table(scan.overview(50))
    assert table.column_names == list(columns)
    for name, values in columns.items():
        assert np.array_equal(table.column(name).to_numpy(), values, equal_nan=True)
    pandas = pytest.importorskip("pandas")
    frame = scan.overview(50).to_pandas()
    assert list(frame.columns) == list(columns) and len(frame) == len(columns["count"])


@pytest.mark.parametrize("buckets, error", [(0, ValueError), (2**31, ValueError), (1.5, TypeError)])
def test_bucket_count_is_checked(tmp_path, buckets, error):
    with pytest.raises(error, match="buckets"):
        zentrail.scan(tmp_path, "2024-03-01", "2024-03-01", None).overview(buckets)


@pytest.mark.parametrize("threads", [1, 2])
def test_columns_outlive_the_read_that_lent_them(threads):
    # The engine hands its column memory to NumPy without a copy: the arrays
    # must keep it alive, and hold their values, once all else is gone.
    import gc

    scan = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", None, threads=threads)
    columns = scan.overview(50).to_numpy()
    expected = {name: values.copy() for name, values in columns.items()}
    del scan
    gc.collect()
    reused = [np.full(len(values) * 2 + 64, -1.0) for values in expected.values()]
    for name, values in columns.items():
        assert np.array_equal(values, expected[name], equal_nan=True), name
    columns["count"][0] += 1  # writable, as the bytearrays it replaces were
    assert columns["count"][0] == expected["count"][0] + 1 and reused


@pytest.mark.parametrize("start, end, buckets", [
    ("1999-12-31 00:00:00", "2000-01-01 23:59:59", 2),
    ("1999-12-31 18:00:00", "2000-01-01 05:59:59", 5),
    ("1990-06-01 00:00:00", "2000-01-02 23:59:59", 7),
])
def test_buckets_start_at_dt_start_before_2000(tmp_path, start, end, buckets):
    import archive_builder as ab
    from conftest import day_file
    from datetime import date

    day_file(tmp_path, *[ab.group("GrDouble", ab.at(f"{h:02}:30:00"), 7, [float(h)]) for h in range(24)],
             name="2000-01-01_a.vlx", day=date(2000, 1, 1))
    check(tmp_path, start, end, None, buckets, 1)
    got = zentrail.scan(tmp_path, start, end).overview(buckets).to_numpy()
    first, last = window_of(start, end)
    width = -(-(last - first + 1) // buckets)
    assert ((got["bucket"].astype(np.int64) - first) % width == 0).all() and len(got["bucket"])


@pytest.mark.parametrize("start, every", [("1999-12-31 00:00:00", "6h"), ("1999-12-31 18:00:00", "7h"),
                                           ("1969-07-20 20:17:40", "24h"), ("2000-01-01 00:10:00", "2h")])
def test_every_buckets_start_at_dt_start_before_2000(tmp_path, start, every):
    import archive_builder as ab
    from conftest import day_file
    from datetime import date

    day_file(tmp_path, *[ab.group("GrDouble", ab.at(f"{h:02}:30:00"), 7, [float(h)]) for h in range(24)],
             name="2000-01-01_a.vlx", day=date(2000, 1, 1))
    end = "2000-01-01 23:59:59"
    got = zentrail.scan(tmp_path, start, end).overview(every=every).to_numpy()
    first, _ = window_of(start, end)
    width = int(np.timedelta64(int(every[:-1]), every[-1]).astype("timedelta64[ns]").astype(np.int64))
    times = np.datetime64("2000-01-01T00:30:00", "ns").astype(np.int64) + np.arange(24) * 3600 * 10**9
    times = times[times >= first]
    starts, counts = np.unique(first + (times - first) // width * width, return_counts=True)
    assert np.array_equal(got["bucket"].astype(np.int64), starts) and np.array_equal(got["count"], counts)


def test_bucket_counts_of_any_integer_type():
    scan = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03")
    want = scan.overview(20).to_numpy()["count"]
    for buckets in (np.int64(20), np.uint16(20), np.int32(20)):
        assert np.array_equal(scan.overview(buckets).to_numpy()["count"], want)
    with pytest.raises(TypeError):
        scan.overview(np.True_)
    with pytest.raises(TypeError):
        scan.overview(20.0)
