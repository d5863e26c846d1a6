"""zentrail sync: the lake, read back with pyarrow, equals the scan after
runs killed with SIGKILL at random moments, after files grew or were
rewritten, and a rerun with nothing new writes nothing."""

import contextlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import zentrail
from conftest import default_sigint

pyarrow = pytest.importorskip("pyarrow")
import pyarrow.dataset  # noqa: E402
import pyarrow.parquet  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
SIMULATOR = EXAMPLES / "simulate_plant.py"
COLUMNS = [name for name, _ in zentrail._core.COLUMNS]


def simulate(root, days, signals=60, seed=1, start="2024-03-01"):
    subprocess.run([sys.executable, str(SIMULATOR), str(root), "--days", str(days), "--signals", str(signals),
                    "--start", start, "--period", "5", "--limits", "0.3", "--seed", str(seed)],
                   check=True, stdout=subprocess.DEVNULL)


def sync_command(root, lake, *more):
    return [sys.executable, "-m", "zentrail.cli", "sync", str(root), str(lake), *more]


def run_sync(root, lake, *more):
    done = subprocess.run(sync_command(root, lake, *(more or ("--all",))), capture_output=True, text=True,
                          env=child_env())
    assert done.returncode == 0, done.stderr
    return done.stderr


def child_env():
    env = dict(os.environ)
    src = str(Path(zentrail.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join([src] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def assert_lake_is_scan(root, lake, signals=None, start="2000-01-01", labelled=True):
    table = pyarrow.dataset.dataset(lake, format="parquet", partitioning="hive").to_table()
    expected = zentrail.scan(root, start, "2099-12-31", signals).to_numpy()
    assert table.num_rows == len(expected["time"]) > 0
    for name in COLUMNS:
        np.testing.assert_array_equal(table[name].to_numpy(), expected[name], err_msg=name)
    if labelled:
        labels = pyarrow.table(zentrail.scan(root, start, "2099-12-31", signals).select("name", "unit"))
        for name in ("name", "unit"):
            assert table[name].to_pylist() == labels[name].to_pylist(), name
    assert table.schema.names == COLUMNS + ["name", "unit"] * labelled + ["day"]
    days = table["day"].to_numpy().astype(str)
    np.testing.assert_array_equal(days, expected["time"].astype("datetime64[D]").astype(str))
    assert not [p for p in Path(lake).rglob(".*")], "temporary files left behind"
    assert zentrail.lake_held(lake) == (table.num_rows, None)


@pytest.fixture(scope="module")
def three_days(tmp_path_factory):
    root = tmp_path_factory.mktemp("plant") / "archive"
    simulate(root, 3, signals=64)
    return root


def test_killed_at_random_moments_then_rerun_the_lake_equals_the_scan(tmp_path, three_days):
    root, lake = three_days, tmp_path / "lake"
    rng = random.Random(5)
    for _ in range(5):
        child = subprocess.Popen(sync_command(root, lake, "--all"), env=child_env(), stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.1, 1.2))
        child.send_signal(signal.SIGKILL)
        child.wait()
    run_sync(root, lake)
    assert_lake_is_scan(root, lake)


def test_a_grown_file_is_read_from_where_it_ended_and_a_rerun_writes_nothing(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 1.3, signals=30)
    assert zentrail.lake_held(lake) == (0, None)
    run_sync(root, lake)
    state = json.loads((lake / "_zentrail_sync.json").read_text())
    last = max(state["files"])
    path = root / last
    ended_at = state["files"][last]["segments"][-1]["end"][0]
    simulate(tmp_path / "more", 1.6, signals=30)  # a longer run of the same plant: the same bytes, and more
    grown = (tmp_path / "more" / last).read_bytes()
    assert grown[:ended_at] == path.read_bytes()[:ended_at]
    path.write_bytes(grown)
    assert "1 files read" in run_sync(root, lake)
    assert_lake_is_scan(root, lake)
    before = {p: p.stat().st_mtime_ns for p in lake.rglob("*.parquet")}
    assert "0 files read" in run_sync(root, lake)
    assert {p: p.stat().st_mtime_ns for p in lake.rglob("*.parquet")} == before


def test_a_rewritten_or_removed_file_replaces_or_removes_its_rows(tmp_path, three_days):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    shutil.copytree(three_days, root)
    run_sync(root, lake, "--signals", "100-103:0-3", "--from", "2024-03-01 12:00")
    files = sorted(root.rglob("*.vlx"))
    simulate(tmp_path / "other", 0.5, signals=16, seed=9)
    files[0].write_bytes(next((tmp_path / "other").rglob("*.vlx")).read_bytes())
    files[-1].unlink()
    run_sync(root, lake, "--signals", "100-103:0-3", "--from", "2024-03-01 12:00")
    signals = [i * 1024 + k for i in range(100, 104) for k in range(4)]
    assert_lake_is_scan(root, lake, signals, start="2024-03-01 12:00")


def test_another_selection_into_the_same_lake_is_refused(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.1, signals=16)
    run_sync(root, lake)
    done = subprocess.run(sync_command(root, lake, "--signals", "100"), capture_output=True, text=True,
                          env=child_env())
    assert done.returncode == 2 and "was kept with signals" in done.stderr


def test_watch_keeps_the_lake_in_step_with_a_live_writer_until_ctrl_c(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    writer = subprocess.Popen([sys.executable, str(SIMULATOR), str(root), "--live", "--start", "2024-03-01T23:59:00",
                               "--days", str(120 / 86400), "--signals", "40", "--speed", "60", "--chunk-bytes", "300",
                               "--limits", "0.05"], stderr=subprocess.DEVNULL)
    while not root.exists():
        time.sleep(0.05)
    watcher = subprocess.Popen(sync_command(root, lake, "--all", "--watch", "--commit-every", "0.3s"),
                               env=child_env(), stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    try:
        assert writer.wait(timeout=60) == 0
        time.sleep(1.5)  # a few commits after the last write
        watcher.send_signal(signal.SIGINT)
        _, errors = watcher.communicate(timeout=60)
        assert watcher.returncode == 130, errors
    finally:
        writer.kill()
        watcher.kill()
        writer.wait()
        watcher.wait()
    assert_lake_is_scan(root, lake)
    assert len(list(lake.glob("day=*"))) == 2


def test_killed_between_the_parts_and_the_state_the_rerun_writes_the_same_parts(tmp_path):
    """The moments a random kill may miss, made on purpose: parts renamed into
    place but the state not yet written, and a part half written beside."""
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.4, signals=30)
    run_sync(root, lake)
    state = lake / "_zentrail_sync.json"
    before = state.read_bytes()
    simulate(tmp_path / "more", 0.6, signals=30)
    for path in (tmp_path / "more").rglob("*.vlx"):
        (root / path.relative_to(tmp_path / "more")).write_bytes(path.read_bytes())
    run_sync(root, lake)
    state.write_bytes(before)  # as if killed after the parts, before the state
    half = next(lake.glob("day=*")) / ".part-x~000000000000.1234.partial.parquet"
    half.write_bytes(b"PAR1 half")
    run_sync(root, lake)
    assert_lake_is_scan(root, lake)


def test_a_lake_made_before_names_and_units_were_kept_goes_on_without_them(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.4, signals=16)
    zentrail.sync(root, lake)
    state_file = lake / "_zentrail_sync.json"
    state = json.loads(state_file.read_text())
    del state["labels"]
    state_file.write_text(json.dumps(state))
    for part in lake.rglob("*.parquet"):
        pyarrow.parquet.write_table(pyarrow.parquet.read_table(part).drop_columns(["name", "unit"]), part)
    simulate(root, 1.3, signals=16)  # the same plant, grown into a new day
    zentrail.sync(root, lake)
    assert_lake_is_scan(root, lake, labelled=False)


# -- a lake of aligned grids (--every) ---------------------------------------

GRID_CODES = [i * 1024 + k for i in range(100, 104) for k in range(4)] + [600 * 1024, 3600 * 1024]


def assert_lake_is_grid(root, lake, every, how="step", max_gap=None, start="2024-03-01", codes=GRID_CODES):
    """The lake equals align over [start, the newest row of the codes]."""
    table = pyarrow.dataset.dataset(lake, format="parquet", partitioning="hive").to_table()
    newest = zentrail.scan(root, "2000-01-01", "2099-12-31", codes).to_numpy()["time"].max()
    expected = zentrail.scan(root, start, str(newest), codes).align(every, how=how, max_gap=max_gap).to_numpy()
    assert table.schema.names == list(expected) + ["day"]
    assert table.num_rows == len(expected["time"]) > 0
    for name, column in expected.items():
        np.testing.assert_array_equal(table[name].to_numpy(), column, err_msg=name)
    days = table["day"].to_numpy().astype(str)
    np.testing.assert_array_equal(days, expected["time"].astype("datetime64[D]").astype(str))
    assert not [p for p in Path(lake).rglob(".*")], "temporary files left behind"
    assert zentrail.lake_held(lake) == (table.num_rows, expected["time"][-1])


@pytest.mark.parametrize("how, max_gap, start", [("step", None, None), ("step", "1min", "2024-03-01 10:03"),
                                                 ("linear", None, "2024-03-02"), ("linear", "2min", None)])
def test_the_grid_lake_equals_align_and_a_rerun_writes_nothing(tmp_path, three_days, how, max_gap, start):
    lake = tmp_path / "lake"
    counts = zentrail.sync(three_days, lake, GRID_CODES, start=start, every="7min", how=how, max_gap=max_gap)
    assert counts["days"] == (2 if start == "2024-03-02" else 3)
    assert_lake_is_grid(three_days, lake, "7min", how, max_gap, start or "2024-03-01")
    before = {p: p.stat().st_mtime_ns for p in lake.rglob("*")}
    assert zentrail.sync(three_days, lake, GRID_CODES, start=start, every="7min", how=how,
                         max_gap=max_gap) == {"files": 0, "days": 0, "rows": 0, "removed": 0}
    assert {p: p.stat().st_mtime_ns for p in lake.rglob("*")} == before


def test_the_grid_lake_of_an_archive_with_a_catalog_names_its_columns_as_align_does(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    shutil.copytree(EXAMPLES / "sample-archive", root)
    codes = [5 * 1024, 5 * 1024 + 1, 7 * 1024]
    zentrail.sync(root, lake, codes, every="1h", how="linear")
    assert_lake_is_grid(root, lake, "1h", "linear", codes=codes)
    assert "Tank1.Level" in pyarrow.parquet.read_schema(next(lake.rglob("grid.parquet"))).names


@pytest.mark.parametrize("how, max_gap", [("step", "20s"), ("linear", None)])
def test_the_grid_lake_kept_in_step_with_a_live_writer_equals_the_align_of_the_end(tmp_path, how, max_gap):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    writer = subprocess.Popen([sys.executable, str(SIMULATOR), str(root), "--live", "--start", "2024-03-01T23:58:00",
                               "--days", str(240 / 86400), "--signals", "64", "--speed", "80", "--chunk-bytes", "300",
                               "--limits", "0.05"], stderr=subprocess.DEVNULL)
    try:
        runs = []
        while writer.poll() is None:
            if list(root.rglob("*.vlx")):
                runs.append(zentrail.sync(root, lake, GRID_CODES, start="2024-03-01 23:58:30", every="7s", how=how,
                                          max_gap=max_gap, threads=1))
            time.sleep(0.1)
        assert writer.returncode == 0
    finally:
        writer.kill()
        writer.wait()
    zentrail.sync(root, lake, GRID_CODES, start="2024-03-01 23:58:30", every="7s", how=how, max_gap=max_gap)
    assert sum(run["days"] > 0 for run in runs) >= 5
    assert_lake_is_grid(root, lake, "7s", how, max_gap, "2024-03-01 23:58:30")


def test_the_grid_lake_killed_at_random_moments_then_rerun_equals_align(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 1.5, signals=64)
    options = ("--signals", "100-103:0-3,600:0,3600:0", "--every", "1s", "--how", "linear")
    run_sync(root, lake, *options)
    simulate(root, 3, signals=64)  # the same plant, a day and a half on: the same bytes, and more
    rng = random.Random(7)
    for _ in range(5):
        child = subprocess.Popen(sync_command(root, lake, *options), env=child_env(), stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.1, 1.0))
        child.send_signal(signal.SIGKILL)
        child.wait()
    run_sync(root, lake, *options)
    assert_lake_is_grid(root, lake, "1s", "linear")


@pytest.mark.parametrize("how, stop_after", [("linear", 1), ("linear", 2), ("linear", 3), ("linear", None),
                                             ("step", 1)])
def test_a_change_reaching_back_days_is_made_in_full_even_after_an_interrupted_run(tmp_path, monkeypatch, how,
                                                                                  stop_after):
    """A value logged on day 1 and next on day 4: its linear values on days 1
    to 3 change with the day 4 row, and day 3 gains the instants after its
    last row. The run that makes them is stopped after its n-th day, as a
    kill would stop it; the next run completes the lake."""
    from datetime import date

    from archive_builder import END, archive, date_mark, group
    from zentrail._live import grid_lake as _grid_lake

    root, lake, codes = tmp_path / "archive", tmp_path / "lake", [7 * 1024, 8 * 1024]

    def day(number, *records, end=(END,)):
        samples = [group("GrFloat", f"{hour:02}:00:00", 8, [float(hour + number)]) for hour in range(0, 24, 3)]
        (root / f"2024-03-0{number}_a.vlx").write_bytes(archive(date_mark(date(2024, 3, number)), *samples, *records,
                                                                *end))

    root.mkdir()
    day(1, group("GrFloat", "12:00:30", 7, [1.0]))
    day(2)
    day(3, end=())
    zentrail.sync(root, lake, codes, every="1h", how=how)
    with open(root / "2024-03-03_a.vlx", "ab") as grown:
        grown.write(END)
    day(4, group("GrFloat", "01:00:00", 7, [4.0]))
    written = []
    original = _grid_lake.GridLake._write_day

    def stopping(self, *args):
        result = original(self, *args)
        written.append(args[0])
        if len(written) == stop_after:
            raise KeyboardInterrupt
        return result

    monkeypatch.setattr(_grid_lake.GridLake, "_write_day", stopping)
    with pytest.raises(KeyboardInterrupt) if stop_after else contextlib.nullcontext():
        zentrail.sync(root, lake, codes, every="1h", how=how)
    monkeypatch.undo()
    zentrail.sync(root, lake, codes, every="1h", how=how)
    assert_lake_is_grid(root, lake, "1h", how, codes=codes)
    assert not np.isnan(pyarrow.parquet.read_table(lake / "day=2024-03-02" / "grid.parquet")["7:0"]).any()


@pytest.mark.parametrize("change", [{"every": "5min"}, {"how": "linear"}, {"max_gap": "1h"}, {"lookback": None},
                                    {"start": "2024-03-01 06:00"}, {"signals": GRID_CODES[:3]}, {"every": None}])
def test_a_grid_lake_refuses_other_settings_and_rows(tmp_path, change):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.1, signals=16)
    settings = {"signals": GRID_CODES, "every": "7min"}
    zentrail.sync(root, lake, **settings)
    with pytest.raises(zentrail.LakeMismatchError, match="was kept with|a lake of aligned grids"):
        zentrail.sync(root, lake, **{**settings, **change})


def test_every_with_all_or_grid_options_without_every_exit_2_before_reading(tmp_path, capsys):
    from zentrail.cli import main

    lake = tmp_path / "lake"
    assert main(["sync", str(EXAMPLES / "sample-archive"), str(lake), "--all", "--every", "1min"]) == 2
    assert main(["sync", str(EXAMPLES / "sample-archive"), str(lake), "--signals", "7", "--how", "linear"]) == 2
    assert main(["sync", str(EXAMPLES / "sample-archive"), str(lake), "--signals", "7", "--every", "1 week"]) == 2
    assert not lake.exists()
    assert "give --signals CODES, not --all" in capsys.readouterr().err


@pytest.mark.parametrize("every", [None, "7min"])
def test_read_in_steps_of_the_least_size_the_lakes_equal_the_scan_and_the_grid(tmp_path, monkeypatch, every):
    from zentrail._read import tail

    monkeypatch.setattr(tail, "STEP_BYTES", 1)  # the core's least step, some 70 KB: many steps a file
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.7, signals=16)
    zentrail.sync(root, lake, GRID_CODES, every=every)
    simulate(root, 1.6, signals=16)  # the same plant, on into the next day: read on from where each file ended
    zentrail.sync(root, lake, GRID_CODES, every=every)
    if every is None:
        assert_lake_is_scan(root, lake, GRID_CODES)
    else:
        assert_lake_is_grid(root, lake, every)


# -- where a lake may be, and the state it is kept by --------------------------

@pytest.mark.parametrize("kind", ["rows", "grid"])
@pytest.mark.parametrize("inside", [".", "lake", "2024/03/lake", "link-to-root/lake"])
def test_a_lake_the_archive_would_discover_is_refused_and_nothing_is_written(tmp_path, capsys, kind, inside):
    from zentrail.cli import main

    root = tmp_path / "archive"
    simulate(root, 0.1, signals=16)
    (tmp_path / "link-to-root").symlink_to(root)
    before = sorted(root.rglob("*"))
    lake = root / inside if not inside.startswith("link") else tmp_path / inside
    more = ["--all"] if kind == "rows" else ["--signals", "100:0", "--every", "1min"]
    assert main(["sync", str(root), str(lake), *more]) == 2
    assert sorted(root.rglob("*")) == before
    assert f"the lake {lake} lies inside the archive {root}" in capsys.readouterr().err


def test_a_lake_reached_through_a_link_the_walk_does_not_enter_is_kept(tmp_path):
    root, elsewhere = tmp_path / "archive", tmp_path / "elsewhere"
    simulate(root, 0.1, signals=16)
    elsewhere.mkdir()
    (root / "lakes").symlink_to(elsewhere)
    run_sync(root, root / "lakes" / "lake")
    assert_lake_is_scan(root, elsewhere / "lake")


def test_a_lake_left_inside_the_archive_is_passed_over_by_discovery(tmp_path):
    """As a lake synced into its own archive by an older zentrail: its parts
    carry the archive's file names in theirs."""
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.3, signals=16)
    files = zentrail.find_files(root, "2000-01-01", "2099-12-31")
    expected = zentrail.scan(root, "2000-01-01", "2099-12-31").to_numpy()
    run_sync(root, lake)
    zentrail.sync(root, tmp_path / "grid", [100 * 1024], every="1h")
    shutil.move(str(lake), str(root / "2024" / "lake"))
    shutil.move(str(tmp_path / "grid"), str(root / "grid"))
    assert zentrail.find_files(root, "2000-01-01", "2099-12-31") == files
    assert_same_columns(zentrail.scan(root, "2000-01-01", "2099-12-31").to_numpy(), expected)
    run_sync(root, tmp_path / "again")
    assert_lake_is_scan(root, tmp_path / "again")
    pytest.importorskip("fsspec")
    packed = shutil.make_archive(str(tmp_path / "packed"), "zip", root)
    assert_same_columns(zentrail.scan(packed, "2000-01-01", "2099-12-31").to_numpy(), expected)


