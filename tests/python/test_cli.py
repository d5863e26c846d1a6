"""The zentrail command on the sample archive: ls, export read back equal to
scan, events, its exit statuses, and outputs that appear whole or not at all."""

from __future__ import annotations

import csv
import io
import json
import os
import random
import resource
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, strategies as st

import archive_builder as ab
import zentrail
from conftest import DAY, default_sigint
from zentrail import cli
from zentrail.cli.text import number_texts

SAMPLE = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")
WINDOW = ["--from", "2024-03-01", "--to", "2024-03-03"]
COLUMNS = ("time", "signal_id", "element", "value", "item_class", "subtype", "class_name", "subtype_name")
LABELS = ("name", "unit")


def run(*args, **options):
    return subprocess.run([sys.executable, "-m", "zentrail.cli", *map(str, args)], capture_output=True,
                          text=options.pop("text", True), **options)


def csv_rows(path):
    with open(path, newline="") as written:
        return list(csv.DictReader(written))


def test_ls_lists_the_inventory_as_csv_and_json():
    done = run("ls", SAMPLE)
    assert done.returncode == 0
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    inventory = zentrail.inventory(SAMPLE).to_numpy()
    assert [int(r["signal_id"]) for r in rows] == inventory["signal_id"].tolist()
    assert [r["class_name"] for r in rows] == [zentrail.CLASS_NAMES[c] for c in inventory["item_class"]]
    assert [int(r["records"]) for r in rows] == inventory["records"].tolist()
    by_day = [json.loads(line) for line in run("ls", SAMPLE, "--by-day", "--json").stdout.splitlines()]
    assert len(by_day) == len(zentrail.inventory(SAMPLE, by="day"))
    assert by_day[0]["day"] == "2024-03-01"


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".arrow"])
@pytest.mark.parametrize("signals", [["--signals", "7:0-3,12"], ["--all"], ["--all", "--batch-rows", "7"]])
def test_export_reads_back_as_scan(tmp_path, suffix, signals):
    # Small batches hold different names from one batch to the next: an IPC
    # file, which takes one dictionary per column, must still be written.
    if suffix != ".csv":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"out{suffix}"
    done = run("export", SAMPLE, *WINDOW, *signals, "-o", out)
    assert done.returncode == 0, done.stderr
    codes = None if signals[0] == "--all" else cli.parse_signals(signals[1])
    # The sample archive's catalog adds its name and unit columns.
    expected = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", codes).select(*COLUMNS, *LABELS).to_numpy()
    if suffix == ".csv":
        rows = csv_rows(out)
        got = {name: [r[name] for r in rows] for name in expected}
        got["time"] = np.array([t.replace(" ", "T") for t in got["time"]], dtype="datetime64[ns]")
        got["value"] = [float(v) if v else float("nan") for v in got["value"]]
        got["unit"] = [u or None for u in got["unit"]]
    else:
        import pyarrow.ipc
        import pyarrow.parquet

        table = pyarrow.parquet.read_table(out) if suffix == ".parquet" else pyarrow.ipc.open_file(out).read_all()
        assert table.schema.equals(pyarrow.schema(zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03")
                                                  .select(*COLUMNS, *LABELS)))
        got = {name: table.column(name).to_pylist() if name.endswith("name") or name == "unit" else
               table.column(name).to_numpy()
               for name in expected}
    for name, column in expected.items():
        np.testing.assert_array_equal(np.asarray(got[name], dtype=column.dtype), column)


def test_events_prints_and_writes(tmp_path):
    done = run("events", SAMPLE, *WINDOW, "--ids", "13", "--no-system")
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert rows and {r["class_name"] for r in rows} == {"AlString"}
    assert rows[0]["text"] == "shift handover checked"
    assert run("events", SAMPLE, *WINDOW, "-o", tmp_path / "e.csv").returncode == 0
    assert len(csv_rows(tmp_path / "e.csv")) == \
        len(zentrail.events(SAMPLE, "2024-03-01", "2024-03-03").to_numpy()["time"])


