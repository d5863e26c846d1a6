"""zentrail.dask.read_archive on a two-process LocalCluster (a partition per
file or per day, projected columns), and the Parquet-by-day recipe of
docs/consumers.md, each against zentrail.scan."""

import shutil
import subprocess
import sys
from datetime import date
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import archive_builder as ab
import zentrail
import zentrail.dask
from conftest import code

# The examples are not installed with the package.
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))

START, END = "2024-02-28 12:00:00", "2024-03-03 06:00:00"
CODES = [code(5, 0), code(5, 2), code(7), code(12), code(13)]
# Day files in year/month folders: two for March 1st, none for the 2nd.
FILES = {"2024/02/2024-02-28_plant.vlx": date(2024, 2, 28), "2024/02/2024-02-29_plant.vlx": date(2024, 2, 29),
         "2024/03/2024-03-01_a.vlx": date(2024, 3, 1), "2024/03/2024-03-01_b.vlx": date(2024, 3, 1),
         "2024/03/2024-03-03_plant.vlx": date(2024, 3, 3)}


def day_records(day, seed):
    yield ab.date_mark(day)
    for hour in range(seed % 2, 24, 2):  # the two files of a day take turns
        clock = f"{hour:02}:{seed:02}:00"
        yield ab.group("GrWord", clock, 5, [hour, seed, -1])
        yield ab.alarm("AlShort", ab.at(clock) + 1, 7, value=-hour * seed)
        if hour % 5 == 0:
            yield ab.alarm("AlByte", ab.at(clock) + 2, 12, value=hour, subtype="HiHi")
            yield ab.string_alarm(ab.at(clock) + 3, 13, "checked")
    yield ab.END


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("archive")
    for seed, (name, day) in enumerate(FILES.items()):
        ab.write_archive(root / name, day_records(day, seed))
    return root


@pytest.fixture(scope="module")
def zipped(tree, tmp_path_factory):
    return shutil.make_archive(str(tmp_path_factory.mktemp("zipped") / "plant"), "zip", tree)


@pytest.mark.parametrize("by_day", [False, True])
@pytest.mark.parametrize("kind", ["tree", "zip file"])
def test_the_dask_frame_holds_the_rows_of_scan(client, tree, zipped, by_day, kind):
    root = tree if kind == "tree" else zipped  # a zip file's members are its partitions' files
    frame = zentrail.dask.read_archive(root, START, END, CODES, by_day=by_day)
    expected = zentrail.scan(root, START, END, CODES).to_pandas()
    computed = client.compute(frame).result()
    if by_day:  # one partition a day, sorted by time within it
        assert frame.divisions == tuple(pd.Timestamp(d) for d in ("2024-02-28", "2024-02-29", "2024-03-01",
                                                                  "2024-03-03", "2024-03-03 23:59:59.999999999"))
        assert computed.index.is_monotonic_increasing
        expected = expected.sort_values("time", kind="stable", ignore_index=True)
        computed = computed.reset_index()
    else:  # one partition a file, in scan's order
        assert frame.npartitions == len(FILES)
        computed = computed.reset_index(drop=True)
    pd.testing.assert_frame_equal(computed, expected)


