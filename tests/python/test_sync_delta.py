"""zentrail sync --format delta: the Delta table, read back with deltalake
(and polars), holds the rows of the scan once each, after growth, SIGKILLs,
two syncs at once and compaction; every version a reader can load is a whole
run's."""

import json
import random
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import zentrail
from conftest import default_sigint
from test_sync import EXAMPLES, SIMULATOR, child_env, simulate, sync_command

deltalake = pytest.importorskip("deltalake")
pyarrow = pytest.importorskip("pyarrow")
NUMERIC = [name for name, _ in zentrail._core.COLUMNS if name != "time"]


def table_at(lake, version=None):
    table = deltalake.DeltaTable(str(lake), version=version)
    return table.to_pyarrow_dataset().to_table(), table.version()


def rows_of(table):
    """The rows as sorted NumPy columns, time in nanoseconds again."""
    columns = {name: table[name].to_numpy() for name in NUMERIC}
    columns["time"] = table["time"].cast("int64").to_numpy() * 1000 + table["nanosecond"].to_numpy()
    order = np.lexsort([columns[name] for name in reversed(["time"] + NUMERIC)])
    out = {name: column[order] for name, column in columns.items()}
    for name in ("name", "unit"):
        out[name] = np.array(table[name].to_pylist(), dtype=object)[order]
    return out


def expected_rows(root):
    table = pyarrow.table(zentrail.scan(root, "2000-01-01", "2099-12-31").select(
        *[n for n, _ in zentrail._core.COLUMNS], "name", "unit"))
    ns = table["time"].cast(pyarrow.int64()).to_numpy()
    columns = {"time": ns, **{name: table[name].to_numpy() for name in NUMERIC}}
    order = np.lexsort([columns[name] for name in reversed(["time"] + NUMERIC)])
    out = {name: column[order] for name, column in columns.items()}
    for name in ("name", "unit"):
        out[name] = np.array(table[name].cast(pyarrow.string()).to_pylist(), dtype=object)[order]
    return out


def assert_same(got, expected):
    assert len(expected["time"]) > 0
    for name, column in expected.items():
        np.testing.assert_array_equal(got[name], column, err_msg=name)


def assert_lake_is_scan(root, lake):
    table, _ = table_at(lake)
    assert_same(rows_of(table), expected_rows(root))
    assert zentrail.lake_held(lake) == (table.num_rows, None)
    days = table["day"].cast(pyarrow.string()).to_numpy(zero_copy_only=False)
    np.testing.assert_array_equal(days, table["time"].cast(pyarrow.timestamp("us")).to_numpy()
                                  .astype("datetime64[D]").astype(str))
    polars = pytest.importorskip("polars")
    assert polars.scan_delta(str(lake)).select(polars.len()).collect().item() == table.num_rows


def commit_info(lake, version):
    log = (lake / "_delta_log" / f"{version:020d}.json").read_text().splitlines()
    return next(json.loads(line)["commitInfo"] for line in log if line.startswith('{"commitInfo"'))


def assert_every_version_is_a_whole_run(lake):
    """Each version of ours holds the rows its run's state counts."""
    for info in deltalake.DeltaTable(str(lake)).history():
        if "zentrail" in info:
            assert table_at(lake, info["version"])[0].num_rows == info["zentrail"]["rows"]