@pytest.mark.parametrize("args, status, text", [
    (["export", SAMPLE, *WINDOW, "-o", "x.csv"], 2, "exactly one of"),
    (["export", SAMPLE, "--from", "2024-13-01", "--to", "2024-03-03", "--all", "-o", "x.csv"], 2, "--from"),
    (["export", SAMPLE, *WINDOW, "--signals", "7:9-3", "-o", "x.csv"], 2, "--signals"),
    (["export", SAMPLE, *WINDOW, "--all", "-o", "x.txt"], 2, ".csv, .parquet or .arrow"),
    (["export", SAMPLE, *WINDOW, "--signals", "503-500:0", "-o", "x.csv"], 2, "--signals"),
    (["ls"], 2, "ROOT"),
    (["ls", "/nonexistent-zentrail"], 2, "nonexistent-zentrail"),
    (["ls", "file:///nonexistent-zentrail"], 2, "'file:///nonexistent-zentrail' does not exist"),
    (["ls", os.path.join(SAMPLE, "zentrail-catalog.csv")], 2, "is not a folder"),
    (["view", "/nonexistent-zentrail", "--no-browser"], 2, "nonexistent-zentrail"),
    (["view", SAMPLE, "--from", "2024-02-30", "--no-browser"], 2, "--from"),
    (["ls", SAMPLE, "--threads", 10 ** 20], 2, "--threads"),
    (["plot", SAMPLE, *WINDOW, "--signals", "5:0", "-o", "x.html", "--width", 2 ** 30 + 1], 2, "--width"),
    (["plot", SAMPLE, *WINDOW, "--signals", "5:0", "-o", "x.png", "--width", 10 ** 7], 2, "--width"),
    (["export", SAMPLE, *WINDOW, "--all", "-o", "missing/x.csv"], 2, "missing"),
    *[([command, SAMPLE, "--from", "2024-03-03", "--to", "2024-03-01", *rest], 2, "--to 2024-03-01 comes before "
       "--from 2024-03-03") for command, rest in [("ls", []), ("export", ["--all", "-o", "x.csv"]), ("events", []),
                                                  ("plot", ["--signals", "5", "-o", "x.png"]),
                                                  ("view", ["--no-browser"])]],
])
def test_exit_statuses(tmp_path, args, status, text):
    done = run(*args, cwd=tmp_path, timeout=60)
    assert done.returncode == status
    assert text in done.stderr
    assert os.listdir(tmp_path) == []


def test_a_malformed_file_exits_1_naming_file_and_offset(tmp_path):
    (tmp_path / "2024-03-01_a.vlx").write_bytes(b"\x80\x01\x00\x00\x00\x00")
    done = run("ls", tmp_path)
    assert done.returncode == 1
    assert "2024-03-01_a.vlx" in done.stderr and "at byte 0" in done.stderr


@pytest.mark.parametrize("text, codes", [
    ("7", list(range(7 * 1024, 8 * 1024))),
    ("7:2,12:0-1", [7170, 12288, 12289]),
    ("500-502:0", [512000, 513024, 514048]),
    ("500-501:3-4", [512003, 512004, 513027, 513028]),
    ("500-501", list(range(500 * 1024, 502 * 1024))),
])
def test_signal_texts(text, codes):
    assert cli.parse_signals(text).tolist() == codes


def test_version():
    done = run("--version")
    assert done.returncode == 0 and done.stdout == f"zentrail {zentrail.__version__}\n"


def test_the_help_the_docs_show_is_the_commands():
    # Shown but not run by the page's test (older Pythons head the options
    # otherwise): compared here, so that a new command or option reaches it.
    page = (Path(__file__).resolve().parents[2] / "docs" / "cli.md").read_text(encoding="utf-8")
    shown = page.split("```sh\n.venv/bin/zentrail --help\n```\n", 1)[1].split("```\n", 2)[1]
    done = run("--help", env={**os.environ, "COLUMNS": "100"})
    assert done.returncode == 0
    assert done.stdout.replace("optional arguments:", "options:") == shown