def test_a_days_partition_holds_that_days_rows_from_every_file(client, tmp_path):
    # The file of the 2nd holds 3 rows of the 1st after a date mark; the
    # file of the 1st goes on past midnight into the 2nd; no file is named
    # for the 3rd, whose rows follow a date mark in the file of the 2nd.
    ab.write_archive(tmp_path / "2024-03-01_a.vlx", [
        ab.date_mark(date(2024, 3, 1)), ab.alarm("AlByte", "23:59:00", 12, value=1),
        ab.date_mark(date(2024, 3, 2)), ab.alarm("AlByte", "00:01:00", 12, value=2), ab.END])
    ab.write_archive(tmp_path / "2024-03-02_a.vlx", [
        ab.date_mark(date(2024, 3, 2)), ab.alarm("AlByte", "08:00:00", 12, value=3),
        ab.date_mark(date(2024, 3, 1)), *[ab.alarm("AlByte", f"1{n}:00:00", 12, value=10 + n) for n in range(3)],
        ab.date_mark(date(2024, 3, 3)), ab.alarm("AlByte", "01:00:00", 12, value=4), ab.END])
    window = (tmp_path, "2024-03-01 00:00:00", "2024-03-03 23:59:59", [code(12)])
    frame = zentrail.dask.read_archive(*window, by_day=True)
    assert frame.divisions == tuple(pd.Timestamp(d) for d in ("2024-03-01", "2024-03-02", "2024-03-03",
                                                              "2024-03-03 23:59:59.999999999"))
    for n, day in enumerate(["2024-03-01", "2024-03-02", "2024-03-03"]):
        expected = zentrail.scan(*window).where(start=day, end=day).to_pandas()
        expected = expected.sort_values("time", kind="stable").set_index("time")
        pd.testing.assert_frame_equal(client.compute(frame.get_partition(n)).result(), expected)
    assert len(frame.get_partition(0).compute()) == 4  # 1 row of its own file, 3 of the 2nd's
    # The inventory by file that tells the partitions which files to read.
    by_file = zentrail.inventory(tmp_path, *window[1:3], by="file").to_pandas()
    held = by_file.groupby(["day", "signal_id", "item_class"])[["records", "files"]].sum().reset_index()
    by_day = zentrail.inventory(tmp_path, *window[1:3], by="day").to_pandas()
    pd.testing.assert_frame_equal(held, by_day[["day", "signal_id", "item_class", "records", "files"]])
    assert [(Path(f).name, str(d.date())) for f, d in by_file[["file", "day"]].drop_duplicates().values] == [
        ("2024-03-01_a.vlx", "2024-03-01"), ("2024-03-01_a.vlx", "2024-03-02"), ("2024-03-02_a.vlx", "2024-03-01"),
        ("2024-03-02_a.vlx", "2024-03-02"), ("2024-03-02_a.vlx", "2024-03-03")]


@pytest.mark.parametrize("by_day", [False, True])
def test_names_and_patterns_resolve_through_the_catalog(client, tree, tmp_path, by_day):
    catalog = tmp_path / "names.csv"
    catalog.write_text("signal_id,element,name\n5,0,TI-100\n5,2,TI-102\n12,,LA-12\n")
    signals = ["TI-*", code(7)]
    frame = zentrail.dask.read_archive(tree, START, END, signals, by_day=by_day, catalog=catalog)
    expected = zentrail.scan(tree, START, END, signals, catalog=catalog).to_pandas()
    computed = client.compute(frame).result()
    if by_day:
        computed, expected = computed.reset_index(), expected.sort_values("time", kind="stable", ignore_index=True)
    pd.testing.assert_frame_equal(computed.reset_index(drop=True), expected)
    assert set(computed["signal_id"]) == {5, 7}
    # The catalog's own columns, which keep the catalog with the partitions.
    named = zentrail.dask.read_archive(tree, START, END, signals, by_day=by_day, columns=["name"], catalog=catalog)
    expected = zentrail.scan(tree, START, END, signals, catalog=catalog).select("time", "name").to_pandas()
    if by_day:
        expected = expected.sort_values("time", kind="stable")
    assert client.compute(named).result()["name"].tolist() == expected["name"].tolist()
    with pytest.raises(ValueError, match="no catalog of names"):
        zentrail.dask.read_archive(tree, START, END, signals)


@pytest.mark.parametrize("by_day", [False, True])
def test_projected_columns_are_the_only_ones_read(client, tree, by_day):
    frame = zentrail.dask.read_archive(tree, START, END, CODES, by_day=by_day, columns=["value", "class_name"])
    assert list(frame.columns) == ["value", "class_name"]
    # Dask's projection reaches the partitions' reads: the task is handed the column.
    projected = frame[["value"]]
    reads = [node for node in projected.optimize(fuse=False).expr.walk() if type(node).__name__ == "FromMapProjectable"]
    assert [node.columns for node in reads] == [["value"]]
    computed = client.compute(projected).result()
    expected = zentrail.scan(tree, START, END, CODES).select("time", "value").to_pandas()
    if by_day:
        expected = expected.sort_values("time", kind="stable").set_index("time")
    else:
        computed, expected = computed.reset_index(drop=True), expected[["value"]]
    pd.testing.assert_frame_equal(computed, expected)


def test_an_empty_window_is_one_typed_empty_partition(tree):
    frame = zentrail.dask.read_archive(tree, "2023-01-01", "2023-01-02", CODES, by_day=True)
    assert frame.npartitions == 1 and len(frame.compute()) == 0 and frame.index.name == "time"


