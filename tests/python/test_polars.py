"""Scan.lazy(): every query equals the same query on polars.DataFrame(scan),
whatever part of it reaches the read."""

from __future__ import annotations

import datetime
import shutil
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zentrail
from conftest import may_find_no_row
from test_property import IDS, trees, written_tree

pl = pytest.importorskip("polars")
pytest.importorskip("polars.io.plugins")

T0 = datetime.datetime(2024, 3, 1)
instants = st.sampled_from([T0, T0 + datetime.timedelta(hours=12), T0 + datetime.timedelta(days=1, microseconds=3),
                            datetime.datetime(2024, 3, 3)])
small = st.integers(0, 8)

# Conditions the read takes (on the five key columns) and others it leaves to polars.
pushable = st.one_of(
    st.builds(lambda v: pl.col("signal_id") == v, st.sampled_from(IDS + [7])),
    st.builds(lambda v: pl.col("signal_id").is_in(v), st.lists(st.sampled_from(IDS), max_size=3)),
    st.builds(lambda v: pl.col("signal_id") > v, st.sampled_from(IDS)),
    st.builds(lambda v: pl.col("element") <= v, small),
    st.builds(lambda v: pl.col("element").is_in(v), st.lists(small, max_size=3)),
    st.builds(lambda v: pl.col("element") != v, small),
    st.builds(lambda v: pl.col("item_class").is_in(v), st.lists(st.integers(1, 31), max_size=6)),
    st.builds(lambda a, b: pl.col("item_class").is_between(a, b), st.integers(0, 31), st.integers(0, 31)),
    st.builds(lambda v: pl.col("subtype") >= v, small),
    st.builds(lambda v: v < pl.col("subtype"), small),
    st.builds(lambda t: pl.col("time") >= t, instants),
    st.builds(lambda t: pl.col("time") > t, instants),
    st.builds(lambda t: pl.col("time") < t, instants),
    st.builds(lambda t: pl.col("time") <= t, instants),
    st.builds(lambda t: pl.col("time") == t, instants),
    st.builds(lambda t: t > pl.col("time"), instants),
    st.builds(lambda t: pl.col("time").is_in([t, t + datetime.timedelta(hours=1)]), instants),
    st.builds(lambda a, b: pl.col("time").is_between(a, b), instants, instants),
)
others = st.one_of(
    st.just(pl.col("value") > 0),
    st.just(pl.col("value").is_nan()),
    st.builds(lambda v: (pl.col("signal_id") == v) | (pl.col("element") == 1), st.sampled_from(IDS)),
    st.builds(lambda v: pl.col("time").dt.hour() < v, st.integers(0, 24)),
    st.just((pl.col("signal_id") + pl.col("element")) % 2 == 0),
)
predicates = st.lists(pushable | others, min_size=1, max_size=4).map(
    lambda parts: parts[0] if len(parts) == 1 else pl.all_horizontal(parts) if len(parts) == 4 else
    __import__("functools").reduce(lambda a, b: a & b, parts))


@pytest.mark.slow
@may_find_no_row
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees(), predicates, st.sampled_from([None, ["value"], ["time", "signal_id"], ["subtype", "time"]]),
       st.sampled_from([1, 7, 1000]))
def test_lazy_queries_equal_the_eager_frame(tree, predicate, columns, batch_rows):
    files, start, end, codes = tree
    root = written_tree(files)
    try:
        scan = zentrail.scan(root, start, end, [c for c in codes if 0 <= c < 1 << 26], batch_rows=batch_rows)
        try:
            eager = pl.DataFrame(scan)
        except Exception:
            # The lazy query fails too unless its conditions keep the read
            # from the failing file (no code left, or a narrower window).
            return
        query = lambda frame: frame.filter(predicate).select(columns) if columns else frame.filter(predicate)
        assert query(scan.lazy()).collect().equals(query(eager.lazy()).collect())
        n = 3
        assert scan.lazy().head(n).filter(predicate).collect().equals(eager.head(n).filter(predicate))
        assert scan.lazy().filter(predicate).head(n).collect().equals(eager.filter(predicate).head(n))
    finally:
        shutil.rmtree(root)


def test_counts_projections_and_batch_sizes(tmp_path):
    import archive_builder as ab
    from conftest import day_file

    day_file(tmp_path, *[ab.group("GrWord", ab.at("00:00:00") + n, 5, [n % 7, 1, 2, 3]) for n in range(1000)])
    scan = zentrail.scan(tmp_path, "2024-03-01", "2024-03-01", range(5 * 1024, 5 * 1024 + 4))
    eager = pl.DataFrame(scan)
    lazy = scan.lazy()
    assert lazy.select(pl.len()).collect().item() == 4000
    assert lazy.collect_schema() == eager.schema
    assert lazy.select("value", "time").collect().equals(eager.select("value", "time"))
    assert scan.select("value").lazy().collect().equals(eager.select("value"))
    assert lazy.head(10).collect().equals(eager.head(10))
    assert lazy.collect(engine="streaming").equals(eager)


def test_a_polars_without_io_plugins_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "polars.io.plugins", None)
    with pytest.raises(ImportError, match=r"needs polars 1\.12 or newer .*register_io_source.*this is polars"):
        zentrail.scan("/nowhere", "2024-03-01", "2024-03-01", [1]).lazy()


@pytest.mark.parametrize("condition", [
    pl.col("name") == "Tank1.Level",
    pl.col("name").cast(pl.String).str.starts_with("Furnace1"),
    pl.col("unit").is_in(["cm", "%"]),
    pl.col("name").is_null(),  # the codes with no entry: nothing to push
    (pl.col("description").is_null()) & (pl.col("value") > 500),
])
def test_the_catalogs_columns_filter_lazily_as_eagerly(condition):
    from test_catalog import SAMPLE

    scan = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-02").select("time", "signal_id", "element", "name", "unit",
                                                                     "description", "value")
    lazy = scan.lazy().filter(condition).collect()
    assert lazy.equals(pl.DataFrame(scan).filter(condition)) and lazy.schema["name"] == pl.Categorical
    pushed = zentrail._read.polars.push_predicate(pl, scan.plan, condition).pushdown.ids
    assert (pushed is None) == ("is_null" in str(condition))