@pytest.mark.parametrize("form", ["csv", "arrow"])
def test_export_to_standard_output(form):
    pyarrow = pytest.importorskip("pyarrow") if form == "arrow" else None  # the light test runs lack it
    codes = cli.parse_signals("5-7:0")
    done = run("export", SAMPLE, *WINDOW, "--signals", "5-7:0", "-o", "-", *(["--format", "arrow"] * (form == "arrow")),
               text=False)
    assert done.returncode == 0, done.stderr
    expected = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", codes).select(*COLUMNS).to_numpy()
    if form == "csv":
        rows = list(csv.DictReader(io.StringIO(done.stdout.decode())))
        assert [r["class_name"] for r in rows] == expected["class_name"].tolist()
        assert [int(r["signal_id"]) for r in rows] == expected["signal_id"].tolist()
    else:
        table = pyarrow.ipc.open_stream(done.stdout).read_all()
        assert table.column("subtype_name").to_pylist() == expected["subtype_name"].tolist()
        np.testing.assert_array_equal(table.column("value").to_numpy(), expected["value"])


@pytest.fixture
def empty_folder(tmp_path):
    folder = tmp_path / "empty"
    folder.mkdir()
    return folder


@pytest.mark.parametrize("args, text", [
    (["export", SAMPLE, *WINDOW, "--signals", "99", "-o", "{out}.parquet"], "--signals 99: no value"),
    (["export", SAMPLE, *WINDOW, "--signals", "99", "-o", "-"], "--signals 99: no value"),
    (["plot", SAMPLE, *WINDOW, "--signals", "99", "-o", "{out}.png"], "--signals 99: no value"),
    (["events", SAMPLE, *WINDOW, "--ids", "99"], "--ids 99: no alarm"),
    (["events", SAMPLE, *WINDOW, "--ids", "99", "-o", "{out}.csv"], "--ids 99: no alarm"),
    (["ls", "{empty}"], "no archive file"),
    (["ls", SAMPLE, "--from", "2025-01-01"], "no record from 2025-01-01"),
])
def test_a_selection_of_nothing_exits_1_unless_allowed(tmp_path, empty_folder, args, text):
    if any(a.endswith((".parquet", ".png")) for a in args):
        pytest.importorskip("pyarrow" if args[0] == "export" else "matplotlib")
    args = [a.format(out=tmp_path / "out", empty=empty_folder) for a in args]
    done = run(*args)
    assert done.returncode == 1 and text in done.stderr, done.stderr
    assert sorted(os.listdir(tmp_path)) == ["empty"]
    assert run(*args, "--allow-empty").returncode == 0


T = ab.at("12:00:00")


def archive_of(root, files, last=()):
    """`files` day files of 2,000 groups each; `last` records end the last one."""
    group = ab.group("GrWord", T, 5, [1, 2])
    for n in range(files):
        ab.write_archive(root / f"2024-03-01_{n}.vlx", [ab.date_mark(DAY), *[group] * 2000,
                                                        *(last if n == files - 1 else ())])
    return root


def leaves_old_output(tmp_path, suffix, *, how, **options):
    """Runs an export over a previous output; it must fail as `how` says and
    leave the previous file as it was, and no temporary file."""
    out = tmp_path / "out" / f"x{suffix}"
    out.parent.mkdir()
    out.write_bytes(b"previous")
    done = run("export", tmp_path / "tree", "--from", "2024-03-01", "--to", "2024-03-01", "--signals", "5",
               "-o", out, "--threads", "1", "--batch-rows", "1000", **options)  # rows are written before the failure
    assert out.read_bytes() == b"previous" and os.listdir(out.parent) == ["x" + suffix], done.stderr
    assert f"nothing was written to {out}" in done.stderr and how in done.stderr, done.stderr
    return done


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".arrow"])
def test_a_failed_export_leaves_the_previous_file(tmp_path, suffix):
    if suffix != ".csv":
        pytest.importorskip("pyarrow")
    archive_of(tmp_path / "tree", 4, last=[bytes.fromhex("0000 00000000 0D 00")])  # reserved class 13
    done = leaves_old_output(tmp_path, suffix, how="2024-03-01_3.vlx")
    assert done.returncode == 1