def assert_same_columns(got, expected):
    assert len(expected["time"]) > 0
    for name in COLUMNS:
        np.testing.assert_array_equal(got[name], expected[name], err_msg=name)


@pytest.fixture(scope="module")
def kept_lakes(tmp_path_factory):
    """A lake of rows and a lake of grids, each kept once."""
    place = tmp_path_factory.mktemp("kept")
    simulate(place / "archive", 0.2, signals=16)
    zentrail.sync(place / "archive", place / "rows", [100 * 1024, 101 * 1024])
    zentrail.sync(place / "archive", place / "grid", [100 * 1024, 101 * 1024], every="10min")
    return place


SOURCE = object()  # stands for the first source file's name in a state


@pytest.mark.parametrize("kind, where, value", [
    ("rows", ("files",), []),
    ("rows", (), []),
    ("rows", ("files", SOURCE), "x"),
    ("rows", ("files", SOURCE, "segments"), {"a": 1}),
    ("rows", ("files", SOURCE, "segments", 0, "end"), [1, 2]),
    ("rows", ("files", SOURCE, "segments", 0, "end", 0), -5),
    ("rows", ("files", SOURCE, "segments", 0, "start", 1), 70000),
    ("rows", ("files", SOURCE, "size"), "12"),
    ("rows", ("files", SOURCE, "segments", 0, "rows"), None),
    ("rows", ("files", SOURCE, "segments", 0, "start", 0), 1),  # a read on from there begins mid-record
    ("grid", ("files",), []),
    ("grid", ("origin",), "2024-03-01"),
    ("grid", ("pending",), 5),
    ("grid", ("files", SOURCE, "end"), None),
    ("grid", ("files", SOURCE, "first"), 1.5),
])
def test_a_state_file_of_the_wrong_shape_is_named_exit_1_and_nothing_changes(tmp_path, capsys, kept_lakes, kind,
                                                                          where, value):
    from zentrail.cli import main

    lake, archive = tmp_path / kind, tmp_path / "archive"
    shutil.copytree(kept_lakes / kind, lake)
    simulate(archive, 0.3, signals=16)  # the same plant, grown: a run would read and write
    state_file = lake / ("_zentrail_sync.json" if kind == "rows" else "_zentrail_grid.json")
    state = json.loads(state_file.read_text())
    state["root"] = str(archive)  # kept for this archive: only the shape is wrong
    if where:
        inner = state
        steps = [next(iter(inner["files"])) if step is SOURCE else step for step in where]
        for step in steps[:-1]:
            inner = inner[step]
        inner[steps[-1]] = value
    else:
        state = value
    state_file.write_text(json.dumps(state))
    before = {p: (p.stat().st_mtime_ns, p.read_bytes()) for p in lake.rglob("*") if p.is_file()}
    more = [] if kind == "rows" else ["--every", "10min"]
    assert main(["sync", str(archive), str(lake), "--signals", "100:0,101:0", *more]) == 1
    error = capsys.readouterr().err
    assert str(state_file) in error and "Traceback" not in error
    assert {p: (p.stat().st_mtime_ns, p.read_bytes()) for p in lake.rglob("*") if p.is_file()} == before
