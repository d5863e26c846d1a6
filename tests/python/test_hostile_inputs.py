"""read() on what really lies on a plant's disk: files cut short, random
bytes, files still being written, special files named like archives, odd
trees, and many calls and threads."""

from __future__ import annotations

import os
import resource
import subprocess
import sys
import textwrap
import threading
from datetime import date

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import archive_builder as ab
import archive_model
import zentrail
from conftest import DAY, END_OF_DAY, START, code, day_file, leaves_nothing_behind, open_fds

WHOLE = ("2000-01-01 00:00:00", "2179-12-31 23:59:59")
T = ab.at("12:00:00")

EVERY_CLASS = ab.archive(
    ab.date_mark(DAY),
    ab.system(T, 1, 54),
    *(ab.alarm(kind, T, 5, value=0x1234, param=2) for kind in ab.ALARM_CLASSES),
    ab.string_alarm(T, 5, "valve 7 closed"),
    *(ab.group(kind, T, 5, [1, 0, 1] if kind == "GrBool" else [1, 2, 3]) for kind in ab.GROUP_CLASSES),
    ab.date_mark(date(2024, 3, 2)),
    ab.group("GrWord", T, 5, [7, 8]),
)
ALL_OF_5 = [code(5, n) for n in range(4)]


def test_every_prefix_reads_the_records_before_the_cut(tmp_path):
    path = tmp_path / "2024-03-01_a.vlx"
    rows_before = None
    for cut in range(len(EVERY_CLASS) + 1):
        path.write_bytes(EVERY_CLASS[:cut])
        rows = zentrail.read(str(tmp_path), *WHOLE, ALL_OF_5)
        assert rows == archive_model.expected_read(str(tmp_path), *WHOLE, ALL_OF_5), cut
        assert rows_before is None or rows[:len(rows_before)] == rows_before  # only ever grows
        rows_before = rows
    assert len(rows_before) > 20


@pytest.mark.slow
@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=3000) | st.lists(st.sampled_from([EVERY_CLASS[:40], b"\x80\x00", b"\xff", b"\x15\x03"]))
       .map(b"".join))
def test_random_bytes_read_as_the_model_says(tmp_path_factory, data):
    root = tmp_path_factory.mktemp("random")
    (root / "2024-03-01_r.vlx").write_bytes(data)
    expected = archive_model.expected_read(str(root), *WHOLE, ALL_OF_5 + [code(0), code(1)])
    try:
        actual = zentrail.read(str(root), *WHOLE, ALL_OF_5 + [code(0), code(1)])
    except ValueError:
        actual = ValueError
    assert repr(actual) == repr(expected)  # repr: NaN equals NaN


@pytest.mark.slow
def test_a_file_growing_while_it_is_read(tmp_path):
    """A writer appends numbered records in small writes while a large read
    runs: every complete record is read at most once, in order, and the
    values form an unbroken run from the start."""
    path = tmp_path / "2024-03-01_live.vlx"
    record = lambda n: ab.group("GrLong", T, 9, [n, -n])
    path.write_bytes(ab.date_mark(DAY) + b"".join(record(n) for n in range(400_000)))
    writer = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import struct, sys, time
        with open({str(path)!r}, "ab", buffering=0) as f:
            for n in range(400_000, 700_000):
                data = {record(0)[:10]!r} + struct.pack(">ii", n, -n)
                f.write(data[:7]); f.write(data[7:])
    """)])
    reads = []
    try:
        while writer.poll() is None or len(reads) < 3:
            reads.append([row[7] for row in zentrail.read(str(tmp_path), START, END_OF_DAY, [code(9, 0)])])
    finally:
        writer.wait()
    reads.append([row[7] for row in zentrail.read(str(tmp_path), START, END_OF_DAY, [code(9, 0)])])
    for values in reads:
        assert values == list(range(len(values))) and len(values) >= 400_000
    assert any(400_000 < len(values) < 700_000 for values in reads)  # some read met the writer midway
    assert len(reads[-1]) == 700_000  # once the writer is done, everything


@pytest.fixture
def special_files(tmp_path):
    """A regular archive file among a named pipe, a directory and a character
    device (through a symbolic link), all named like archive files."""
    day_file(tmp_path, ab.group("GrWord", T, 5, [42]), name="2024-03-01_b.vlx")
    os.mkfifo(tmp_path / "2024-03-01_a-pipe.vlx")
    (tmp_path / "2024-03-01_c-dir.vlx").mkdir()
    (tmp_path / "2024-03-01_d-device.vlx").symlink_to("/dev/zero")
    return tmp_path


def test_special_files_read_as_empty(special_files):
    # In a child process, so that a read that blocked on the pipe or read the
    # device without end fails the test instead of hanging it.
    script = f"import zentrail; print(zentrail.read({str(special_files)!r}, {START!r}, {END_OF_DAY!r}, [5120]))"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[(2024, 3, 1, 12, 0, 0, 0, 42, None, None, 1, 5)]"


def test_a_deep_tree(tmp_path):
    folder = tmp_path
    for depth in range(100):
        folder = folder / f"level{depth}"
    day_file(folder, ab.group("GrWord", T, 5, [42]))
    assert [r[7] for r in zentrail.read(str(tmp_path), START, END_OF_DAY, [5120])] == [42]


def test_a_tree_deeper_than_the_open_file_limit_is_walked_and_read(tmp_path):
    """The walk keeps a few directories open whatever the depth: 300 levels
    under a limit of 64 open files are walked and their file read."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    try:
        folder = tmp_path
        for depth in range(300):
            folder = folder / "d"
        folder.mkdir(parents=True)
        day_file(folder, ab.group("GrWord", T, 5, [42]))
        with leaves_nothing_behind([5120]):
            assert [r[7] for r in zentrail.read(str(tmp_path), START, END_OF_DAY, [5120])] == [42]
    finally:
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))


