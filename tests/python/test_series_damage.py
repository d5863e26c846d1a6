"""A time series with errors="warn" or "skip" passes a damaged file over and
carries no value across the time its rows may have held: grids and
time-weighted sums against a reference that applies that rule to the rows of
the undamaged files."""

from __future__ import annotations

import shutil
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import archive_builder as ab
import series_reference as ref
import zentrail
from conftest import may_find_no_row
from test_property import written_tree
from test_time_series import CODES, DAYS, WINDOWS, ns, records, same_table

BAD = bytes.fromhex("0000 00000000 0D 00")  # a record of the reserved class 13
FAR = ("2000-01-01", "2100-12-31")


@st.composite
def damaged_trees(draw):
    """Day files, one or two of them damaged at a record of their own."""
    days = draw(st.lists(st.sampled_from(DAYS), min_size=1, max_size=3, unique=True))
    damaged = set(draw(st.lists(st.sampled_from(days), min_size=1, max_size=2, unique=True)))
    files = {}
    for day in days:
        body = draw(records(day))
        if day in damaged:
            at = draw(st.integers(0, len(body)))
            body = body[:at] + [BAD] + body[at:]
        files[f"{np.datetime64('2000-01-01') + np.timedelta64(day, 'D')}_a.vlx"] = ab.archive(*body)
    return files, sorted(f"{np.datetime64('2000-01-01') + np.timedelta64(d, 'D')}_a.vlx" for d in damaged)


def rows_and_spans(root, files, damaged, codes, first, last):
    """The rows of the instants [first, last] (None: unbounded) in the
    undamaged files a grid of that look reads (those of its days), and the
    spans its damaged files cost."""
    day = 86_400 * 10**9
    read = [name for name in sorted(files) if (first is None or ns(name[:10]) + day > first)
            and (last is None or ns(name[:10]) <= last)]
    clean = [f"{root}/{name}" for name in read if name not in damaged]
    rows = zentrail.scan_files(clean, *FAR, codes).to_numpy() if clean else None
    given = {}
    for name in damaged:
        if name in read:
            held = zentrail.scan_files([f"{root}/{name}"], *FAR, errors="skip").to_numpy()
            given[ns(name[:10])] = held["time"].astype(np.int64)
    return within(rows, first, last), ref.lost_spans(given)


def within(rows, first, last):
    """The rows of the instants [first, last] (None: unbounded)."""
    empty = {"time": np.zeros(0, "datetime64[ns]"), "signal_id": np.zeros(0, np.uint16),
             "element": np.zeros(0, np.uint16), "value": np.zeros(0)}
    if rows is None:
        return empty
    t = rows["time"].astype(np.int64)
    keep = (t >= (first if first is not None else -(1 << 63))) & (t <= (last if last is not None else (1 << 63) - 1))
    return {name: column[keep] for name, column in rows.items()}


def grid_numbers(window, every, lookback, max_gap):
    """The window's first and last instants, the step, the look back and the gap in ns."""
    duration = zentrail._base.time.duration_ns
    end = ns(window[1].replace(" ", "T")) + (0 if "." in window[1] else 10**9 - 1)
    return (ns(window[0].replace(" ", "T")), end, duration(every, "every"),
            None if lookback is None else duration(lookback, "lookback"),
            None if max_gap is None else duration(max_gap, "max_gap"))


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(damaged_trees(), st.sampled_from(WINDOWS), st.sampled_from(["15min", "1h", "7min"]),
       st.sampled_from(["step", "linear"]), st.sampled_from([None, "20min"]), st.sampled_from(["7d", None]),
       st.sampled_from([CODES, None]))
def test_align_around_a_damaged_file_matches_the_reference(tree, window, every, how, max_gap, lookback, codes):
    files, damaged = tree
    root = written_tree(files)
    try:
        start, end, step, back, gap = grid_numbers(window, every, lookback, max_gap)
        last = end if how == "step" else (None if back is None else end + back)
        considered, spans = rows_and_spans(root, files, damaged, codes, None if back is None else start - back, last)
        expected = ref.aligned_around_damage(considered, codes, start, end, step, how, gap, spans)
        aligned = zentrail.scan(root, *window, codes, errors="skip").align(every, how=how, max_gap=max_gap,
                                                                           lookback=lookback)
        got = aligned.to_numpy()
        if codes is None:  # a code whose rows all lie where the grid cannot use them has no column
            expected = {name: column for name, column in expected.items() if name in got}
        same_table(got, expected)
        assert {skipped.path.rsplit("/", 1)[1] for skipped in aligned.skipped} <= set(damaged)
    finally:
        shutil.rmtree(root)


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(damaged_trees(), st.sampled_from(WINDOWS), st.sampled_from(["15min", "1h", "2d"]),
       st.sampled_from([None, "20min"]), st.sampled_from(["7d", None]))
def test_time_weighted_around_a_damaged_file_matches_the_reference(tree, window, every, max_gap, lookback):
    files, damaged = tree
    root = written_tree(files)
    try:
        start, end, width, back, gap = grid_numbers(window, every, lookback, max_gap)
        considered, spans = rows_and_spans(root, files, damaged, CODES, None if back is None else start - back, end)
        expected = ref.time_weighted(considered, start, end, start, width, (end - start) // width + 1,
                                                   gap, spans)
        got = zentrail.scan(root, *window, CODES, errors="skip").overview(
            every=every, time_weighted=True, lookback=lookback, max_gap=max_gap).to_numpy()
        found = {(int(i), int(e), int(b)): (f, w) for i, e, b, f, w in
                 zip(got["signal_id"], got["element"], got["bucket"].astype(np.int64), got["in_force"],
                     got["integral"]) if f}
        assert found.keys() == expected.keys()
        for key, (in_force, integral) in expected.items():
            assert found[key][0] == pytest.approx(in_force, rel=1e-12)
            assert found[key][1] == pytest.approx(integral, rel=1e-9, abs=1e-9)
    finally:
        shutil.rmtree(root)