def test_a_full_disk_leaves_the_previous_file(tmp_path):
    archive_of(tmp_path / "tree", 4)

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (50_000, 50_000))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails with EFBIG instead
    done = leaves_old_output(tmp_path, ".csv", how="File too large", preexec_fn=small_files)
    assert done.returncode == 1


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_ctrl_c_leaves_the_previous_file(tmp_path, suffix):
    if suffix != ".csv":
        pytest.importorskip("pyarrow")
    archive_of(tmp_path / "tree", 1)
    for n in range(1, 3000):  # links: some 12 million rows, far more than the test waits for
        os.link(tmp_path / "tree" / "2024-03-01_0.vlx", tmp_path / "tree" / f"2024-03-01_{n:04d}.vlx")
    out = tmp_path / "out" / f"x{suffix}"
    out.parent.mkdir()
    out.write_bytes(b"previous")
    child = subprocess.Popen([sys.executable, "-m", "zentrail.cli", "export", tmp_path / "tree", "--from",
                              "2024-03-01", "--to", "2024-03-01", "--signals", "5", "-o", out],
                             stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint)
    deadline = time.monotonic() + 30
    while len(os.listdir(out.parent)) < 2 and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.005)
    time.sleep(0.2)
    child.send_signal(signal.SIGINT)
    stderr = child.communicate(timeout=60)[1]
    assert child.returncode == 130, stderr
    assert out.read_bytes() == b"previous" and os.listdir(out.parent) == [out.name]
    assert f"interrupted; nothing was written to {out}" in stderr


def interrupted_export(tree, out, delay, burst, rng):
    """(exit status, standard error) of a CSV export interrupted `delay`
    seconds into its formatting (its temporary file has begun to fill), then,
    with `burst`, Ctrl-C pressed again every few milliseconds until it ends;
    a Ctrl-C that is lost shows as an export that runs on."""
    child = subprocess.Popen([sys.executable, "-m", "zentrail.cli", "export", tree, "--from", "2024-03-01", "--to",
                              "2024-03-01", "--signals", "5", "-o", out], stderr=subprocess.PIPE, text=True,
                             preexec_fn=default_sigint)
    deadline = time.monotonic() + 30
    while child.poll() is None and time.monotonic() < deadline:
        if any(f.stat().st_size > 0 for f in out.parent.iterdir() if f.name != out.name):
            break
        time.sleep(0.002)
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    while burst and child.poll() is None:
        time.sleep(rng.uniform(0, 0.01))
        child.send_signal(signal.SIGINT)
    try:
        return child.wait(timeout=10), child.communicate()[1]
    except subprocess.TimeoutExpired:
        child.kill()
        return "still running 10 s after Ctrl-C", child.communicate()[1]


@pytest.mark.slow
def test_a_sigint_storm_during_csv_formatting_never_lets_an_export_through(tmp_path):
    # Some seconds of export (6 million rows: the core formats a million
    # rows in a fraction of a second), each run interrupted at a random
    # moment of the text formatting, half of them by a burst of presses;
    # with a previous file and without one.
    archive_of(tmp_path / "tree", 1)
    for n in range(1, 1500):
        os.link(tmp_path / "tree" / "2024-03-01_0.vlx", tmp_path / "tree" / f"2024-03-01_{n:04d}.vlx")
    out = tmp_path / "out" / "x.csv"
    out.parent.mkdir()
    rng = random.Random(8)
    failures = []
    for attempt in range(24):
        previous = attempt % 2 == 0
        if previous:
            out.write_bytes(b"previous")
        status, stderr = interrupted_export(tmp_path / "tree", out, rng.uniform(0, 0.4), attempt % 4 >= 2, rng)
        left = sorted(os.listdir(out.parent))
        if status != 130 or left != [out.name] * previous or (previous and out.read_bytes() != b"previous") \
                or f"interrupted; nothing was written to {out}" not in stderr:
            failures.append((attempt, status, left, stderr[-300:]))
        for name in left:
            os.unlink(out.parent / name)
    assert failures == [], "\n".join(map(repr, failures))


@pytest.mark.parametrize("suffix", [".parquet", ".arrow"])
def test_events_file_whose_first_batch_holds_no_text(tmp_path, suffix):
    pyarrow = pytest.importorskip("pyarrow")
    ab.write_archive(tmp_path / "2024-03-01_a.vlx", [ab.date_mark(DAY), ab.alarm("AlByte", T, 9, 3)])
    ab.write_archive(tmp_path / "2024-03-01_b.vlx", [ab.date_mark(DAY), ab.string_alarm(T, 13, "door open")])
    out = tmp_path / f"e{suffix}"
    done = run("events", tmp_path, "--from", "2024-03-01", "--to", "2024-03-01", "--threads", "1", "-o", out)
    assert done.returncode == 0, done.stderr
    table = pyarrow.parquet.read_table(out) if suffix == ".parquet" else pyarrow.ipc.open_file(out).read_all()
    assert table.schema.field("text").type == pyarrow.string()
    assert table.column("text").to_pylist()[-2:] == [None, "door open"]
    assert table.column("class_name").to_pylist()[-2:] == ["AlByte", "AlString"]


