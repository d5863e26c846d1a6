"""Scan.align and the time-weighted overview against the NumPy reference,
built from the rows of a scan over the widened window."""

from __future__ import annotations

import pickle
import shutil
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import series_reference as ref
import zentrail
from conftest import NO_ROW
from test_property import written_tree

IDS = (3, 7)
CODES = [i * 1024 + n for i in IDS for n in (0, 1)]
MINUTE = 60 * 10**9
DAY_NS = 86_400 * 10**9
# Days around the window: 2024-02-29, 2024-03-01, 2024-03-02.
DAYS = (8825, 8826, 8827)


@st.composite
def records(draw, day):
    """A day file's records: values on a 15-minute lattice (so that grids hit
    rows) or off it, a date mark that moves later rows to another day, rows
    out of time order, several at one instant, NaN values and text rows."""
    out = [ab.date_mark(day)]
    t = draw(st.integers(0, 8)) * 15 * MINUTE
    for _ in range(draw(st.integers(0, 14))):
        step = draw(st.sampled_from([0, 15 * MINUTE, 45 * MINUTE, 7 * MINUTE + 3, -30 * MINUTE, 3 * 3600 * 10**9]))
        t = max(0, min(t + step, DAY_NS - 1))
        kind = draw(st.integers(0, 9))
        signal = draw(st.sampled_from(IDS))
        if kind == 0:
            out.append(ab.date_mark(draw(st.sampled_from(DAYS))))
        elif kind == 1:
            out.append(ab.string_alarm(t, signal, "text"))
        elif kind == 2:
            out.append(ab.alarm("AlShort", t, signal, draw(st.integers(-5, 5))))
        elif kind == 3:  # two rows of one code at one instant: read order decides
            out.extend(ab.group("GrDouble", t, signal, [float(v), -float(v)]) for v in (1, 2))
        else:
            values = [draw(st.sampled_from([0.0, 1.5, -2.0, 4.0, float("nan")])) for _ in range(2)]
            out.append(ab.group("GrDouble", t, signal, values))
    return out


@st.composite
def trees(draw):
    files = {}
    for day in draw(st.lists(st.sampled_from(DAYS), min_size=1, max_size=3, unique=True)):
        name = f"{np.datetime64('2000-01-01') + np.timedelta64(day, 'D')}_a.vlx"
        files[name] = ab.archive(*draw(records(day)))
    return files


def ns(text):
    return int(np.datetime64(text, "ns").astype(np.int64))


def considered(root, first, last, codes, narrowed=None):
    """The rows of scan over the widened window, as the reference takes them."""
    first_text = "2000-01-01" if first is None else str(np.datetime64(first, "ns")).replace("T", " ")
    scan = zentrail.scan(root, first_text, str(np.datetime64(last, "ns")).replace("T", " "), codes)
    if narrowed:
        scan = scan.where(**narrowed)
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", NO_ROW, UserWarning)  # a window of no row is a case like any other here
        return scan.to_numpy()


def same_table(got, expected):
    assert list(got) == list(expected)
    for name in expected:
        np.testing.assert_array_equal(got[name], expected[name], err_msg=name)


WINDOWS = [("2024-03-01 00:00:00", "2024-03-01 23:59:59"), ("2024-03-01 06:00:00", "2024-03-01 06:59:59"),
           ("2024-03-01 12:07:00.000000003", "2024-03-02 02:00:00")]
EVERY = ["15min", "7min", "1h", "2d", "1ns"]


@pytest.mark.slow
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from(WINDOWS), st.sampled_from(EVERY[:4]), st.sampled_from(["step", "linear"]),
       st.sampled_from([None, "20min", "1ns"]), st.sampled_from(["7d", None, "1h"]),
       st.sampled_from([CODES, [7 * 1024 + 1, 5 * 1024], None]), st.booleans())
def test_align_matches_the_reference(files, window, every, how, max_gap, lookback, codes, narrowed):
    root = written_tree(files)
    try:
        scan = zentrail.scan(root, *window, codes)
        start, end = ns(window[0].replace(" ", "T")), ns(window[1].replace(" ", "T")) + (
            0 if "." in window[1] else 10**9 - 1)
        where = {}
        if narrowed:  # where() narrows the window and the rows
            where = {"start": "2024-03-01 03:00:00", "item_classes": [21, 23]}
            scan = scan.where(**where)
            start = max(start, ns("2024-03-01T03:00:00"))
            if start > end:
                return
        step = zentrail._base.time.duration_ns(every, "every")
        back = None if lookback is None else zentrail._base.time.duration_ns(lookback, "lookback")
        gap = None if max_gap is None else zentrail._base.time.duration_ns(max_gap, "max_gap")
        last = end if how == "step" or back is None and False else end + (back or 0)
        if how == "linear" and back is None:
            last = ns("2179-12-31T23:59:59")
        rows = considered(root, None if back is None else start - back, last, codes,
                          {k: v for k, v in where.items() if k != "start"})
        expected = ref.aligned(rows, codes, start, end, step, how, gap)
        aligned = scan.align(every, how=how, max_gap=max_gap, lookback=lookback)
        same_table(aligned.to_numpy(), expected)
    finally:
        shutil.rmtree(root)


