"""The zentrail command on the sample archive: ls, export read back equal to
scan, events, and its exit statuses."""

from __future__ import annotations

import csv
import io
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import zentrail
from zentrail import cli

SAMPLE = str(Path(__file__).resolve().parents[2] / "examples" / "sample-archive")
WINDOW = ["--from", "2024-03-01", "--to", "2024-03-03"]


def run(*args):
    return subprocess.run([sys.executable, "-m", "zentrail.cli", *map(str, args)], capture_output=True, text=True)


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


@pytest.mark.parametrize("suffix", [".csv", ".parquet", ".arrow"])
@pytest.mark.parametrize("signals", [["--signals", "7:0-3,12"], ["--all"]])
def test_export_reads_back_as_scan(tmp_path, suffix, signals):
    if suffix != ".csv":
        pytest.importorskip("pyarrow")
    out = tmp_path / f"out{suffix}"
    done = run("export", SAMPLE, *WINDOW, *signals, "-o", out)
    assert done.returncode == 0, done.stderr
    codes = None if signals == ["--all"] else cli.parse_signals(signals[1])
    expected = zentrail.scan(SAMPLE, "2024-03-01", "2024-03-03", codes).to_numpy()
    if suffix == ".csv":
        rows = list(csv.DictReader(out.open()))
        got = {name: [r[name] for r in rows] for name in expected}
        got["time"] = np.array([t.replace(" ", "T") for t in got["time"]], dtype="datetime64[ns]")
        got["value"] = [float(v) if v else float("nan") for v in got["value"]]
    else:
        import pyarrow.ipc
        import pyarrow.parquet

        table = pyarrow.parquet.read_table(out) if suffix == ".parquet" else pyarrow.ipc.open_file(out).read_all()
        got = {name: table.column(name).to_numpy() for name in expected}
    for name, column in expected.items():
        np.testing.assert_array_equal(np.asarray(got[name], dtype=column.dtype), column)


def test_events_prints_and_writes(tmp_path):
    done = run("events", SAMPLE, *WINDOW, "--ids", "13", "--no-system")
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert rows and {r["class_name"] for r in rows} == {"AlString"}
    assert rows[0]["text"] == "shift handover checked"
    assert run("events", SAMPLE, *WINDOW, "-o", tmp_path / "e.csv").returncode == 0
    assert len(list(csv.DictReader((tmp_path / "e.csv").open()))) == \
        len(zentrail.events(SAMPLE, "2024-03-01", "2024-03-03").to_numpy()["time"])


@pytest.mark.parametrize("args, status, text", [
    (["export", SAMPLE, *WINDOW, "-o", "x.csv"], 2, "exactly one of"),
    (["export", SAMPLE, "--from", "2024-13-01", "--to", "2024-03-03", "--all", "-o", "x.csv"], 2, "--from"),
    (["export", SAMPLE, *WINDOW, "--signals", "7:9-3", "-o", "x.csv"], 2, "--signals"),
    (["export", SAMPLE, *WINDOW, "--all", "-o", "x.txt"], 2, ".csv, .parquet or .arrow"),
    (["ls"], 2, "ROOT"),
    (["ls", "/nonexistent-zentrail"], 1, "nonexistent-zentrail"),
])
def test_exit_statuses(tmp_path, args, status, text):
    done = subprocess.run([sys.executable, "-m", "zentrail.cli", *args], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == status
    assert text in done.stderr


def test_a_malformed_file_exits_1_naming_file_and_offset(tmp_path):
    (tmp_path / "2024-03-01_a.vlx").write_bytes(b"\x80\x01\x00\x00\x00\x00")
    done = run("ls", tmp_path)
    assert done.returncode == 1
    assert "2024-03-01_a.vlx" in done.stderr and "at byte 0" in done.stderr