def test_parquet_by_day_reads_back_as_the_scan(tree, tmp_path):
    ds = pytest.importorskip("pyarrow.dataset")
    import parquet_by_day

    parquet_by_day.write_parquet_days(tree, START, END, CODES, tmp_path / "lake")
    assert sorted(p.name for p in (tmp_path / "lake").iterdir()) == [
        "day=2024-02-28", "day=2024-02-29", "day=2024-03-01", "day=2024-03-03"]
    table = ds.dataset(tmp_path / "lake", partitioning="hive").to_table().to_pandas()
    by = ["time", "signal_id", "element"]
    read_back = table.drop(columns="day").sort_values(by, ignore_index=True)
    expected = zentrail.scan(tree, START, END, CODES).to_pandas().sort_values(by, ignore_index=True)
    pd.testing.assert_frame_equal(read_back, expected)


@pytest.mark.parametrize("how, every, lookback", [("step", "7min", "1d"), ("step", "1h", None), ("linear", "13min", "20h")])
def test_the_dask_grid_is_the_grid_of_align(client, tree, how, every, lookback):
    # A grid whose step does not divide a day, and a lookback shorter than
    # the gap after the last file but one: each day's partition must look
    # where the whole grid looks.
    frame = zentrail.dask.align_archive(tree, START, END, CODES, every, how=how, lookback=lookback)
    whole = zentrail.scan(tree, START, END, CODES).align(every, how=how, lookback=lookback).to_pandas()
    got = frame.compute()
    assert frame.npartitions == 5 and frame.known_divisions
    pd.testing.assert_frame_equal(got, whole.set_index("time"))


def test_the_module_imports_without_dask_and_its_first_call_names_the_extra():
    code = """if True:
        import sys
        sys.modules["dask"] = None  # as if Dask were not installed
        import zentrail.dask
        try:
            zentrail.dask.read_archive("examples/sample-archive", "2024-03-01", "2024-03-02")
        except ImportError as error:
            print(error)
    """
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout == 'zentrail.dask.read_archive needs dask.dataframe, which is not installed: ' \
                          'pip install "zentrail[dask]"\n'


# Three days about a change: Berlin's autumn night; Sao Paulo's, whose
# repeated hour ended at midnight; Sao Paulo's spring, which skipped midnight.
ZONED_DAYS = [("Europe/Berlin", date(2024, 10, 26)), ("America/Sao_Paulo", date(2018, 2, 16)),
              ("America/Sao_Paulo", date(2018, 11, 3))]


@pytest.mark.parametrize("zone, first_day", ZONED_DAYS)
@pytest.mark.parametrize("by_day", [False, True])
def test_a_frame_in_a_zone_holds_scans_instants_in_local_day_partitions(client, tmp_path, zone, first_day, by_day):
    import datetime as dt
    import zoneinfo

    import numpy as np
    from zoned_archive import NS, SIGNAL, instants_between, write_local_archive

    days = [first_day + dt.timedelta(days=k) for k in range(4)]
    instants = instants_between(zone, days[0], days[2], 900)
    write_local_archive(tmp_path, zone, instants)
    window = (tmp_path, days[0], days[2], [SIGNAL * 1024])
    frame = zentrail.dask.read_archive(*window, by_day=by_day, tz=zone)
    want = zentrail.scan(*window, tz=zone).to_pandas()
    times_meta = frame.index.dtype if by_day else frame.dtypes["time"]
    assert str(times_meta) == f"datetime64[ns, {zone}]"  # known before anything is read
    got = client.compute(frame).result()
    # Where a day begins: its local midnight, or where the clock starts a day that skipped it.
    midnights = [int(dt.datetime.combine(day, dt.time(), zoneinfo.ZoneInfo(zone)).timestamp()) * NS for day in days]
    if by_day:
        assert [d.value for d in frame.divisions] == midnights[:3] + [midnights[3] - 1]
        assert [len(part) for part in frame.partitions] == np.diff(np.searchsorted(instants, midnights)).tolist()
        got = got.reset_index()
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want)
    grid = zentrail.dask.align_archive(*window, "1d", tz=zone)
    assert str(grid.index.dtype) == f"datetime64[ns, {zone}]"
    assert [t.value for t in grid.compute().index] == midnights[:3]