@pytest.mark.slow
@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from(WINDOWS), st.sampled_from(["15min", "1h", "2d"]),
       st.sampled_from([None, "20min", "1ns"]), st.sampled_from(["7d", None]), st.sampled_from([CODES, None]))
def test_time_weighted_overview_matches_the_reference(files, window, every, max_gap, lookback, codes):
    root = written_tree(files)
    try:
        scan = zentrail.scan(root, *window, codes)
        start = ns(window[0].replace(" ", "T"))
        end = ns(window[1].replace(" ", "T")) + (0 if "." in window[1] else 10**9 - 1)
        width = zentrail._base.time.duration_ns(every, "every")
        count = (end - start) // width + 1
        back = None if lookback is None else zentrail._base.time.duration_ns(lookback, "lookback")
        gap = None if max_gap is None else zentrail._base.time.duration_ns(max_gap, "max_gap")
        rows = considered(root, None if back is None else start - back, end, codes)
        weighted = ref.time_weighted(rows, start, end, start, width, count, gap)
        plain = scan.overview(every=every).to_numpy()
        got = scan.overview(every=every, time_weighted=True, lookback=lookback, max_gap=max_gap).to_numpy()
        keys = list(zip(got["signal_id"].tolist(), got["element"].tolist(), got["bucket"].astype(np.int64).tolist()))
        plain_keys = list(zip(plain["signal_id"].tolist(), plain["element"].tolist(),
                              plain["bucket"].astype(np.int64).tolist()))
        assert keys == sorted(set(plain_keys) | set(weighted))
        for i, key in enumerate(keys):
            in_force, integral = weighted.get(key, (0.0, 0.0))
            assert got["in_force"][i] == in_force, key
            assert got["integral"][i] == pytest.approx(integral, rel=1e-12, abs=1e-300), key
            twa = integral / in_force if in_force else np.nan
            np.testing.assert_allclose(got["twa"][i], twa, rtol=1e-12)
            if key in plain_keys:
                j = plain_keys.index(key)
                for name in plain:
                    np.testing.assert_array_equal(got[name][i], plain[name][j], err_msg=name)
            else:
                assert got["count"][i] == 0 and np.isnan(got["mean"][i]) and np.isnat(got["first_time"][i])
    finally:
        shutil.rmtree(root)


def day_before_tree(tmp_path):
    ab_files = {
        "2024-02-29_a.vlx": ab.archive(ab.date_mark(8825), ab.group("GrDouble", ab.at("22:00:00"), 7, [1.0, 5.0])),
        "2024-03-01_a.vlx": ab.archive(ab.date_mark(8826), ab.group("GrDouble", ab.at("06:00:00"), 7, [3.0, 7.0]),
                                       ab.group("GrDouble", ab.at("12:00:00"), 7, [9.0, float("nan")])),
    }
    for name, data in ab_files.items():
        (tmp_path / name).write_bytes(data)
    return zentrail.scan(tmp_path, "2024-03-01", "2024-03-01", [7 * 1024, 7 * 1024 + 1])


def test_value_in_force_from_the_day_before_steps_and_interpolates(tmp_path):
    scan = day_before_tree(tmp_path)
    step = scan.align("6h").to_numpy()
    assert list(step) == ["time", "7:0", "7:1"]
    assert step["time"][0] == np.datetime64("2024-03-01T00:00")
    np.testing.assert_array_equal(step["7:0"], [1.0, 3.0, 9.0, 9.0])
    np.testing.assert_array_equal(step["7:1"], [5.0, 7.0, 7.0, 7.0])
    linear = scan.align("3h", how="linear").to_numpy()
    np.testing.assert_array_equal(linear["7:0"][:4], [1.0 + 2.0 * 2 / 8, 1.0 + 2.0 * 5 / 8, 3.0, 6.0])
    assert np.isnan(scan.align("6h", lookback="1h").to_numpy()["7:0"][0])
    assert np.isnan(scan.align("6h", max_gap="1h").to_numpy()["7:0"][0])


def test_aligned_consumers_agree_and_pickle(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    aligned = day_before_tree(tmp_path).align("1h")
    columns = aligned.to_numpy()
    table = pyarrow.table(aligned)
    assert table.column_names == list(columns)
    for name in columns:
        np.testing.assert_array_equal(table[name].to_numpy(), columns[name])
    frame = aligned.to_pandas()
    assert list(frame.columns) == list(columns) and len(frame) == 24
    same_table(pickle.loads(pickle.dumps(aligned)).to_numpy(), columns)
    assert len(list(pyarrow.RecordBatchReader.from_stream(zentrail.Scan(day_before_tree(tmp_path).plan.resized(5)).align("1h")))) == 5


@pytest.mark.parametrize("argument, value, message", [
    ("every", "0s", "every must be longer than zero, not '0s'"),
    ("every", "-1min", "every must be longer than zero, not '-1min'"),
    ("every", "1.5x", "every: '1.5x' is not a duration"),
    ("every", "100000000d", "every must be at most 100000d"),
    ("max_gap", "1w", "max_gap: '1w' is not a duration"),
    ("lookback", "0d", "lookback must be longer than zero"),
    ("how", "cubic", "how must be 'step' or 'linear', not 'cubic'"),
])
def test_align_arguments_are_checked(tmp_path, argument, value, message):
    arguments = {"every": "1h", argument: value}
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(".", r"\.")):
        day_before_tree(tmp_path).align(**arguments)


