"""Every consumer of a scan honours every narrowing of it: where() and
limit() chains give the rows of the whole scan reduced in NumPy, and the
overview of a narrowed scan is the reduction of that scan's own rows."""

from __future__ import annotations

import shutil

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zentrail
from conftest import may_find_no_row
from test_overview import FIELDS, SAMPLE, reference, same
from test_property import IDS, trees, written_tree

INSTANTS = ["2024-03-01 00:00:00", "2024-03-01 18:00:00", "2024-03-02 12:00:00", "2024-03-03 06:30:00"]
small = st.lists(st.integers(0, 40), max_size=4)
narrowings = st.lists(st.one_of(
    st.tuples(st.just("start"), st.sampled_from(INSTANTS)),
    st.tuples(st.just("end"), st.sampled_from(INSTANTS)),
    st.tuples(st.just("signal_ids"), st.lists(st.sampled_from(IDS), max_size=3)),
    # Every id but a few: a negative set, as "signal_id != 5" pushes it.
    st.tuples(st.just("signal_ids"), st.lists(st.sampled_from(IDS), max_size=2).map(
        lambda dropped: [i for i in range(1 << 16) if i not in dropped])),
    st.tuples(st.just("elements"), st.lists(st.integers(0, 4), max_size=3)),
    st.tuples(st.just("item_classes"), small),
    st.tuples(st.just("subtypes"), st.lists(st.integers(0, 7), max_size=3)),
    st.tuples(st.just("limit"), st.integers(0, 30)),
), max_size=4)


def ns_of(text, end=False):
    return int(np.datetime64(text.replace(" ", "T"), "ns").astype(np.int64)) + (10**9 - 1 if end else 0)


def narrowed(scan, steps):
    for name, value in steps:
        scan = scan.limit(value) if name == "limit" else scan.where(**{name: value})
    return scan


def reduced(rows, steps):
    """`rows` (the whole scan's) with the narrowings applied in NumPy in
    their order: a condition keeps its rows of those left, a limit the first
    of those left."""
    left = np.arange(len(rows["time"]))
    times = rows["time"].astype(np.int64)
    columns = {"signal_ids": "signal_id", "elements": "element", "item_classes": "item_class", "subtypes": "subtype"}
    for name, value in steps:
        if name == "start":
            left = left[times[left] >= ns_of(value)]
        elif name == "end":
            left = left[times[left] <= ns_of(value, end=True)]
        elif name == "limit":
            left = left[:value]
        else:
            left = left[np.isin(rows[columns[name]][left], value)]
    return {k: v[left] for k, v in rows.items()}


def assert_overview(overview, rows, start, end):
    expected = reference(rows, start, end, overview.buckets)
    got = overview.to_numpy()
    keys = list(zip(got["signal_id"].tolist(), got["element"].tolist(), got["bucket"].astype(np.int64).tolist()))
    assert keys == list(expected)
    for i, key in enumerate(keys):
        want = dict(expected[key], mean=expected[key]["sum"] / expected[key]["count"])
        for field in FIELDS:
            value = got[field][i]
            value = int(value.astype(np.int64)) if field.endswith("_time") else value.item()
            assert same(value, want[field]), (key, field, value, want[field])


@may_find_no_row
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), narrowings, st.sampled_from([1, 7, 1000]), st.sampled_from([1, 3]))
def test_narrowed_rows_and_overview_equal_the_rows_reduced(tree, steps, buckets, threads):
    files, start, end, codes = tree
    codes = [c for c in codes if 0 <= c < 65536 * 1024] or None
    root = written_tree(files)
    try:
        whole = zentrail.scan(root, start, end, codes, threads=threads)
        scan = narrowed(whole, steps)
        try:
            everything = whole.to_numpy()
        except ValueError:
            return  # a malformed file: the read's failure is tested elsewhere
        rows = scan.to_numpy()
        want = reduced(everything, steps)
        for name in rows:
            np.testing.assert_array_equal(rows[name], want[name], err_msg=name)
        assert_overview(scan.overview(buckets), rows, start, end)
        # The inventory of the same files holds every (id, class) of the
        # rows, its first and last instants around theirs.
        inventory = zentrail.inventory(root, start, end).to_numpy()
        spans = {(i, c): (f, la) for i, c, f, la in zip(inventory["signal_id"].tolist(),
                 inventory["item_class"].tolist(), inventory["first"].astype(np.int64).tolist(),
                 inventory["last"].astype(np.int64).tolist())}
        for i, c, t in zip(rows["signal_id"].tolist(), rows["item_class"].tolist(),
                           rows["time"].astype(np.int64).tolist()):
            assert spans[(i, c)][0] <= t <= spans[(i, c)][1]
    finally:
        shutil.rmtree(root)


@pytest.mark.parametrize("narrow, rows", [
    (lambda s: s, 3067),
    (lambda s: s.where(start="2024-03-02"), 2043),
    (lambda s: s.where(item_classes=[23]), 1728),
    (lambda s: s.limit(10), 10),
    (lambda s: s.where(start="2024-03-02").limit(100), 100),
])
def test_the_sample_archive_overview_counts_the_narrowed_rows(narrow, rows):
    scan = narrow(zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03"))
    got = scan.to_numpy()
    assert len(got["time"]) == rows
    numeric = int(np.count_nonzero(~np.isnan(got["value"])))
    assert int(scan.overview().to_numpy()["count"].sum()) == numeric
    assert_overview(scan.overview(50), got, "2024-03-01 00:00:00", "2024-03-03 23:59:59")


@pytest.mark.parametrize("narrow, query", [
    (lambda s: s.limit(50), lambda pl, lf: lf.filter(pl.col("signal_id") == 5)),
    (lambda s: s.limit(300), lambda pl, lf: lf.filter((pl.col("subtype") == 3) & (pl.col("signal_id") != 5))),
    (lambda s: s.where(item_classes=[23]).limit(500), lambda pl, lf: lf.filter(pl.col("element") < 2).head(40)),
    (lambda s: s.limit(300).where(subtypes=[0, 3]).limit(200), lambda pl, lf: lf.filter(pl.col("signal_id") > 5)),
    (lambda s: s, lambda pl, lf: lf.filter(pl.col("signal_id") != 5).head(1000)),
    (lambda s: s, lambda pl, lf: lf.filter(~pl.col("signal_id").is_in([5, 7]))),
    (lambda s: s.where(signal_ids=range(65536)), lambda pl, lf: lf),
])
def test_lazy_queries_after_a_limit_equal_the_eager_frame(narrow, query):
    pl = pytest.importorskip("polars")
    scan = narrow(zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03"))
    got = query(pl, scan.lazy()).collect()
    expected = query(pl, pl.DataFrame(scan).lazy()).collect()
    assert got.height > 0 and got.equals(expected)


@pytest.mark.parametrize("chain, rows", [
    (lambda s: s.limit(50).where(signal_ids=[5]), 21),  # those of the first 50 rows
    (lambda s: s.where(signal_ids=[5]).limit(50), 50),
])
def test_a_condition_after_a_limit_keeps_the_limited_rows_only(chain, rows):
    got = chain(zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03")).to_numpy()
    assert len(got["time"]) == rows and set(got["signal_id"].tolist()) == {5}