@pytest.mark.slow
def test_a_hundred_thousand_files_in_one_folder(tmp_path):
    for n in range(100_000):
        (tmp_path / f"other-{n}.dat").touch()
    day_file(tmp_path, ab.group("GrWord", T, 5, [42]))
    assert [r[7] for r in zentrail.read(str(tmp_path), START, END_OF_DAY, [5120])] == [42]


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_ten_thousand_calls_leave_nothing_behind(tmp_path):
    good = tmp_path / "good"
    day_file(good, *[ab.group("GrFloat", T, 5, [0.5, 1.5])] * 50)
    bad = tmp_path / "bad"
    day_file(bad, ab.group("GrWord", T, 5, [1]))
    ab.write_archive(bad / "2024-03-01_z.vlx", [b"\x00\x00\x00\x00\x00\x00\x0d\x00"])
    missing = tmp_path / "missing"
    unopenable = tmp_path / "unopenable"
    unopenable.mkdir()
    (unopenable / "2024-03-01_x.vlx").symlink_to("nowhere")
    signals = [5120, 5121]
    calls = [
        lambda: zentrail.read(str(good), START, END_OF_DAY, signals),
        lambda: zentrail.read(str(bad), START, END_OF_DAY, signals),
        lambda: zentrail.read(str(missing), START, END_OF_DAY, signals),
        lambda: zentrail.read(str(unopenable), START, END_OF_DAY, signals),
        lambda: zentrail.read(str(good), START, END_OF_DAY, [5120, "x"]),
        lambda: zentrail.read(str(good), START, END_OF_DAY, [1 << 70]),
        lambda: zentrail.read(str(good), START, END_OF_DAY, (5120,)),
        lambda: zentrail.read(str(good), START, END_OF_DAY),
    ]

    def run_all(rounds):
        for _ in range(rounds):
            for call in calls:
                try:
                    call()
                except (ValueError, OSError, TypeError, OverflowError):
                    pass

    run_all(50)  # settle caches and the allocator
    fds, counts, rss = open_fds(), [sys.getrefcount(signals)] + [sys.getrefcount(s) for s in signals], resident_kib()
    run_all(10_000 // len(calls))
    assert open_fds() == fds
    assert [sys.getrefcount(signals)] + [sys.getrefcount(s) for s in signals] == counts
    assert resident_kib() - rss < 4096  # nothing grows per call


def test_threads_read_what_one_thread_reads(tmp_path):
    for k in range(4):
        day = date(2024, 3, 1 + k)
        day_file(tmp_path, *[ab.group("GrLong", T + n, 5, [n, k]) for n in range(2000)],
                 name=f"{day:%Y-%m-%d}_t.vlx", day=day)
    args = (str(tmp_path), "2024-03-01 00:00:00", "2024-03-04 23:59:59", [5120, 5121])
    serial = zentrail.read(*args)
    results = [None] * 6

    def worker(slot):
        results[slot] = [zentrail.read(*args) for _ in range(5)]

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(rows == serial for batch in results for rows in batch)
    assert len(serial) == 16_000