@pytest.mark.parametrize("watch", [False, True])
def test_kept_in_step_with_a_live_writer_while_a_reader_sees_only_whole_commits(tmp_path, watch):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    writer = subprocess.Popen([sys.executable, str(SIMULATOR), str(root), "--live", "--start", "2024-03-01T23:59:00",
                               "--days", str(120 / 86400), "--signals", "40", "--speed", "20", "--chunk-bytes", "300",
                               "--limits", "0.05"], stderr=subprocess.DEVNULL)
    seen, stop = [], threading.Event()

    def reader():
        while not stop.is_set():
            try:
                table = deltalake.DeltaTable(str(lake))
            except deltalake.exceptions.TableNotFoundError:
                continue
            info = commit_info(lake, table.version())
            if "zentrail" in info:
                seen.append((table.to_pyarrow_dataset().to_table().num_rows, info["zentrail"]["rows"]))

    watching = threading.Thread(target=reader)
    watching.start()
    while not root.exists():
        time.sleep(0.05)
    watcher = subprocess.Popen(sync_command(root, lake, "--all", "--format", "delta", "--watch", "--commit-every",
                                            "0.2s"), env=child_env(), stderr=subprocess.DEVNULL,
                               preexec_fn=default_sigint) if watch else None
    try:
        while writer.poll() is None:
            if not watch and list(root.rglob("*.vlx")):
                zentrail.sync(root, lake, format="delta", threads=1)
            time.sleep(0.1)
        assert writer.returncode == 0
        if watch:
            time.sleep(1)  # a few commits after the last write
            watcher.send_signal(signal.SIGINT)
            assert watcher.wait(timeout=60) == 130
        zentrail.sync(root, lake, format="delta")
    finally:
        stop.set()
        watching.join()
        for child in (writer, watcher):
            if child is not None:
                child.kill()
                child.wait()
    assert len(seen) > 3 and all(got == committed for got, committed in seen)
    assert deltalake.DeltaTable(str(lake)).version() >= 3
    assert_lake_is_scan(root, lake)
    assert_every_version_is_a_whole_run(lake)


def test_killed_at_random_moments_the_last_commit_is_whole_and_a_rerun_completes(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 1.2, signals=40)
    zentrail.sync(root, lake, format="delta")
    before = expected_rows(root)
    simulate(root, 2.5, signals=40)  # the same plant, grown: its last file read again, a new day
    after = expected_rows(root)
    rng = random.Random(3)
    for _ in range(4):
        child = subprocess.Popen(sync_command(root, lake, "--all", "--format", "delta"), env=child_env(),
                                 stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.2, 1.5))
        child.send_signal(signal.SIGKILL)
        child.wait()
        # A run reads every file to its end: the last commit is the scan before the growth or after it.
        got = rows_of(table_at(lake)[0])
        assert any(len(got["time"]) == len(rows["time"]) and all(
            np.array_equal(got[name], rows[name], equal_nan=rows[name].dtype.kind == "f") for name in rows)
            for rows in (before, after))
        assert_every_version_is_a_whole_run(lake)
    zentrail.sync(root, lake, format="delta")
    assert_lake_is_scan(root, lake)


def test_two_syncs_at_once_one_commits_the_other_fails_naming_the_lake(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 1.5, signals=40)
    children = [subprocess.Popen(sync_command(root, lake, "--all", "--format", "delta"), env=child_env(),
                                 stderr=subprocess.PIPE, text=True) for _ in range(2)]
    results = [(child.wait(), child.stderr.read()) for child in children]
    for child in children:
        child.stderr.close()
    assert sorted(code for code, _ in results)[0] == 0
    for code, errors in results:
        assert code == 0 or (code == 1 and f"{lake}: another run committed" in errors), errors
    zentrail.sync(root, lake, format="delta")
    assert_lake_is_scan(root, lake)
    assert_every_version_is_a_whole_run(lake)


def test_a_watch_that_finds_its_version_taken_warns_reads_the_lake_again_and_goes_on(tmp_path, monkeypatch):
    from zentrail._live import delta_lake, lakes

    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.3, signals=16)
    original, runs = delta_lake.DeltaLake.run, []

    def run(self, report=None):
        runs.append(self)
        if len(runs) == 1:
            zentrail.sync(root, lake, format="delta")  # another run, committing first
        return original(self, report)

    real_sleep = lakes.time.sleep

    def sleep(seconds):  # the time module's own: other threads (a Spark session's) sleep through it
        if threading.current_thread() is not threading.main_thread():
            return real_sleep(seconds)
        if len(runs) > 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(delta_lake.DeltaLake, "run", run)
    monkeypatch.setattr(lakes.time, "sleep", sleep)
    with pytest.warns(RuntimeWarning, match="another run committed"), pytest.raises(KeyboardInterrupt):
        zentrail.sync(root, lake, format="delta", watch=True, commit_every="1s")
    assert runs[2] is not runs[0]
    assert_lake_is_scan(root, lake)