def test_a_row_limit_has_no_meaning_on_a_grid(tmp_path):
    scan = day_before_tree(tmp_path).limit(3)
    with pytest.raises(ValueError, match="limit"):
        scan.align("1h")
    with pytest.raises(ValueError, match="limit"):
        scan.overview(every="1h", time_weighted=True)


def test_durations_of_every_kind():
    import datetime

    pandas = pytest.importorskip("pandas")
    duration = zentrail._base.time.duration_ns
    assert duration("1min", "x") == duration("1m", "x") == duration(datetime.timedelta(minutes=1), "x") == \
        duration(np.timedelta64(60, "s"), "x") == duration(pandas.Timedelta("60s"), "x") == 60 * 10**9
    assert duration("3ns", "x") == 3 and duration("2us", "x") == 2000 and duration("7d", "x") == 7 * DAY_NS


# NumPy 2 deprecates a NaT without a unit, which an empty bucket's times had.
@pytest.mark.filterwarnings("error::DeprecationWarning")
def test_time_weighted_counts_a_value_in_force_across_empty_buckets(tmp_path):
    scan = day_before_tree(tmp_path)
    got = scan.overview(every="6h", time_weighted=True).to_numpy()
    code0 = got["element"] == 0
    np.testing.assert_array_equal(got["count"][code0], [0, 1, 1, 0])
    np.testing.assert_array_equal(got["in_force"][code0], [6 * 3600.0] * 4)
    np.testing.assert_array_equal(got["twa"][code0], [1.0, 3.0, 9.0, 9.0])
    assert np.isnat(got["first_time"][code0][0]) and np.isnan(got["mean"][code0][3])


def test_rows_at_one_instant_count_in_read_order(tmp_path):
    (tmp_path / "2024-03-01_a.vlx").write_bytes(ab.archive(
        ab.date_mark(8826), *(ab.group("GrDouble", ab.at(t), 7, [v]) for t, v in (
            ("03:00:00", 0.0), ("06:00:00", 1.0), ("06:00:00", 2.0), ("09:00:00", 4.0), ("09:00:00", 5.0)))))
    scan = zentrail.scan(tmp_path, "2024-03-01 00:00", "2024-03-01 10:30", [7 * 1024])
    # At an instant of rows the last in read order; between instants, from
    # the last row before to the first row after.
    np.testing.assert_array_equal(scan.align("90min", how="linear").to_numpy()["7:0"],
                                  [np.nan, np.nan, 0.0, 0.5, 2.0, 3.0, 5.0, np.nan])
    np.testing.assert_array_equal(scan.align("90min").to_numpy()["7:0"], [np.nan, np.nan, 0.0, 0.0, 2.0, 2.0, 5.0, 5.0])


SAMPLE = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")


@pytest.mark.parametrize("hold", [lambda a: a.to_numpy(), lambda a: a.to_pandas()])
def test_a_grid_too_large_to_hold_is_refused_before_it_is_read(hold):
    aligned = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", [7 * 1024]).align("1ns")
    assert aligned.rows == 3 * DAY_NS
    with pytest.raises(ValueError, match=r"259,200,000,000,000 rows, at least 259,200,000,000,000 cells: more than "
                                         r"MAX_GRID_CELLS \(268,435,456\).*for_each_batch\(\)"):
        hold(aligned)


@pytest.mark.parametrize("signals", [[7 * 1024, 7 * 1024 + 1], None])  # the columns known, or found by the read
def test_past_the_cell_limit_a_grid_streams_but_is_not_held(tmp_path, monkeypatch, signals):
    from zentrail._series import aligned as aligned_module

    pyarrow = pytest.importorskip("pyarrow")
    day_before_tree(tmp_path)
    aligned = zentrail.scan(tmp_path, "2024-03-01", "2024-03-01", signals).align("1h")
    whole = aligned.to_numpy()
    assert len(whole) == 3 and len(whole["time"]) == 24  # 72 cells
    monkeypatch.setattr(aligned_module, "MAX_GRID_CELLS", 71)
    with pytest.raises(ValueError, match=r"24 rows of 3 columns \(time among them\), 72 cells"):
        aligned.to_numpy()
    batches = []
    aligned.for_each_batch(batches.append)
    same_table({name: np.concatenate([b[name] for b in batches]) for name in whole}, whole)
    table = pyarrow.table(aligned)
    same_table({name: table[name].to_numpy() for name in table.column_names}, whole)