@given(st.lists(st.floats(width=64), max_size=50))
def test_value_texts_are_the_shortest_round_trip(values):
    def reference(v):
        if v != v:
            return ""
        if v.is_integer() and abs(v) < 2.0 ** 63:
            return str(int(v))
        return repr(v)
    texts = number_texts(np.array(values, dtype=np.float64)).tolist()
    assert texts == [reference(v) for v in values]


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".arrow"])
@pytest.mark.parametrize("options", [["--every", "1h"], ["--every", "25min", "--how", "linear", "--max-gap", "20min",
                                                         "--lookback", "none", "--batch-rows", "5"],
                                     ["--every", "25min", "--how", "step", "--lookback", "1d"]])
def test_export_every_writes_the_aligned_table(tmp_path, suffix, options):
    if suffix != ".csv":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"grid{suffix}"
    done = run("export", SAMPLE, "--from", "2024-03-02", "--to", "2024-03-02", "--signals", "7:0-1,12:0", *options,
               "-o", out)
    assert done.returncode == 0, done.stderr
    how = options[options.index("--how") + 1] if "--how" in options else None
    gap = "20min" if "--max-gap" in options else None
    lookback = options[options.index("--lookback") + 1] if "--lookback" in options else "7d"
    lookback = None if lookback == "none" else lookback
    expected = zentrail.scan(SAMPLE, "2024-03-02", "2024-03-02", cli.parse_signals("7:0-1,12:0")).align(
        options[1], how=how, max_gap=gap, lookback=lookback).to_numpy()
    # Named by the sample archive's catalog.
    assert list(expected) == ["time", "Furnace1.Zone1.Temp", "Furnace1.Zone2.Temp", "Tank1.LevelAlarm"]
    if suffix == ".csv":
        rows = csv_rows(out)
        got = {"time": np.array([r["time"].replace(" ", "T") for r in rows], dtype="datetime64[ns]")}
        got.update({name: [float(r[name]) if r[name] else float("nan") for r in rows] for name in expected if
                    name != "time"})
    else:
        import pyarrow.ipc
        import pyarrow.parquet

        table = pyarrow.parquet.read_table(out) if suffix == ".parquet" else pyarrow.ipc.open_file(out).read_all()
        got = {name: table.column(name).to_numpy() for name in table.column_names}
        assert table.schema.field("Furnace1.Zone2.Temp").metadata == {b"unit": "°C".encode(),
                                                                      b"description": b"Furnace 1 temperature in zone 2"}
    assert list(got) == list(expected)
    for name, column in expected.items():
        np.testing.assert_array_equal(np.asarray(got[name], dtype=column.dtype), column)


@pytest.mark.parametrize("options, status, message", [
    (["--every", "0s"], 2, "--every must be longer than zero"),
    (["--every", "100000000000000000000d"], 2, "--every must be at most 100000d"),
    (["--every", "1h", "--lookback", "200000d"], 2, "--lookback must be at most 100000d"),
    (["--every", "1h", "--how", "cubic"], 2, "invalid choice: 'cubic'"),
    (["--every", "1h", "--max-gap", "soon"], 2, "--max-gap"),
    (["--how", "linear"], 2, "go with --every"),
    (["--every", "1h", "--signals", "99"], 1, "no value in force"),
])
def test_export_every_arguments(tmp_path, options, status, message):
    signals = [] if "--signals" in options else ["--signals", "7:0"]
    done = run("export", SAMPLE, "--from", "2024-03-02", "--to", "2024-03-02", *signals, *options,
               "-o", tmp_path / "x.csv")
    assert done.returncode == status and message in done.stderr, done.stderr
    assert not (tmp_path / "x.csv").exists()