@pytest.mark.parametrize("after", ["nothing", "a rewritten source"])
def test_compact_makes_a_finished_day_one_file_and_keeps_the_versions_before(tmp_path, monkeypatch, after):
    from zentrail._live import sync as _rows

    monkeypatch.setattr(_rows, "REOPEN_BYTES", 0)  # a segment per run: days of several files
    root, lake = tmp_path / "archive", tmp_path / "lake"
    for days in (0.4, 0.8, 1.5):
        simulate(root, days, signals=16)
        zentrail.sync(root, lake, format="delta")
    before, version = table_at(lake)
    assert zentrail.sync(root, lake, format="delta", compact=True)["compacted"] == 1
    assert sum("day=2024-03-01/" in uri for uri in deltalake.DeltaTable(str(lake)).file_uris()) == 1
    log = (lake / "_delta_log" / f"{version + 1:020d}.json").read_text().splitlines()
    actions = [json.loads(line) for line in log]
    assert {action.get("add", action.get("remove", {})).get("dataChange") for action in actions} - {None} == {False}
    assert_same(rows_of(table_at(lake, version)[0]), rows_of(before))
    if after == "a rewritten source":
        simulate(tmp_path / "other", 0.5, signals=16, seed=9)
        first = sorted(root.rglob("*.vlx"))[0]
        first.write_bytes(next((tmp_path / "other").rglob("*.vlx")).read_bytes())
        zentrail.sync(root, lake, format="delta")
    assert_lake_is_scan(root, lake)


@pytest.mark.parametrize("more", [["--compact"], ["--format", "delta", "--every", "1min", "--compact"]])
def test_compact_goes_with_a_delta_lake_of_rows_only(tmp_path, capsys, more):
    from zentrail.cli import main

    signals = ["--signals", "7"] if "--every" in more else ["--all"]
    assert main(["sync", str(EXAMPLES / "sample-archive"), str(tmp_path / "lake"), *signals, *more]) == 2
    assert "--compact goes with --format delta, of rows" in capsys.readouterr().err


def test_a_parquet_lake_is_not_taken_for_a_delta_lake(tmp_path):
    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.1, signals=16)
    zentrail.sync(root, lake)
    with pytest.raises(zentrail.LakeMismatchError, match="not a Delta lake"):
        zentrail.sync(root, lake, format="delta")


GRID_CODES = [i * 1024 + k for i in range(100, 103) for k in range(3)] + [600 * 1024]


@pytest.mark.parametrize("how, stopped", [("step", False), ("linear", True)])
def test_the_grid_lake_in_delta_equals_align_after_growth_and_an_interrupted_run(tmp_path, monkeypatch, how,
                                                                                 stopped):
    from zentrail._live import grid_lake as _grid_lake

    root, lake = tmp_path / "archive", tmp_path / "lake"
    simulate(root, 0.7, signals=16)
    zentrail.sync(root, lake, GRID_CODES, every="7min", how=how, format="delta")
    simulate(root, 1.6, signals=16)  # the same plant, on into the next day
    if stopped:  # as a kill after the first day written: nothing of it committed
        original = _grid_lake.GridLake._write_day

        def stopping(self, *args):
            original(self, *args)
            raise KeyboardInterrupt

        monkeypatch.setattr(_grid_lake.GridLake, "_write_day", stopping)
        with pytest.raises(KeyboardInterrupt):
            zentrail.sync(root, lake, GRID_CODES, every="7min", how=how, format="delta")
        monkeypatch.undo()
    zentrail.sync(root, lake, GRID_CODES, every="7min", how=how, format="delta")
    table, _ = table_at(lake)
    table = table.sort_by("time")
    newest = zentrail.scan(root, "2000-01-01", "2099-12-31", GRID_CODES).to_numpy()["time"].max()
    expected = zentrail.scan(root, "2024-03-01", str(newest), GRID_CODES).align("7min", how=how).to_numpy()
    assert table.schema.names == list(expected) + ["day"]
    np.testing.assert_array_equal(table["time"].to_numpy().astype("datetime64[ns]"), expected.pop("time"))
    for name, column in expected.items():
        np.testing.assert_array_equal(table[name].to_numpy(), column, err_msg=name)
    assert zentrail.lake_held(lake)[0] == table.num_rows
    assert_every_version_is_a_whole_run(lake)
