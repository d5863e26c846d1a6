"""The faults of long and hostile reads, each mended: deep and wide trees
under memory limits, folders that vanish mid-walk, failed reads, warnings
for dropped requests, and signals that end a read."""

import errno
import os
import signal
import subprocess
import sys
import textwrap
import time
import warnings

import pytest
import zentrail
import archive_builder as ab
from conftest import DAY, END_OF_DAY, START, day_file, default_sigint, leaves_nothing_behind, open_fds

T = ab.at("12:00:00")


def remove_tree(path):
    # GNU rm walks trees of any depth; shutil.rmtree recurses in Python.
    subprocess.run(["rm", "-rf", str(path)], check=True)


def deep_tree(root, depth):
    """`depth` nested folders "d" under root, made by descriptor (the path
    may outgrow PATH_MAX), with an archive file at the bottom."""
    fd = os.open(root, os.O_RDONLY)
    try:
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            inner = os.open("d", os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
        data = ab.archive(ab.date_mark(DAY), ab.group("GrWord", T, 5, [42]), ab.END)
        out = os.open("2024-03-01_deep.vlx", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.write(out, data)
        os.close(out)
    finally:
        os.close(fd)


@pytest.fixture
def deep(tmp_path):
    deep_tree(tmp_path, 12_000)
    yield tmp_path
    remove_tree(tmp_path)


def test_a_twelve_thousand_level_tree_is_walked(deep):
    # The file at the bottom lies past PATH_MAX, where it cannot be opened by
    # its path; it is not in the window. The one at the top is.
    day_file(deep, ab.group("GrWord", T, 5, [42]))
    os.rename(deep / "d", deep / "2024-02-01_d")
    script = f"import zentrail; print(zentrail.read({str(deep)!r}, {START!r}, {END_OF_DAY!r}, [5120]))"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[(2024, 3, 1, 12, 0, 0, 0, 42, None, None, 1, 5)]"


@pytest.fixture(scope="module")
def wide(tmp_path_factory):
    root = tmp_path_factory.mktemp("wide")
    for n in range(300):
        (root / f"other-{n}").mkdir()
    for n in range(200_000):
        (root / f"other-{n % 300}" / f"file-{n:07d}.dat").touch()
    day_file(root, ab.group("GrWord", T, 5, [42]))
    yield root
    remove_tree(root)


@pytest.mark.parametrize("headroom_mib", [8, 16, 32, 64, 128])
@pytest.mark.parametrize("shape", ["deep", "wide"])
def test_memory_limits_give_memory_error_or_success(request, shape, headroom_mib):
    root = request.getfixturevalue(shape) if shape == "wide" else None
    if root is None:
        root = request.getfixturevalue("tmp_path")
        deep_tree(root, 1_800)
    script = textwrap.dedent(f"""
        import resource, sys, zentrail
        size = [l for l in open("/proc/self/status") if l.startswith("VmSize")][0].split()[1]
        resource.setrlimit(resource.RLIMIT_AS, (int(size) * 1024 + {headroom_mib} * 2 ** 20, resource.RLIM_INFINITY))
        try:
            print(len(zentrail.read({str(root)!r}, {START!r}, {END_OF_DAY!r}, [5120])))
        except MemoryError:
            print("MemoryError")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, (done.returncode, done.stderr)  # never 134, an abort
    assert done.stdout.strip() in ("1", "MemoryError")
    if shape == "deep":
        remove_tree(root)


def test_a_failed_read_raises_instead_of_ending_the_file(tmp_path):
    # Reading /proc/self/mem at offset 0 fails with EIO: a bad sector, as far
    # as the reader can tell.
    (tmp_path / "2024-03-01_mem.vlx").symlink_to("/proc/self/mem")
    with leaves_nothing_behind([5120]), pytest.raises(OSError) as raised:
        zentrail.read(str(tmp_path), START, END_OF_DAY, [5120])
    assert raised.value.errno == errno.EIO and raised.value.strerror == os.strerror(errno.EIO)
    assert raised.value.__notes__ == [f"archive file {str(tmp_path / '2024-03-01_mem.vlx')!r}, read failed at byte 0"]


@pytest.mark.parametrize("codes, start, end, words", [
    (300, START, END_OF_DAY, ["first 256 signal codes", "the 44 after them"]),
    (1, "2024-03-01T00:00:00", END_OF_DAY, ["dt_start is not written", "edge may be skipped"]),
    (1, START, "2024-03-01 23:59", ["dt_end is not written"]),
    (257, "2024-03-01", "2024-03-01 23:59:59.5", ["the 1 after them", "dt_start and dt_end are"]),
])
def test_dropped_requests_warn_once(tmp_path, codes, start, end, words):
    day_file(tmp_path, ab.group("GrWord", T, 5, [42]))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        zentrail.read(str(tmp_path), start, end, [5120] * codes)
    assert [w.category for w in caught] == [UserWarning]
    assert all(word in str(caught[0].message) for word in words), caught[0].message
    assert caught[0].filename == __file__  # points at the caller


def test_plain_calls_warn_nothing_and_warnings_can_be_errors(tmp_path):
    day_file(tmp_path, ab.group("GrWord", T, 5, [42]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert len(zentrail.read(str(tmp_path), START, END_OF_DAY, [5120] * 256)) == 1
        with leaves_nothing_behind([5120]), pytest.raises(UserWarning):
            zentrail.read(str(tmp_path), START, END_OF_DAY, [5120] * 257)


def test_open_failure_notes_the_errno_text(tmp_path):
    (tmp_path / "2024-03-01_b.vlx").symlink_to("nowhere")
    with pytest.raises(FileNotFoundError) as raised:
        zentrail.read(str(tmp_path), START, END_OF_DAY, [5120])
    assert str(raised.value) == "File does not exist!"
    assert raised.value.__notes__ == [f"archive file {str(tmp_path / '2024-03-01_b.vlx')!r}: [Errno 2] No such file or directory"]


def test_walk_errors_name_the_path_once(tmp_path):
    missing = str(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as raised:
        zentrail.read(missing, START, END_OF_DAY, [5120])
    assert str(raised.value) == f"[Errno 2] No such file or directory: {missing!r}"


INTERRUPTED = textwrap.dedent("""
    import os, signal, sys, threading, time, zentrail
    root, how, codes = sys.argv[1], sys.argv[2], [5120]
    window = ("2024-03-01 00:00:00", "2024-03-31 23:59:59")
    calls = {
        "read": lambda: zentrail.read(root, *window, codes),
        "to_numpy": lambda: zentrail.scan(root, *window, codes).to_numpy(),
        "iterate": lambda: [len(b["time"]) for b in zentrail.scan(root, *window, range(5120, 5122), batch_rows=64)],
    }
    if how != "read":
        import numpy  # imported before counting what the call leaves
    def tasks():
        return len(os.listdir("/proc/self/task"))
    fds, threads = sorted(os.listdir("/proc/self/fd")), tasks()
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        calls[how]()
        print("finished")
    except KeyboardInterrupt:
        timer.join()
        assert sorted(os.listdir("/proc/self/fd")) == fds and tasks() == threads
        assert sys.getrefcount(codes) == 2
        print("interrupted", round(time.monotonic() - started, 3))
""")


@pytest.mark.parametrize("how", ["read", "to_numpy", "iterate"])
def test_ctrl_c_ends_a_long_read_and_leaves_nothing_behind(tmp_path, how):
    record = ab.group("GrLong", T, 9, [1, 2])
    data = ab.archive(ab.date_mark(DAY), *[record] * 200_000)  # about 3.6 MB
    (tmp_path / "2024-03-01_a.vlx").write_bytes(data)
    for n in range(1, 2000):  # links: some 7 GB to read
        os.link(tmp_path / "2024-03-01_a.vlx", tmp_path / f"2024-03-01_{n:04d}.vlx")
    done = subprocess.run([sys.executable, "-c", INTERRUPTED, str(tmp_path), how], capture_output=True, text=True,
                          timeout=60, preexec_fn=default_sigint)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("interrupted"), done.stdout


def test_a_handler_that_raises_nothing_changes_nothing(tmp_path):
    day_file(tmp_path, *[ab.group("GrWord", T, 5, [n % 1000]) for n in range(100_000)])
    calls = []
    previous = signal.signal(signal.SIGALRM, lambda *_: calls.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    try:
        rows = [zentrail.read(str(tmp_path), START, END_OF_DAY, [5120]) for _ in range(20)]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert all(r == rows[0] for r in rows) and len(rows[0]) == 100_000