@pytest.mark.parametrize("command, option", [
    (["export", SAMPLE, *WINDOW, "--signals", "7:0", "-o", "-", "--every"], "--every"),
    (["export", SAMPLE, *WINDOW, "--signals", "7:0", "-o", "-", "--every", "1h", "--max-gap"], "--max-gap"),
    (["export", SAMPLE, *WINDOW, "--signals", "7:0", "-o", "-", "--every", "1h", "--lookback"], "--lookback"),
    (["sync", SAMPLE, "LAKE", "--signals", "7:0", "--every"], "--every"),
    (["sync", SAMPLE, "LAKE", "--signals", "7:0", "--watch", "--commit-every"], "--commit-every"),
    (["view", SAMPLE, "--live", "--poll"], "--poll"),
])
@pytest.mark.parametrize("value, says", [("100000000000000000000d", "must be at most 100000d"),
                                         ("1 week", "is not a duration"), ("0", "must be longer than zero")])
def test_every_duration_option_is_checked_before_anything_is_read(tmp_path, command, option, value, says):
    # exit status 2 is a bad argument, found before anything is read; a lake would be made by a read
    lake = tmp_path / "lake"
    done = run(*[lake if part == "LAKE" else part for part in command], value)
    assert done.returncode == 2, done.stderr
    assert f"{option} {says}" in done.stderr or f"{option}: {value!r} {says}" in done.stderr, done.stderr
    assert not lake.exists()


def test_a_grid_is_interpolated_as_the_catalog_says_unless_how_says_otherwise(tmp_path):
    pytest.importorskip("pyarrow")
    # Furnace1.Zone1.Temp is linear in the sample's catalog, Tank1.LevelAlarm a step; rows every 10 minutes.
    scan = zentrail.scan(SAMPLE, "2024-03-02", "2024-03-02", [7 * 1024, 12 * 1024])
    step, linear = (scan.align("25min", how=how).to_numpy() for how in ("step", "linear"))
    assert step["Furnace1.Zone1.Temp"][1] != linear["Furnace1.Zone1.Temp"][1]
    for how, expected in ((None, {**step, "Furnace1.Zone1.Temp": linear["Furnace1.Zone1.Temp"]}),
                          ("catalog", scan.align("25min").to_numpy()), ("step", step), ("linear", linear)):
        out = tmp_path / f"{how}.csv"
        done = run("export", SAMPLE, "--from", "2024-03-02", "--to", "2024-03-02", "--signals", "7:0,12:0",
                   "--every", "25min", *(["--how", how] if how else []), "-o", out)
        assert done.returncode == 0, done.stderr
        rows = csv_rows(out)
        for name in ("Furnace1.Zone1.Temp", "Tank1.LevelAlarm"):
            np.testing.assert_array_equal([float(r[name]) if r[name] else np.nan for r in rows], expected[name],
                                          err_msg=f"{how} {name}")
    # A lake's grid has one kind: the catalog's, where it gives one.
    assert cli.main(["sync", SAMPLE, str(tmp_path / "lake"), "--signals", "7:0", "--every", "25min"]) == 0
    import pyarrow.dataset

    got = pyarrow.dataset.dataset(tmp_path / "lake", partitioning="hive").to_table().sort_by("time")
    linear = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-01", [7 * 1024]).align("25min", how="linear").to_numpy()
    np.testing.assert_array_equal(got["Furnace1.Zone1.Temp"].to_numpy()[:len(linear["time"])],
                                  linear["Furnace1.Zone1.Temp"])
    assert cli.main(["sync", SAMPLE, str(tmp_path / "mixed"), "--signals", "7:0,12:0", "--every", "25min"]) == 2
    assert not (tmp_path / "mixed").exists()


