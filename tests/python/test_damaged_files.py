"""errors="warn" and "skip": a damaged file gives what it held before its
malformed record, the read goes on with the next file, and each damaged file
is reported once (Scan.skipped, a UserWarning naming file and byte)."""

import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
import zentrail
from archive_builder import END, archive, at, date_mark, group, write_archive
from conftest import DAY

WINDOW = ("2024-03-01", "2024-03-03")
BAD = bytes.fromhex("0000 00000000 0D 00")  # reserved class 13


def records(hour, signal):
    return [group("GrDouble", at(f"{hour:02}:{minute:02}:00"), id=signal, values=[hour + minute / 100, -1.0])
            for minute in range(0, 60, 7)]


def tree(root, bad_at):
    """Three day files of signals 5 and 6; the second damaged after `bad_at`
    of its records. Returns the damaged file's path and its malformed
    record's byte offset."""
    paths = []
    for day, name in ((1, "2024-03-01_a.vlx"), (2, "2024-03-02_a.vlx"), (3, "2024-03-03_a.vlx")):
        body = records(day, 5) + records(day + 10, 6)
        if day == 2:
            body = body[:bad_at] + [BAD] + body[bad_at:]
        paths.append(write_archive(root / name, [archive(date_mark(DAY.replace(day=day)), *body, END)]))
    damaged = str(root / "2024-03-02_a.vlx")
    offset = 6 + sum(len(r) for r in (records(2, 5) + records(12, 6))[:bad_at])
    return damaged, offset


def cut(path, offset):
    with open(path, "rb+") as file:
        file.truncate(offset)


def columns_equal(a, b):
    assert list(a) == list(b)
    for name in a:
        assert np.array_equal(a[name], b[name], equal_nan=True), name


def limited(scan, bad_at):
    # The limit ends in the third file: past the damaged file's rows (36 a
    # file, 2 a record), so the read meets its malformed record.
    narrowed = scan.limit(36 + 2 * bad_at + 5).where(signal_ids=[5])
    return narrowed.to_numpy(), narrowed.skipped


def overview(scan, bad_at):
    result = scan.overview(7)
    return result.to_numpy(), result.skipped


READS = {
    "to_numpy": lambda scan, bad_at: (scan.to_numpy(), scan.skipped),
    "iteration": lambda scan, bad_at: ({name: np.concatenate([batch[name] for batch in scan]) for name in scan.columns},
                               scan.skipped),
    "limited": limited,
    "overview": overview,
}


@pytest.mark.parametrize("read", list(READS))
@pytest.mark.parametrize("bad_at, threads", [(0, 1), (3, 3), (9, 1), (16, 2)])
def test_skip_equals_the_scan_of_the_damaged_file_cut_at_its_malformed_record(tmp_path, read, bad_at, threads):
    damaged, offset = tree(tmp_path, bad_at)
    got, skipped = READS[read](zentrail.scan(tmp_path, *WINDOW, threads=threads, batch_rows=5, errors="skip"), bad_at)
    assert skipped == [(damaged, offset, "malformed record")]
    with pytest.raises(ValueError):
        READS[read](zentrail.scan(tmp_path, *WINDOW, threads=threads, batch_rows=5), bad_at)
    cut(damaged, offset)
    columns_equal(got, READS[read](zentrail.scan(tmp_path, *WINDOW, threads=threads, batch_rows=5), bad_at)[0])


def test_warn_names_the_file_and_the_byte_once_per_read(tmp_path):
    damaged, offset = tree(tmp_path, 4)
    scan = zentrail.scan(tmp_path, *WINDOW, errors="warn")
    with pytest.warns(UserWarning) as caught:
        scan.to_numpy()
    messages = [str(w.message) for w in caught]
    assert len(messages) == 1 and repr(damaged) in messages[0] and f"byte {offset}" in messages[0]
    assert caught[0].filename == __file__  # points at the caller, not into the package
    assert scan.skipped == [zentrail.Skipped(damaged, offset, "malformed record")]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning, match="byte"):
            zentrail.scan(tmp_path, *WINDOW, errors="warn").to_numpy()
        assert len(zentrail.scan(tmp_path, *WINDOW, errors="skip").to_numpy()["time"]) > 0


def test_the_arrow_stream_and_the_results_go_on_too(tmp_path):
    pyarrow = pytest.importorskip("pyarrow")
    damaged, offset = tree(tmp_path, 2)
    os.symlink("nowhere", tmp_path / "2024-03-02_b.vlx")  # cannot be opened
    scan = zentrail.scan(tmp_path, *WINDOW, errors="warn")
    with pytest.warns(UserWarning) as caught:
        table = pyarrow.table(scan)
    assert len(caught) == 2 and [s.offset for s in scan.skipped] == [offset, None]
    assert "No such file" in scan.skipped[1].message
    assert table.num_rows == len(zentrail.scan(tmp_path, *WINDOW, errors="skip").to_numpy()["time"])
    for result in (zentrail.inventory(tmp_path, errors="skip"), zentrail.events(tmp_path, *WINDOW, errors="skip"),
                   zentrail.scan(tmp_path, *WINDOW).overview(3, errors="skip")):
        result.to_numpy()
        assert [s.path for s in result.skipped] == [damaged, str(tmp_path / "2024-03-02_b.vlx")]
    with pytest.raises(ValueError, match="errors must be"):
        zentrail.inventory(tmp_path, errors="ignore")


@pytest.mark.parametrize("command", [["ls"], ["export", "--all", "-o", "-"], ["events", "--allow-empty"]])
@pytest.mark.parametrize("mode", ["warn", "skip"])
def test_commands_go_on_and_say_what_they_passed_over(tmp_path, command, mode):
    (tmp_path / "root").mkdir()
    damaged, offset = tree(tmp_path / "root", 5)
    args = [sys.executable, "-m", "zentrail.cli", command[0], str(tmp_path / "root"), "--from", WINDOW[0],
            "--to", WINDOW[1], *command[1:], "--on-error", mode]
    done = subprocess.run(args, capture_output=True, text=True, env={**os.environ, "PYTHONWARNINGS": "error"})
    assert done.returncode == 0, done.stderr
    lines = done.stderr.splitlines()
    assert any(line.startswith(f"zentrail {command[0]}: passed over 1 damaged file") for line in lines)
    assert (sum(damaged in line and f"byte {offset}" in line for line in lines) == 1) == (mode == "warn")
    failed = subprocess.run(args[:-2], capture_output=True, text=True)
    assert failed.returncode == 1 and damaged in failed.stderr


@pytest.mark.parametrize("series", [lambda scan: scan.align("1h"), lambda scan: scan.overview(5, time_weighted=True)],
                         ids=["align", "time-weighted overview"])
@pytest.mark.parametrize("errors", ["warn", "skip"])
def test_a_grid_never_carries_a_value_across_a_damaged_file(tmp_path, series, errors):
    # A value in force would be carried on over the rows the damaged file
    # lost: the time series fail there whatever the scan's errors mode.
    damaged, offset = tree(tmp_path, 3)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nor a warning that the read went on
        with pytest.raises(ValueError) as failed:
            series(zentrail.scan(tmp_path, *WINDOW, errors=errors)).to_numpy()
    assert f"{damaged!r}, malformed record at byte {offset}" in str(failed.value)
