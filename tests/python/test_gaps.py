"""zentrail.gaps and zentrail.availability against a small reference built
from the rows of a scan of the whole archive."""

from __future__ import annotations

import datetime as dt
import pickle
import shutil
import warnings
import zoneinfo

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import zentrail
from conftest import NO_ROW
from test_property import written_tree
from zoned_archive import write_local_archive

MIN = 60 * 10**9
DAY = 86_400 * 10**9
DAYS = (8826, 8827, 8828)  # 2024-03-01 to 2024-03-03
EVERYTHING = ("2000-01-01", "2179-12-31")
NAT = np.iinfo(np.int64).min


def ns(text):
    return int(np.datetime64(text, "ns").astype(np.int64))


@st.composite
def trees(draw):
    """Day files of rows of codes 3:0-1, 7:0-1 and 9:0 (text rows of 3, 7 and 9), within their day:
    steps from 30s to 3h, and runs of 300 rows of one element or two, half
    a minute to five minutes apart (a file's summary then keeps a code's
    spells above a coarser floor, and another's of the same signal not)."""
    files = {}
    for day in draw(st.lists(st.sampled_from(DAYS), min_size=1, max_size=3, unique=True)):
        for name in draw(st.sampled_from([("a",), ("a", "b")])):
            out = [ab.date_mark(day)]
            t = draw(st.integers(0, 96)) * 15 * MIN
            for _ in range(draw(st.integers(0, 12))):
                t = min(t + draw(st.sampled_from([0, MIN // 2, 2 * MIN, 7 * MIN, 15 * MIN, 45 * MIN, 3 * 60 * MIN])),
                        DAY - 1)
                kind = draw(st.integers(0, 5))
                signal = draw(st.sampled_from([3, 7]))
                if kind == 0:
                    out.append(ab.string_alarm(t, draw(st.sampled_from([9, signal])), "text"))
                elif kind == 1:
                    step = draw(st.sampled_from([MIN // 2, 2 * MIN, 5 * MIN]))
                    values = draw(st.sampled_from([[1.0, float("nan")], [1.0]]))
                    out.extend(ab.group("GrDouble", min(t + k * step, DAY - 1), signal, values) for k in range(300))
                else:
                    out.append(ab.group("GrDouble", t, signal, [float(kind), 2.0]))
            when = np.datetime64("2000-01-01") + np.timedelta64(day, "D")
            files[f"{when}_{name}.vlx"] = ab.archive(*out)
    return files


def rows_of(root, start=EVERYTHING[0], end=EVERYTHING[1], files=None, tz=None):
    """Per code, the instants of its rows (int64, ascending)."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", NO_ROW, UserWarning)
        scan = zentrail.scan(root, start, end, tz=tz) if files is None else \
            zentrail.scan_files(files, start, end, tz=tz)
        columns = scan.to_numpy()
    code = columns["signal_id"].astype(np.int64) * 1024 + columns["element"]
    t = columns["time"].view(np.int64)
    return {int(c): np.sort(t[code == c]) for c in np.unique(code)}


def window_codes(root, start, end, named=(), tz=None):
    found = rows_of(root, files=zentrail.find_files(root, start, end, tz=tz), tz=tz) if \
        zentrail.find_files(root, start, end, tz=tz) else {}
    return sorted(set(found) | set(named))


def reference_gaps(every_row, codes, first, after, min_gap):
    out = []
    for code in codes:
        t = every_row.get(code, np.zeros(0, np.int64))
        before = np.concatenate([[NAT], t])
        later = np.concatenate([t, [NAT]])
        for b, a in zip(before.tolist(), later.tolist()):
            begins = first if b == NAT else max(b, first)
            ends = after if a == NAT else min(a, after)
            if ends - begins > min_gap:
                out.append((code >> 10, code & 1023, begins, ends, ends - begins, b, a))
    return out


def as_rows(result):
    c = result.to_numpy()
    return list(zip(c["signal_id"].tolist(), c["element"].tolist(), c["start"].view(np.int64).tolist(),
                    c["end"].view(np.int64).tolist(), c["duration"].view(np.int64).tolist(),
                    c["row_before"].view(np.int64).tolist(), c["row_after"].view(np.int64).tolist()))


def reference_availability(every_row, codes, edges, period):
    out = []
    for k in range(len(edges) - 1):
        u, v = edges[k], edges[k + 1]
        for code in codes:
            t = every_row.get(code, np.zeros(0, np.int64))
            ends = np.minimum(np.append(t[1:], t[-1] + period if len(t) else 0), t + period)
            held = np.clip(np.minimum(ends, v) - np.maximum(t, u), 0, None).sum()
            out.append((u, code >> 10, code & 1023, held / (v - u), int(((t >= u) & (t < v)).sum())))
    return out


WINDOWS = [("2024-03-01", "2024-03-01"), ("2024-03-01 06:00", "2024-03-02 12:07:30"),
           ("2024-03-02 10:00", "2024-03-02 10:00"), (None, None), ("2024-03-02 00:00:00.5", None)]


@pytest.mark.slow
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from(WINDOWS), st.sampled_from(["10min", "1min", "30s", "2h", "1ns"]),
       st.sampled_from([None, [3 * 1024, 7 * 1024 + 1, 11 * 1024 + 2], range(7 * 1024, 8 * 1024)]),
       st.sampled_from([None, False]))
def test_gaps_match_the_reference(files, window, min_gap, signals, index):
    root = written_tree(files)
    try:
        every_row = rows_of(root)
        start, end = window[0] or EVERYTHING[0], window[1] or EVERYTHING[1]
        named = signals if isinstance(signals, list) else []
        codes = [c for c in window_codes(root, start, end, named) if signals is None or c in signals]
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "zentrail.gaps: no row", UserWarning)
            got = zentrail.gaps(root, *window, signals, min_gap=min_gap, index=index)
        files = zentrail.find_files(root, start, end)
        in_files = rows_of(root, files=files) if files else {}
        times = [t for c in codes for t in in_files.get(c, [])]
        first = ns(start) if window[0] else min(times, default=ns(start))
        after = (ns(end) + (DAY if len(end) == 10 else MIN if len(end) == 16 else 10**9 if len(end) == 19 else 1)
                 if window[1] else max(times, default=ns("2180-01-01") - 1) + 1)
        gap = zentrail._base.time.duration_ns(min_gap, "min_gap")
        assert as_rows(got) == reference_gaps(every_row, codes, first, after, gap)
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "zentrail.gaps: no row", UserWarning)
            # From the index's summaries, made by the read before (or by this one).
            assert as_rows(zentrail.gaps(root, *window, signals, min_gap=min_gap)) == as_rows(got)
    finally:
        shutil.rmtree(root)


@pytest.mark.slow
@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), st.sampled_from(WINDOWS[:3]), st.sampled_from(["1d", "1h", "25min"]),
       st.sampled_from(["10min", "3h", "20s", "5min"]), st.sampled_from([None, [3 * 1024 + 1, 9 * 1024]]))
def test_availability_matches_the_reference(files, window, every, period, signals):
    root = written_tree(files)
    try:
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", "zentrail.availability: no row", UserWarning)
            got = zentrail.availability(root, *window, every, signals, period=period,
                                        index=None if signals is None else False).to_numpy()
        first = ns(window[0])
        after = ns(window[1]) + (DAY if len(window[1]) == 10 else MIN if len(window[1]) == 16 else 10**9)
        step = zentrail._base.time.duration_ns(every, "every")
        edges = np.minimum(np.append(np.arange(first, after, step), first + len(range(first, after, step)) * step),
                           after)
        codes = [c for c in window_codes(root, *window, signals or ()) if signals is None or c in signals]
        expected = reference_availability(rows_of(root), codes, edges,
                                          zentrail._base.time.duration_ns(period, "period"))
        assert list(zip(got["time"].view(np.int64).tolist(), got["signal_id"].tolist(), got["element"].tolist(),
                        got["rows"].tolist())) == [(int(e[0]), e[1], e[2], e[4]) for e in expected]
        assert got["covered"].tolist() == pytest.approx([e[3] for e in expected], abs=1e-12)
    finally:
        shutil.rmtree(root)


@pytest.fixture
def stopped(tmp_path):
    """Code 7:0 every 10 minutes on 2024-03-01 and 03-03, and on 03-02 until
    it stops at 06:00; code 5:0 hourly on 03-02 alone."""
    for day in (8826, 8827, 8828):
        last = 6 * 60 if day == 8827 else 24 * 60
        records = [ab.date_mark(day)] + [ab.group("GrDouble", m * MIN, 7, [1.0]) for m in range(0, last, 10)]
        if day == 8827:
            records += [ab.group("GrDouble", h * 60 * MIN, 5, [2.0]) for h in range(24)]
        when = np.datetime64("2000-01-01") + np.timedelta64(day, "D")
        ab.write_archive(tmp_path / f"{when}_a.vlx", records)
    return tmp_path


def test_a_signal_that_stopped_and_the_window_edges(stopped):
    pytest.importorskip("pandas")
    got = zentrail.gaps(stopped, "2024-03-02 05:00", "2024-03-02 23:59:59.999999999", [7 * 1024, 5 * 1024],
                        min_gap="1h").to_pandas()
    assert got[["signal_id", "start", "end", "row_before", "row_after"]].values.tolist() == [
        [7, pd_time("2024-03-02 05:50"), pd_time("2024-03-03 00:00"), pd_time("2024-03-02 05:50"),
         pd_time("2024-03-03 00:00")]]
    # Cut by the window: the part inside must exceed min_gap, the rows on either side stay the rows.
    late = zentrail.gaps(stopped, "2024-03-02 23:00", "2024-03-02 23:45", [7 * 1024], min_gap="30min").to_numpy()
    assert late["duration"].tolist() == [np.timedelta64(46 * MIN, "ns")]
    assert late["row_before"][0] == np.datetime64("2024-03-02T05:50")
    assert len(zentrail.gaps(stopped, "2024-03-02 23:40", "2024-03-02 23:59", [7 * 1024], min_gap="30min")) == 0
    # Hourly rows are a gap each below an hour, the last one to the window's end; a code named that
    # logged nothing is one gap.
    hourly = zentrail.gaps(stopped, "2024-03-02", "2024-03-02", [5 * 1024, 5 * 1024 + 1], min_gap="59min").to_numpy()
    assert hourly["element"].tolist() == [0] * 24 + [1]
    assert hourly["row_before"][0] == np.datetime64("2024-03-02T00:00")
    assert np.isnat(hourly["row_after"][23:]).all() and np.isnat(hourly["row_before"][24])
    assert hourly["duration"][24] == np.timedelta64(DAY, "ns")


def pd_time(text):
    import pandas

    return pandas.Timestamp(text)


def test_availability_of_a_signal_that_stopped(stopped):
    got = zentrail.availability(stopped, "2024-03-01", "2024-03-03", "1d", [7 * 1024, 5 * 1024]).to_numpy()
    assert got["covered"].tolist() == pytest.approx([0, 1, 1 / 6, 1 / 4, 0, 1])
    assert got["rows"].tolist() == [0, 144, 24, 36, 0, 144]
    assert list(got["time"][::2]) == [np.datetime64(f"2024-03-0{d}", "ns") for d in (1, 2, 3)]
    # Buckets that do not begin on whole hours count the rows from the rows.
    odd = zentrail.availability(stopped, "2024-03-02 00:05", "2024-03-02 06:34", "90min", [7 * 1024],
                                period="20min").to_numpy()
    assert odd["rows"].tolist() == [9, 9, 9, 8, 0] and odd["covered"][-1] == pytest.approx(1 / 6)


def test_results_pickle_name_and_stream(stopped):
    pyarrow = pytest.importorskip("pyarrow")
    pytest.importorskip("pandas")

    (stopped / "zentrail-catalog.csv").write_text("signal_id,element,name,unit\n7,0,Tank.Level,m\n")
    got = zentrail.gaps(stopped, "2024-03-02", "2024-03-02", min_gap="1h")
    again = pickle.loads(pickle.dumps(got))
    assert as_rows(again) == as_rows(got)
    frame = got.to_pandas(names=True)
    assert list(frame.columns[:4]) == ["signal_id", "element", "name", "unit"]
    assert frame["name"].tolist() == ["Tank.Level"]
    table = pyarrow.table(got)
    assert str(table.schema.field("duration").type) == "duration[ns]"
    assert table.column("duration").to_pylist() == [dt.timedelta(hours=18, minutes=10)]


def test_min_gap_and_period_are_checked(stopped):
    with pytest.raises(ValueError, match="min_gap"):
        zentrail.gaps(stopped, min_gap="0s")
    with pytest.raises(ValueError, match="period"):
        zentrail.availability(stopped, "2024-03-01", "2024-03-01", period="-1min")
    with pytest.warns(UserWarning, match="no row of any signal"):
        assert len(zentrail.gaps(stopped, "2024-05-01", "2024-05-01")) == 0


def test_in_a_zone_days_are_local_and_instants_leave_as_such(tmp_path):
    pytest.importorskip("pandas")
    zone = zoneinfo.ZoneInfo("Europe/Berlin")
    first = int(dt.datetime(2024, 3, 30, tzinfo=zone).timestamp()) * 10**9
    instants = [first + k * 10 * MIN for k in range(144 + 138)]  # 30 and 31 March, the day of 23 hours
    hole = instants[:150] + instants[170:]
    write_local_archive(tmp_path, "Europe/Berlin", hole)
    got = zentrail.gaps(tmp_path, "2024-03-30", "2024-03-31", tz="Europe/Berlin").to_pandas()
    assert got["start"].tolist() == [pd_time(dt.datetime.fromtimestamp(hole[149] / 1e9, zone))]
    assert got["duration"].tolist() == [pd_time("2024-01-01 03:30") - pd_time("2024-01-01")]
    days = zentrail.availability(tmp_path, "2024-03-30", "2024-03-31", tz="Europe/Berlin")
    frame = days.to_pandas()
    assert [str(t) for t in frame["time"]] == ["2024-03-30 00:00:00+01:00", "2024-03-31 00:00:00+01:00"]
    assert frame["covered"].tolist() == pytest.approx([1, 1 - 200 / (23 * 60)])
    assert frame["rows"].tolist() == [144, 138 - 20]


def test_the_command(stopped, capsys):
    from zentrail.cli import main

    assert main(["gaps", str(stopped), "--from", "2024-03-02", "--to", "2024-03-02", "--signals", "7:0",
                 "--min-gap", "1h", "--csv", "--tz", "none"]) == 0
    assert capsys.readouterr().out.splitlines() == [
        "signal_id,element,start,end,duration,row_before,row_after",
        "7,0,2024-03-02 05:50:00,2024-03-03 00:00:00,18:10:00,2024-03-02 05:50:00,2024-03-03 00:00:00"]
    assert main(["ls", str(stopped), "--by-day", "--csv", "--no-index"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].endswith(",covered") and [line.rsplit(",", 1)[1] for line in lines[1:]] == ["1", "0.1667", "0.25", "1"]


def test_a_damaged_file_is_read_up_to_its_damage(tmp_path):
    from test_damaged_files import cut, tree

    damaged, offset = tree(tmp_path, 5)
    with pytest.raises(ValueError, match="malformed record"):
        zentrail.gaps(tmp_path, "2024-03-02", "2024-03-02")
    got = zentrail.gaps(tmp_path, "2024-03-02", "2024-03-02", min_gap="20min", errors="skip")
    assert got.skipped == [zentrail.Skipped(damaged, offset, "malformed record")]
    cut(damaged, offset)
    assert as_rows(got) == as_rows(zentrail.gaps(tmp_path, "2024-03-02", "2024-03-02", min_gap="20min"))


def test_a_code_read_again_below_its_floor_leaves_its_signals_other_codes_be(tmp_path):
    # 3:1 logs every two minutes for ten hours (its file's summary keeps its spells above ten minutes alone),
    # 3:0 every half minute too; a text row of signal 3 comes as 3:0 whichever code of 3 reads it.
    ab.write_archive(tmp_path / "2024-03-01_a.vlx", [ab.date_mark(8826), ab.string_alarm(12 * 60 * MIN, 3, "x")] +
                     [ab.group("GrDouble", k * MIN // 2, 3, [1.0]) for k in range(2880)] +
                     [ab.group("GrDouble", k * 2 * MIN, 3, [1.0, 2.0]) for k in range(300)])
    got = zentrail.availability(tmp_path, "2024-03-01", "2024-03-01", period="5min").to_numpy()
    assert got["rows"].tolist() == [2880 + 300 + 1, 300]
    assert got["covered"].tolist() == pytest.approx([1, (598 + 5) * MIN / DAY])


def test_an_availability_table_too_large_to_hold_is_refused(stopped, monkeypatch):
    monkeypatch.setattr(zentrail._series.gaps, "MAX_CELLS", 100)
    with pytest.raises(ValueError, match="1,440 buckets of each of 1 codes"):
        zentrail.availability(stopped, "2024-03-01", "2024-03-01", "1min", [7 * 1024])