@pytest.mark.parametrize("args, status, says", [
    (["export", SAMPLE, *WINDOW, "--signals", "Furnace1.Zone1*,5:0", "-o", "-"], 0, "Furnace1.Zone1.Temp"),
    (["export", SAMPLE, *WINDOW, "--signals", "Furnace1.Zone1.Tmp", "-o", "-"], 2, "close names: 'Furnace1.Zone1.Temp'"),
    (["export", SAMPLE, *WINDOW, "--signals", "Tank1.Level", "--no-catalog", "-o", "-"], 2, "no catalog of names"),
    (["events", SAMPLE, *WINDOW, "--ids", "Tank1.*", "--no-system", "--csv"], 0, "AlByte"),
    (["ls", SAMPLE, "--unmatched", "--catalog", "CATALOG", "--csv"], 0, "archive,7,3,\ncatalog,9,-1,Pump3.Flow"),
])
def test_commands_take_names(tmp_path, args, status, says):
    catalog = tmp_path / "catalog.csv"
    catalog.write_text("signal_id,element,name\n5,,Tanks\n7,0,Z1\n7,1,Z2\n7,2,Z3\n12,,A\n13,,N\n9,,Pump3.Flow\n",
                       encoding="utf-8")
    done = run(*[str(catalog) if a == "CATALOG" else a for a in args])
    assert done.returncode == status, done.stderr
    assert says in (done.stdout if status == 0 else done.stderr)
    if args[0] == "export" and status == 0:
        rows = list(csv.DictReader(io.StringIO(done.stdout)))
        assert {(r["signal_id"], r["element"], r["name"]) for r in rows} == {("7", "0", "Furnace1.Zone1.Temp"),
                                                                             ("5", "0", "Tank1.Level")}


def test_a_program_calling_main_has_its_ctrl_c_back_after_an_interrupted_command(monkeypatch, tmp_path):
    import zentrail.cli.parser

    def pressed(args):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(10)  # the press ends the wait

    monkeypatch.setattr(zentrail.cli.parser, "check", pressed)
    # As in a program run from a terminal (a test run in the background
    # starts with SIGINT ignored).
    outer = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        assert cli.main(["ls", str(tmp_path)]) == 130
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        signal.signal(signal.SIGINT, outer)


def test_ctrl_c_just_after_the_file_is_in_place_says_it_was_written(monkeypatch, tmp_path, capsys):
    # The press comes as the rename returns (the folder's flush is next):
    # the new file is there whole, and the message must not say otherwise.
    from zentrail._base import atomic as _atomic

    def pressed(folder):
        raise KeyboardInterrupt

    archive_of(tmp_path / "tree", 1)
    out = tmp_path / "x.csv"
    out.write_bytes(b"previous")
    monkeypatch.setattr(_atomic, "_flush_folder", pressed)
    assert cli.main(["export", str(tmp_path / "tree"), "--from", "2024-03-01", "--to", "2024-03-01", "--signals",
                     "5", "-o", str(out)]) == 130
    assert out.read_bytes().startswith(b"time,") and sorted(os.listdir(tmp_path)) == ["tree", "x.csv"]
    assert f"interrupted; {out} was written whole before this" in capsys.readouterr().err


@pytest.mark.parametrize("signals, element", [("Z[1]", 3), ("=Z[1]", 3), ("Z[12]", 1)])
def test_signals_take_a_name_with_brackets_as_itself(tmp_path, signals, element):
    catalog = tmp_path / "catalog.csv"
    catalog.write_text("signal_id,element,name\n7,1,Z1\n7,3,Z[1]\n", encoding="utf-8")
    done = run("export", SAMPLE, *WINDOW, "--signals", signals, "--catalog", catalog, "-o", "-")
    assert done.returncode == 0, done.stderr
    assert {(r["element"], r["name"]) for r in csv.DictReader(io.StringIO(done.stdout))} == \
        {(str(element), "Z1" if element == 1 else "Z[1]")}


def test_a_commands_warnings_are_said_in_its_own_voice(tmp_path):
    # An element no file holds: the scan's warning, then the command's own failure.
    done = run("export", SAMPLE, *WINDOW, "--signals", "7:999", "-o", "-")
    lines = done.stderr.splitlines()
    assert done.returncode == 1 and len(lines) == 2, done.stderr
    assert lines[0].startswith("zentrail export: zentrail.scan: no row for the codes 8167")
    assert lines[1].startswith("zentrail export: --signals 7:999: no value")
    done = run("export", tmp_path, *WINDOW, "--all", "-o", "-", "--allow-empty")
    assert done.returncode == 0 and done.stderr.splitlines()[0] == \
        f"zentrail export: zentrail.scan: no archive file (YYYY-MM-DD_*.vlx) under {str(tmp_path)!r}, so no row"
